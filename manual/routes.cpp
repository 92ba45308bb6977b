#include "manual/routes.hpp"

#include "manual/manual.hpp"

namespace kelvora::manual {

// Every request renders afresh from the built-in texts; nothing is cached.
void register_routes(http::Router& r) {
    r.view("/api/manual", [](const http::ViewRequest& req) { return manual_reply(req.lang); });
    r.view("/api/novedades", [](const http::ViewRequest&) { return release_notes_reply(); });
    r.page("/manual/imprimir", [](const http::ViewRequest& req) { return print_page(req.lang); });
}

} // namespace kelvora::manual
