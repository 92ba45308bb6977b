#pragma once
#include <cstdint>

namespace kelvora::platform {

// Socket options a listening socket needs before bind: on Linux a restart may rebind a
// port whose old connections linger in TIME_WAIT; on Windows no other program may bind
// the same port while we hold it.
void prepare_listener(std::intptr_t native_socket);

} // namespace kelvora::platform
