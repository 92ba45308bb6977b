#include "platform/windows/system_folder.hpp"

#include <windows.h>

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

} // namespace kelvora::platform::win
