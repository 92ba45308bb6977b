#include <windows.h>

#include <thread>

#include "platform/process.hpp"
#include "platform/windows/handle.hpp"

namespace kelvora::platform {

namespace {

std::function<void()> exit_handler;

LRESULT CALLBACK session_window(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    // Windows ends the process soon after WM_ENDSESSION returns: the orderly exit runs
    // here, before the answer.
    if (msg == WM_ENDSESSION && wp && exit_handler) exit_handler();
    return DefWindowProcW(w, msg, wp, lp);
}

BOOL WINAPI console_event(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT ||
        event == CTRL_SHUTDOWN_EVENT) {
        if (exit_handler) exit_handler();
        return TRUE;
    }
    return FALSE;
}

} // namespace

// WM_ENDSESSION reaches top-level windows only, so a hidden one of our own waits for it on
// its own thread; a console, when we have one, sends its events to the handler routine.
void on_exit_request(std::function<void()> handler) {
    exit_handler = std::move(handler);
    SetConsoleCtrlHandler(console_event, TRUE);
    std::thread([] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = session_window;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"KelvoraFinDeSesion";
        RegisterClassW(&wc);
        const HWND w = CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                                       nullptr, wc.hInstance, nullptr);
        if (!w) {
            win::report_last_error("CreateWindowExW (fin de sesión)");
            return;
        }
        MSG m;
        while (GetMessageW(&m, nullptr, 0, 0) > 0) {
            TranslateMessage(&m);
            DispatchMessageW(&m);
        }
    }).detach();
}

} // namespace kelvora::platform
