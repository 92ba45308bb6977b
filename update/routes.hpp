#pragma once
#include "http/router.hpp"
#include "update/updater.hpp"

namespace kelvora::update {

// GET /api/update (the status) and POST /api/update (the actions).
void register_routes(http::Router& r, Updater& updater);

} // namespace kelvora::update
