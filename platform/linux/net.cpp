#include "platform/net.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/report.hpp"

namespace kelvora::platform {

namespace {

void close_on_exec(int fd) {
    const int flags = fcntl(fd, F_GETFD);
    if (flags < 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) != 0)
        report("[SISTEMA] fcntl FD_CLOEXEC falló: " + std::string(std::strerror(errno)));
}

// "0100007F:1F92" -> address and port as the kernel prints them (the address in the
// host's byte order of the in-memory value, the port in plain hex).
bool parse_endpoint(const std::string& text, std::uint32_t& address, std::uint16_t& port) {
    unsigned a = 0, p = 0;
    if (text.size() != 13 || std::sscanf(text.c_str(), "%8X:%4X", &a, &p) != 2) return false;
    address = a;
    port = static_cast<std::uint16_t>(p);
    return true;
}

} // namespace

void prepare_listener(std::intptr_t native_socket) {
    const int fd = static_cast<int>(native_socket);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    close_on_exec(fd);
}

void prepare_connection(std::intptr_t native_socket) {
    close_on_exec(static_cast<int>(native_socket));
}

PeerOwner peer_owner(std::uint32_t peer_address, std::uint16_t peer_port, std::uint16_t our_port) {
    std::ifstream in("/proc/net/tcp");
    if (!in) {
        report("[SISTEMA] no se pudo leer /proc/net/tcp: no se sabe de quién es la conexión");
        return PeerOwner::unknown;
    }
    // /proc/net/tcp prints the address as the 32-bit value in memory, which is in network
    // order; read back on this host it comes out byte-swapped on little-endian machines.
    const std::uint32_t want = htonl(peer_address);
    std::string line;
    std::getline(in, line); // the heading
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits;
        unsigned long uid = 0;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid))
            continue;
        std::uint32_t la = 0, ra = 0;
        std::uint16_t lp = 0, rp = 0;
        if (!parse_endpoint(local, la, lp) || !parse_endpoint(remote, ra, rp)) continue;
        // The peer's own socket: its local end is the peer, its remote end is our port.
        if (lp != peer_port || rp != our_port || la != want) continue;
        return uid == geteuid() ? PeerOwner::same_user : PeerOwner::other_user;
    }
    return PeerOwner::unknown;
}

} // namespace kelvora::platform
