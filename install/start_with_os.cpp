#include "install/start_with_os.hpp"

#include "app/log.hpp"
#include "http/fields.hpp"
#include "http/router.hpp"
#include "http/routes.hpp"

namespace kelvora::install {

// Shortcuts, start with the OS and uninstall are not part of this build yet: start with
// the OS reads as off, and each action refuses instead of pretending to have worked.
namespace {
const char* const kNotYet = "Esta versión todavía no puede hacerlo";
}

bool start_with_os_enabled() { return false; }

void uninstall_from_command_line(unsigned long, bool) {
    write_log("[ACCESOS] desinstalar: esta versión todavía no puede hacerlo");
}

void set_start_with_os_from_command_line(bool) {
    write_log("[INICIO] inicio automático: esta versión todavía no puede cambiarlo");
}

void cleanup_from_command_line() {
    write_log("[ACCESOS] limpieza: esta versión todavía no tiene accesos que quitar");
}

void register_routes(http::Router& r) {
    r.post("/api/accesos", [](const json&) { return json{{"ok", false}}; });
    r.post("/api/inicio_windows", [](const json&) { return http::refusal(kNotYet); });
    r.post("/api/desinstalar", [](const json&) { return json{{"ok", false}}; });
}

} // namespace kelvora::install
