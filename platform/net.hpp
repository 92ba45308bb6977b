#pragma once
#include <cstdint>

namespace kelvora::platform {

// Socket options a listening socket needs before bind: on Linux a restart may rebind a
// port whose old connections linger in TIME_WAIT; on Windows no other program may bind
// the same port while we hold it. Children never inherit it.
void prepare_listener(std::intptr_t native_socket);
// An accepted connection is never inherited by a child either.
void prepare_connection(std::intptr_t native_socket);

enum class PeerOwner { same_user, other_user, unknown };
// Who owns the other end of a loopback connection to our port: the socket's uid in
// /proc/net/tcp on Linux, the owning process's user on Windows.
PeerOwner peer_owner(std::uint32_t peer_address, std::uint16_t peer_port, std::uint16_t our_port);

} // namespace kelvora::platform
