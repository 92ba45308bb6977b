#include "install/routes.hpp"

#include "http/fields.hpp"
#include "install/start_with_os.hpp"
#include "install/uninstall.hpp"

namespace kelvora::install {

void register_routes(http::Router& r, const Log& log) {
    r.post("/api/accesos", [&log](const json&) { return json{{"ok", create_shortcuts(log)}}; });
    // Only the boolean true turns it on: "true" or 1 from a confused page turn it off.
    r.post("/api/inicio_windows", [&log](const json& body) {
        const auto reply = set_start_with_os(log, http::flag_field(body, "on"));
        return json{{"ok", reply.ok}, {"msg", reply.msg}};
    });
    r.post("/api/desinstalar", [&log](const json&) { return json{{"ok", start_uninstall(log)}}; });
}

} // namespace kelvora::install
