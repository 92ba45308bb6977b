#include "platform/protect.hpp"

// handle.hpp brings <windows.h>, which <wincrypt.h> needs before it.
#include "platform/windows/handle.hpp"

#include <wincrypt.h>

#include <memory>

namespace kelvora::platform {

namespace {

// The output blob of CryptProtectData/CryptUnprotectData belongs to the caller, who must
// give it back with LocalFree.
struct LocalFreeDeleter {
    void operator()(BYTE* p) const { LocalFree(p); }
};
using LocalBytes = std::unique_ptr<BYTE, LocalFreeDeleter>;

DATA_BLOB input_blob(const void* data, std::size_t n) {
    DATA_BLOB b;
    b.cbData = static_cast<DWORD>(n);
    b.pbData = static_cast<BYTE*>(const_cast<void*>(data));
    return b;
}

} // namespace

std::optional<Blob> protect_for_user(std::string_view clear) {
    if (clear.size() > 0xFFFF) return std::nullopt;
    DATA_BLOB in = input_blob(clear.data(), clear.size());
    DATA_BLOB out{};
    if (!CryptProtectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                          &out)) {
        win::report_last_error("CryptProtectData");
        return std::nullopt;
    }
    LocalBytes owned(out.pbData);
    return Blob(out.pbData, out.pbData + out.cbData);
}

std::optional<std::string> unprotect_for_user(const Blob& sealed) {
    if (sealed.empty() || sealed.size() > 0xFFFFFF) return std::nullopt;
    DATA_BLOB in = input_blob(sealed.data(), sealed.size());
    DATA_BLOB out{};
    if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                            &out)) {
        win::report_last_error("CryptUnprotectData");
        return std::nullopt;
    }
    LocalBytes owned(out.pbData);
    return std::string(reinterpret_cast<const char*>(out.pbData), out.cbData);
}

// DPAPI's key belongs to the Windows account, not to us: nothing to remove.
void remove_user_key() {}

} // namespace kelvora::platform
