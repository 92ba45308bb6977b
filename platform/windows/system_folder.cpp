#include "platform/windows/system_folder.hpp"

#include <memory>

#include "platform/windows/handle.hpp"
#include "platform/windows/wide.hpp"

namespace kelvora::platform::win {

std::string system_tool(const wchar_t* relative) {
    wchar_t dir[MAX_PATH];
    const UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        report_last_error("GetSystemDirectoryW");
        return {};
    }
    return narrow(std::wstring(dir, n) + L"\\" + relative);
}

std::optional<std::filesystem::path> known_folder(REFKNOWNFOLDERID id, const char* name) {
    PWSTR raw = nullptr;
    const HRESULT hr = SHGetKnownFolderPath(id, 0, nullptr, &raw);
    std::unique_ptr<wchar_t, decltype(&CoTaskMemFree)> owned(raw, &CoTaskMemFree);
    if (FAILED(hr)) {
        report_failure(name, static_cast<unsigned long>(hr));
        return std::nullopt;
    }
    return std::filesystem::path(raw);
}

} // namespace kelvora::platform::win
