// The sharing notice on Windows: a small topmost window of the browser process at the
// bottom of the captured screen. The screen capturer leaves it out of the picture only on
// some capture paths, so it is moved off the virtual desktop, where no screen shows it.
// Windows keeps a window where it is asked to be; minimising it instead would leave its
// caption on the desktop, since it has no taskbar button to go to.
#include "platform/sharing_notice.hpp"

#include <chrono>
#include <thread>

#include "platform/windows/handle.hpp"
#include "platform/windows/wide.hpp"

namespace kelvora::platform {

namespace {

constexpr auto kLookEvery = std::chrono::milliseconds(250);

struct Search {
    DWORD pid = 0;
    std::string app_prefix;
    bool reported = false; // one log line per watch, not one every look
};

bool chromium_class(HWND w) {
    wchar_t cls[64];
    const int n = GetClassNameW(w, cls, 64);
    return n > 0 && std::wstring_view(cls, static_cast<std::size_t>(n)).starts_with(L"Chrome_WidgetWin");
}

bool on_screen(HWND w) {
    RECT r{};
    if (!IsWindowVisible(w) || !GetWindowRect(w, &r)) return false;
    const int x = GetSystemMetrics(SM_XVIRTUALSCREEN), y = GetSystemMetrics(SM_YVIRTUALSCREEN);
    const int cx = GetSystemMetrics(SM_CXVIRTUALSCREEN), cy = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    return r.right > x && r.bottom > y && r.left < x + cx && r.top < y + cy;
}

// The browser starts in English (app window switches), so the title says what the window is.
BOOL CALLBACK put_away_notice(HWND w, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(w, &owner);
    if (owner != search->pid || !chromium_class(w)) return TRUE;
    wchar_t text[256];
    const int n = GetWindowTextW(w, text, 256);
    if (n <= 0) return TRUE;
    const std::string title = win::narrow(std::wstring_view(text, static_cast<std::size_t>(n)));
    if (title.starts_with(search->app_prefix) ||
        title.find(" is sharing your screen") == std::string::npos || !on_screen(w))
        return TRUE;
    if (!SetWindowPos(w, nullptr, -32000, -32000, 0, 0,
                      SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOOWNERZORDER) &&
        !search->reported) {
        win::report_last_error("SetWindowPos");
        search->reported = true;
    }
    return TRUE;
}

} // namespace

void keep_sharing_notices_away(std::uint32_t pid, const std::string& app_title_prefix,
                               const std::function<bool()>& keep_watching) {
    Search search{static_cast<DWORD>(pid), app_title_prefix};
    while (keep_watching()) {
        EnumWindows(put_away_notice, reinterpret_cast<LPARAM>(&search));
        std::this_thread::sleep_for(kLookEvery);
    }
}

} // namespace kelvora::platform
