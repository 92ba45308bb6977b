#include "platform/system.hpp"

#include <windows.h>

#include <bcrypt.h>
#include <ntsecapi.h>

#include <algorithm>

#include "platform/windows/handle.hpp"

namespace kelvora::platform {

namespace {

// Both sources take a ULONG length; larger requests go in pieces.
template <class Fill> bool fill_in_pieces(unsigned char* p, std::size_t n, Fill fill) {
    while (n > 0) {
        const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(n, 1u << 30));
        if (!fill(p, piece)) return false;
        p += piece;
        n -= piece;
    }
    return true;
}

} // namespace

bool random_bytes(void* buf, std::size_t n) {
    auto* p = static_cast<unsigned char*>(buf);
    const bool bcrypt = fill_in_pieces(p, n, [](unsigned char* q, ULONG k) {
        const NTSTATUS st = BCryptGenRandom(nullptr, q, k, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (st < 0) win::report_failure("BCryptGenRandom", static_cast<unsigned long>(st));
        return st >= 0;
    });
    if (bcrypt) return true;
    // The older advapi32 generator, still present where the BCrypt provider isn't usable.
    return fill_in_pieces(p, n, [](unsigned char* q, ULONG k) {
        if (RtlGenRandom(q, k)) return true;
        win::report_last_error("RtlGenRandom");
        return false;
    });
}

std::optional<LocalTime> local_time() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    win::report_last_error("MoveFileExW");
    return false;
}

} // namespace kelvora::platform
