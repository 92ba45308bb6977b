#pragma once
#include "http/router.hpp"

namespace kelvora::manual {

// The manual and release-note views.
void register_routes(http::Router& r);

} // namespace kelvora::manual
