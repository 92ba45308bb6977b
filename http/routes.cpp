#include "http/routes.hpp"

#include "http/router.hpp"

namespace kelvora::http {

void register_routes(Router& r) {
    app::register_routes(r);
    records::register_routes(r);
    desktop::register_routes(r);
    update::register_routes(r);
    install::register_routes(r);
    manual::register_routes(r);
}

} // namespace kelvora::http
