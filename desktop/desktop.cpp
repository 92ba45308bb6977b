#include "desktop/desktop.hpp"

#include "http/router.hpp"
#include "http/routes.hpp"

namespace kelvora::desktop {

// The desktop services are not part of this build yet: no monitor is reported, and there
// is nothing held or changed to put back.
json monitor_list() { return json::array(); }
void restore_resolutions() {}
void release_held_input() {}
void close_capture_window() {}

void register_routes(http::Router& r) {
    r.view("/api/monitores", [](const http::ViewRequest&) { return monitor_list(); });
}

} // namespace kelvora::desktop
