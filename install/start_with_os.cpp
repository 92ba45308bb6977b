#include "install/start_with_os.hpp"

namespace kelvora::install {

// Shortcuts, start with the OS and uninstall are not part of this build yet: start with
// the OS reads as off, and each action says so instead of pretending to have worked.
bool start_with_os_enabled() {
    return false;
}

void uninstall_from_command_line(const Log& log, unsigned long, bool) {
    log.write("[ACCESOS] desinstalar: esta versión todavía no puede hacerlo");
}

void set_start_with_os_from_command_line(const Log& log, bool) {
    log.write("[INICIO] inicio automático: esta versión todavía no puede cambiarlo");
}

void cleanup_from_command_line(const Log& log) {
    log.write("[ACCESOS] limpieza: esta versión todavía no tiene accesos que quitar");
}

} // namespace kelvora::install
