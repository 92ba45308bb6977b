#include "manual/routes.hpp"

#include "http/fields.hpp"

namespace kelvora::manual {

// The manual and the release notes are not part of this build yet.
void register_routes(http::Router& r) {
    r.view("/api/manual", [](const http::ViewRequest&) {
        return http::refusal("El manual todavía no está en esta versión");
    });
    r.view("/api/novedades", [](const http::ViewRequest&) {
        return http::refusal("Las novedades todavía no están en esta versión");
    });
}

} // namespace kelvora::manual
