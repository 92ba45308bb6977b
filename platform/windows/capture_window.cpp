// The capture window on Windows: hidden, given the tool-window style so that it has no
// taskbar button, and shown again without activation, so that the browser keeps drawing
// it (a hidden or minimised window stops its capture).
#include "platform/capture_window.hpp"

#include "platform/windows/handle.hpp"
#include "platform/windows/wide.hpp"

namespace kelvora::platform {

namespace {

struct Search {
    std::string prefix;
    DWORD pid = 0;
    HWND found = nullptr;
};

// The browser's own window, by its process and then its title: a page in the person's own
// browser may carry the same title.
BOOL CALLBACK match_window(HWND w, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(w, &owner);
    if (owner != search->pid) return TRUE;
    wchar_t title[64];
    const int n = GetWindowTextW(w, title, 64);
    if (n <= 0) return TRUE;
    if (!win::narrow(std::wstring_view(title, static_cast<std::size_t>(n)))
             .starts_with(search->prefix))
        return TRUE;
    search->found = w;
    return FALSE;
}

} // namespace

CaptureWindowLook tuck_away_capture_window(const std::string& title_prefix, std::uint32_t pid,
                                           bool) {
    Search search{title_prefix, static_cast<DWORD>(pid)};
    EnumWindows(match_window, reinterpret_cast<LPARAM>(&search));
    if (!search.found) return {};
    ShowWindow(search.found, SW_HIDE);
    LONG_PTR style = GetWindowLongPtrW(search.found, GWL_EXSTYLE);
    style = (style & ~static_cast<LONG_PTR>(WS_EX_APPWINDOW)) | WS_EX_TOOLWINDOW;
    SetWindowLongPtrW(search.found, GWL_EXSTYLE, style);
    ShowWindow(search.found, SW_SHOWNOACTIVATE);
    return {true, false};
}

} // namespace kelvora::platform
