#pragma once
// Process-wide values of one run.
#include <cstdint>

namespace kelvora {

// The port the local server actually bound; 0 until then.
std::uint16_t server_port();
void set_server_port(std::uint16_t port);

} // namespace kelvora
