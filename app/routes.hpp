#pragma once
#include "http/router.hpp"

namespace kelvora {
class App;
}

namespace kelvora::app {

// The endpoints of the application shell: the state record, version, settings, the
// client's log lines, opening things outside, notices, the window and exit.
void register_routes(http::Router& r, App& app);

} // namespace kelvora::app
