#include "update/update_state.hpp"

#include "app/settings.hpp"
#include "app/version.hpp"
#include "http/fields.hpp"
#include "http/router.hpp"
#include "http/routes.hpp"

namespace kelvora::update {

// This build carries no updater yet: the status is the idle one, nothing is available and
// nothing can be installed, and every action says so.
json update_status() {
    return {
        {"current", kVersion},
        {"phase", "idle"},
        {"pct", 0},
        {"msg", ""},
        {"auto", setting_is_on(read_setting("general", "buscar_actualizaciones"))},
        {"last_check", nullptr},
        {"available", false},
        {"latest", nullptr},
        {"dismissed", nullptr},
        {"can_install", false},
        {"portable", true},
        {"waiting", false},
        {"result", nullptr},
        {"page", std::string(kProductSite) + "kelvora/"},
        {"canal", ""},
    };
}

void register_routes(http::Router& r) {
    r.view("/api/update", [](const http::ViewRequest&) { return update_status(); });
    r.post("/api/update", [](const json& body) {
        const std::string action = http::text_field(body, "action");
        json status = update_status();
        status["ok"] = false;
        if (action != "check" && action != "install" && action != "dismiss" &&
            action != "seen" && action != "auto")
            status["msg"] = "acción desconocida";
        else
            status["msg"] = "Esta versión todavía no se actualiza sola";
        return status;
    });
}

} // namespace kelvora::update
