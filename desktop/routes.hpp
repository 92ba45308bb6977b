#pragma once
#include "desktop/desktop.hpp"
#include "http/control_gate.hpp"
#include "http/router.hpp"

namespace kelvora::desktop {

// The monitor list, input, resolution and clipboard endpoints.
void register_routes(http::Router& r, Desktop& desktop, const http::ControlGate& gate);

} // namespace kelvora::desktop
