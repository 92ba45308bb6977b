#include "install/routes.hpp"

#include "http/fields.hpp"

namespace kelvora::install {

void register_routes(http::Router& r) {
    r.post("/api/accesos", [](const json&) { return json{{"ok", false}}; });
    r.post("/api/inicio_windows",
           [](const json&) { return http::refusal("Esta versión todavía no puede hacerlo"); });
    r.post("/api/desinstalar", [](const json&) { return json{{"ok", false}}; });
}

} // namespace kelvora::install
