#include "platform/net.hpp"

#include <sys/socket.h>

namespace kelvora::platform {

void prepare_listener(std::intptr_t native_socket) {
    const int on = 1;
    setsockopt(static_cast<int>(native_socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

} // namespace kelvora::platform
