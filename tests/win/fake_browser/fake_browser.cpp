// A stand-in for a Chromium browser under Wine: it records the command line it was given,
// shows one top-level window with a Chromium window class, and notes when it is asked to
// close. The tests install it where Kelvora looks for Chrome, or start it themselves to
// put a window with a chosen title, class or visibility on the desktop.
//   FAKE_BROWSER_LOG      file that gets one JSON line per event: the arguments and pid,
//                         the window made, the window closed, each key pressed (its
//                         virtual-key code) and each character typed (a UTF-16 unit)
//   FAKE_BROWSER_TITLE    window title (default "Kelvora")
//   FAKE_BROWSER_CLASS    window class (default "Chrome_WidgetWin_1")
//   FAKE_BROWSER_HIDDEN   "1": the window is never shown
#include <nlohmann/json.hpp>
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

std::wstring env_or(const wchar_t* name, const wchar_t* fallback) {
    wchar_t buf[1024];
    const DWORD n = GetEnvironmentVariableW(name, buf, 1024);
    return n > 0 && n < 1024 ? std::wstring(buf, n) : std::wstring(fallback);
}

std::string utf8(const std::wstring& w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                        nullptr);
    return s;
}

std::string json_string(const std::string& s) { return nlohmann::json(s).dump(); }

void log_line(const std::string& line) {
    const std::wstring path = env_or(L"FAKE_BROWSER_LOG", L"");
    if (path.empty()) return;
    HANDLE f = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(f);
}

LRESULT CALLBACK proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_CLOSE) {
        log_line("{\"closed\":true}");
        DestroyWindow(w);
        return 0;
    }
    if (msg == WM_KEYDOWN) log_line("{\"key\":" + std::to_string(wp) + "}");
    if (msg == WM_CHAR) log_line("{\"char\":" + std::to_string(wp) + "}");
    if (msg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(w, msg, wp, lp);
}

} // namespace

int WINAPI wWinMain(HINSTANCE self, HINSTANCE, PWSTR, int) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::string args = "{\"args\":[";
    for (int i = 1; i < argc; ++i)
        args += (i > 1 ? "," : "") + json_string(utf8(argv[i]));
    LocalFree(argv);
    log_line(args + "],\"pid\":" + std::to_string(GetCurrentProcessId()) + "}");

    const std::wstring cls = env_or(L"FAKE_BROWSER_CLASS", L"Chrome_WidgetWin_1");
    WNDCLASSW wc{};
    wc.lpfnWndProc = proc;
    wc.hInstance = self;
    wc.lpszClassName = cls.c_str();
    RegisterClassW(&wc);
    HWND w =
        CreateWindowExW(0, cls.c_str(), env_or(L"FAKE_BROWSER_TITLE", L"Kelvora").c_str(),
                        WS_OVERLAPPEDWINDOW, 40, 40, 320, 200, nullptr, nullptr, self, nullptr);
    if (!w) return 1;
    if (env_or(L"FAKE_BROWSER_HIDDEN", L"0") != L"1") ShowWindow(w, SW_SHOWNORMAL);
    log_line("{\"window\":true}");
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
