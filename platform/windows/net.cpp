#include "platform/net.hpp"

#include <winsock2.h>

#include "platform/windows/handle.hpp"

namespace kelvora::platform {

void prepare_listener(std::intptr_t native_socket) {
    // Without it another program could bind the same port with SO_REUSEADDR and take our
    // connections; Windows has no TIME_WAIT rebind problem to set against it.
    const BOOL on = TRUE;
    if (setsockopt(static_cast<SOCKET>(native_socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                   reinterpret_cast<const char*>(&on), sizeof on) != 0)
        win::report_failure("setsockopt SO_EXCLUSIVEADDRUSE",
                            static_cast<unsigned long>(WSAGetLastError()));
}

} // namespace kelvora::platform
