#include "update/routes.hpp"

#include "http/fields.hpp"
#include "update/update_state.hpp"

namespace kelvora::update {

void register_routes(http::Router& r, std::function<bool()> auto_check) {
    r.view("/api/update",
           [auto_check](const http::ViewRequest&) { return update_status(auto_check()); });
    // Every action says that this version doesn't update itself yet.
    r.post("/api/update", [auto_check](const json& body) {
        const std::string action = http::text_field(body, "action");
        json status = update_status(auto_check());
        status["ok"] = false;
        if (action != "check" && action != "install" && action != "dismiss" && action != "seen" &&
            action != "auto")
            status["msg"] = "acción desconocida";
        else
            status["msg"] = "Esta versión todavía no se actualiza sola";
        return status;
    });
}

} // namespace kelvora::update
