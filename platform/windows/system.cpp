#include "platform/system.hpp"

#include <windows.h>

#include <bcrypt.h>
#include <ntsecapi.h>

#include <algorithm>
#include <cstdlib>

#include "platform/windows/handle.hpp"
#include "platform/windows/wide.hpp"

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

namespace kelvora::platform {

bool write_file_durably(const std::filesystem::path& file, std::string_view data) {
    const HANDLE raw = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (raw == INVALID_HANDLE_VALUE) {
        win::report_last_error("CreateFileW");
        return false;
    }
    win::UniqueHandle h(raw);
    while (!data.empty()) {
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 30));
        DWORD written = 0;
        if (!WriteFile(h.get(), data.data(), piece, &written, nullptr)) {
            win::report_last_error("WriteFile");
            return false;
        }
        data.remove_prefix(written);
    }
    // Renamed over the old file only once the new content survives a power cut.
    if (!FlushFileBuffers(h.get())) {
        win::report_last_error("FlushFileBuffers");
        return false;
    }
    return true;
}

bool append_to_file(const std::filesystem::path& file, std::string_view data) {
    const HANDLE raw = CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (raw == INVALID_HANDLE_VALUE) return false;
    win::UniqueHandle h(raw);
    DWORD written = 0;
    return WriteFile(h.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
           written == data.size();
}

bool make_private_directory(const std::filesystem::path& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return std::filesystem::is_directory(dir, ec);
}

Os host_os() {
    return Os::windows;
}

std::optional<std::string> computer_name() {
    const wchar_t* v = _wgetenv(L"COMPUTERNAME");
    if (!v || !*v) return std::nullopt;
    return win::narrow(v);
}

} // namespace kelvora::platform
