#pragma once
#include <functional>

#include "http/router.hpp"

namespace kelvora::update {

// The update view and actions; auto_check reads the `buscar_actualizaciones` switch.
void register_routes(http::Router& r, std::function<bool()> auto_check);

} // namespace kelvora::update
