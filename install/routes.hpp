#pragma once
#include "http/router.hpp"

namespace kelvora::install {

// Shortcuts, start with the OS and uninstall.
void register_routes(http::Router& r);

} // namespace kelvora::install
