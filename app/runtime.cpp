#include "app/runtime.hpp"

#include <atomic>

namespace kelvora {

static std::atomic<std::uint16_t> port{0};

std::uint16_t server_port() { return port.load(); }
void set_server_port(std::uint16_t p) { port.store(p); }

} // namespace kelvora
