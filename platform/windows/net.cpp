#include "platform/net.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>

#include <memory>
#include <vector>

#include "platform/windows/handle.hpp"
#include "platform/windows/token.hpp"

namespace kelvora::platform {

namespace {

void not_inherited(SOCKET s) {
    if (!SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0))
        win::report_last_error("SetHandleInformation");
}

// The owning process of the peer's end of a loopback connection; 0 when it isn't listed.
DWORD owning_process(std::uint32_t peer_address, std::uint16_t peer_port, std::uint16_t our_port) {
    ULONG size = 0;
    std::vector<unsigned char> buf;
    DWORD rc = ERROR_INSUFFICIENT_BUFFER;
    // The table may grow between the size query and the read.
    for (int tries = 0; tries < 4 && rc == ERROR_INSUFFICIENT_BUFFER; ++tries) {
        buf.resize(size);
        rc = GetExtendedTcpTable(buf.empty() ? nullptr : buf.data(), &size, FALSE, AF_INET,
                                 TCP_TABLE_OWNER_PID_ALL, 0);
    }
    if (rc != NO_ERROR) {
        win::report_failure("GetExtendedTcpTable", rc);
        return 0;
    }
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buf.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const auto& row = table->table[i];
        if (row.dwLocalAddr == htonl(peer_address) &&
            ntohs(static_cast<u_short>(row.dwLocalPort)) == peer_port &&
            ntohs(static_cast<u_short>(row.dwRemotePort)) == our_port)
            return row.dwOwningPid;
    }
    return 0;
}

// The user SID of a process's token; empty when it can't be read.
std::vector<unsigned char> process_user(HANDLE process) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &raw)) return {};
    return win::token_user(win::UniqueHandle(raw).get());
}

} // namespace

void prepare_listener(std::intptr_t native_socket) {
    // Without it another program could bind the same port with SO_REUSEADDR and take our
    // connections; Windows has no TIME_WAIT rebind problem to set against it.
    const BOOL on = TRUE;
    if (setsockopt(static_cast<SOCKET>(native_socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                   reinterpret_cast<const char*>(&on), sizeof on) != 0)
        win::report_failure("setsockopt SO_EXCLUSIVEADDRUSE",
                            static_cast<unsigned long>(WSAGetLastError()));
    not_inherited(static_cast<SOCKET>(native_socket));
}

void prepare_connection(std::intptr_t native_socket) {
    not_inherited(static_cast<SOCKET>(native_socket));
}

PeerOwner peer_owner(std::uint32_t peer_address, std::uint16_t peer_port, std::uint16_t our_port) {
    const DWORD pid = owning_process(peer_address, peer_port, our_port);
    if (pid == 0) return PeerOwner::unknown;
    if (pid == GetCurrentProcessId()) return PeerOwner::same_user;
    const HANDLE raw = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    // A process we may not even query belongs to someone else (or to the system).
    if (!raw) return PeerOwner::other_user;
    win::UniqueHandle process(raw);
    const auto theirs = process_user(process.get());
    const auto ours = process_user(GetCurrentProcess());
    if (ours.empty()) return PeerOwner::unknown;
    return !theirs.empty() && theirs == ours ? PeerOwner::same_user : PeerOwner::other_user;
}

} // namespace kelvora::platform
