#pragma once
#include "base/log.hpp"
#include "http/router.hpp"

namespace kelvora::install {

// Shortcuts, start with the OS and uninstall.
void register_routes(http::Router& r, const Log& log);

} // namespace kelvora::install
