#include "update/routes.hpp"

namespace kelvora::update {

void register_routes(http::Router& r, Updater& updater) {
    r.view("/api/update", [&updater](const http::ViewRequest&) { return updater.status(); });
    r.post("/api/update", [&updater](const json& body) { return updater.action(body); });
}

} // namespace kelvora::update
