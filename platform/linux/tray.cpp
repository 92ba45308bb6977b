#include "platform/tray.hpp"

namespace kelvora::platform {

// Linux desktops show tray icons through StatusNotifierItem hosts on the session bus. This
// build doesn't speak that protocol yet, so there is no icon: the app window and
// /api/salir remain the ways in and out.
bool run_tray(const TrayActions&) { return false; }

void tray_notify(const std::string&, const std::string&) {}

void tray_remove() {}

} // namespace kelvora::platform
