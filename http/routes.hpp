#pragma once

namespace kelvora::http {
class Router;
// Puts every endpoint of the program on the router; each area registers its own.
void register_routes(Router& r);
} // namespace kelvora::http

namespace kelvora::app {
void register_routes(http::Router& r);
}
namespace kelvora::records {
void register_routes(http::Router& r);
}
namespace kelvora::desktop {
void register_routes(http::Router& r);
}
namespace kelvora::update {
void register_routes(http::Router& r);
}
namespace kelvora::install {
void register_routes(http::Router& r);
}
namespace kelvora::manual {
void register_routes(http::Router& r);
}
