#include "platform/shell.hpp"

#include <windows.h>

#include <vector>

#include "platform/process.hpp"
#include "platform/windows/handle.hpp"
#include "platform/windows/wide.hpp"

namespace kelvora::platform {

using win::narrow;
using win::widen;

namespace {

struct KeyCloser {
    void operator()(HKEY k) const { RegCloseKey(k); }
};
using UniqueKey = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

} // namespace

// RegQueryValueExW hands the value back as stored: REG_EXPAND_SZ stays unexpanded, and
// the text need not end with a terminator.
std::optional<std::string> registry_app_path(const std::string& exe) {
    const std::wstring key =
        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\" + widen(exe);
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS)
        return std::nullopt;
    UniqueKey k(raw);
    DWORD type = 0, bytes = 0;
    if (RegQueryValueExW(k.get(), nullptr, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || bytes > 64 * 1024)
        return std::nullopt;
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(k.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value.data()),
                         &bytes) != ERROR_SUCCESS)
        return std::nullopt;
    value.resize(bytes / sizeof(wchar_t));
    while (!value.empty() && value.back() == L'\0')
        value.pop_back();
    return narrow(value);
}

bool is_file(const std::string& path) {
    const DWORD a = GetFileAttributesW(widen(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

std::optional<std::string> find_on_path(const std::string&) {
    return std::nullopt;
}

namespace {

struct WindowSearch {
    std::wstring title_prefix;
    HWND found = nullptr;
};

bool starts_with(const wchar_t* text, int length, std::wstring_view prefix) {
    return length >= 0 && static_cast<std::size_t>(length) >= prefix.size() &&
           std::wstring_view(text, prefix.size()) == prefix;
}

BOOL CALLBACK match_app_window(HWND w, LPARAM param) {
    auto* search = reinterpret_cast<WindowSearch*>(param);
    if (!IsWindowVisible(w)) return TRUE;
    wchar_t title[256];
    const int title_len = GetWindowTextW(w, title, 256);
    if (!starts_with(title, title_len, search->title_prefix)) return TRUE;
    wchar_t cls[64];
    const int cls_len = GetClassNameW(w, cls, 64);
    if (!starts_with(cls, cls_len, L"Chrome_WidgetWin")) return TRUE;
    search->found = w;
    return FALSE;
}

void bring_forward(HWND w) {
    BringWindowToTop(w);
    SetForegroundWindow(w);
}

} // namespace

bool show_message(const std::string& caption, const std::string& text, bool question) {
    const UINT flags =
        question ? MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2 | MB_SETFOREGROUND | MB_TOPMOST
                 : MB_ICONINFORMATION | MB_SETFOREGROUND | MB_TOPMOST;
    const int r = MessageBoxW(nullptr, widen(text).c_str(), widen(caption).c_str(), flags);
    if (r == 0) win::report_last_error("MessageBoxW");
    return r == IDYES;
}

std::optional<WindowId> find_browser_window(const std::string& title_prefix) {
    WindowSearch search{widen(title_prefix)};
    EnumWindows(match_app_window, reinterpret_cast<LPARAM>(&search));
    if (!search.found) return std::nullopt;
    return reinterpret_cast<WindowId>(search.found);
}

bool raise_window(WindowId id) {
    const HWND w = reinterpret_cast<HWND>(id);
    if (!IsWindow(w)) return false;
    if (IsIconic(w)) ShowWindow(w, SW_RESTORE);
    // Windows lets only the foreground thread hand the foreground on; sharing its input
    // state for the moment of the call makes ours count as that thread.
    const DWORD own = GetCurrentThreadId();
    const HWND front = GetForegroundWindow();
    const DWORD front_thread = front ? GetWindowThreadProcessId(front, nullptr) : 0;
    if (front_thread == own || front_thread == 0) {
        bring_forward(w);
    } else {
        const bool attached = AttachThreadInput(own, front_thread, TRUE) != FALSE;
        bring_forward(w);
        if (attached) AttachThreadInput(own, front_thread, FALSE);
    }
    FlashWindow(w, TRUE);
    return true;
}

void close_window(WindowId id) {
    if (!PostMessageW(reinterpret_cast<HWND>(id), WM_CLOSE, 0, 0))
        win::report_last_error("PostMessageW WM_CLOSE");
}

bool open_sound_settings() {
    return shell_open("ms-settings:sound");
}

bool open_microphone_privacy() {
    return shell_open("ms-settings:privacy-microphone");
}

} // namespace kelvora::platform
