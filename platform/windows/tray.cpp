#include "platform/tray.hpp"

#include <windows.h>

#include <shellapi.h>

#include <atomic>
#include <cwchar>

#include "platform/windows/handle.hpp"
#include "platform/windows/wide.hpp"

namespace kelvora::platform {

namespace {

constexpr UINT kIconId = 1;
constexpr UINT kCallback = WM_APP + 1;
constexpr UINT_PTR kMenuOpen = 101;
constexpr UINT_PTR kMenuQuit = 102;
constexpr const wchar_t* kClassName = L"KelvoraBandeja";

// The tray window; empty when there is none or it was removed. Any thread may read it.
std::atomic<HWND> tray_window{nullptr};
// Set once by run_tray before the window exists; read only on the tray thread.
TrayActions tray_actions;

struct MenuDestroyer {
    void operator()(HMENU m) const { DestroyMenu(m); }
};
using UniqueMenu = std::unique_ptr<std::remove_pointer_t<HMENU>, MenuDestroyer>;

struct IconDestroyer {
    void operator()(HICON i) const { DestroyIcon(i); }
};
using UniqueIcon = std::unique_ptr<std::remove_pointer_t<HICON>, IconDestroyer>;

struct WindowDestroyer {
    void operator()(HWND w) const { DestroyWindow(w); }
};
using UniqueWindow = std::unique_ptr<std::remove_pointer_t<HWND>, WindowDestroyer>;

NOTIFYICONDATAW icon_data(HWND w) {
    NOTIFYICONDATAW d{};
    d.cbSize = sizeof d;
    d.hWnd = w;
    d.uID = kIconId;
    return d;
}

// Copies at most max UTF-16 units, without leaving half of a surrogate pair at the end.
template <std::size_t N>
void copy_cut(wchar_t (&dst)[N], const std::wstring& src, std::size_t max) {
    std::size_t n = src.size() < max ? src.size() : max;
    if (n < src.size() && n > 0 && src[n - 1] >= 0xD800 && src[n - 1] <= 0xDBFF) --n;
    static_assert(N > 0);
    if (n >= N) n = N - 1;
    std::wmemcpy(dst, src.data(), n);
    dst[n] = L'\0';
}

void show_menu(HWND w) {
    UniqueMenu menu(CreatePopupMenu());
    if (!menu) {
        win::report_last_error("CreatePopupMenu");
        return;
    }
    AppendMenuW(menu.get(), MF_STRING, kMenuOpen, L"Abrir Kelvora");
    AppendMenuW(menu.get(), MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu.get(), MF_STRING, kMenuQuit, L"Salir");
    POINT at{};
    GetCursorPos(&at);
    // Without the foreground the menu wouldn't close when the user clicks elsewhere, and
    // without the WM_NULL after it a second right click would open it empty.
    SetForegroundWindow(w);
    const UINT_PTR chosen = static_cast<UINT_PTR>(
        TrackPopupMenu(menu.get(), TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, w, nullptr));
    PostMessageW(w, WM_NULL, 0, 0);
    menu.reset();
    if (chosen == kMenuOpen && tray_actions.open) tray_actions.open();
    if (chosen == kMenuQuit && tray_actions.quit) tray_actions.quit();
}

LRESULT CALLBACK tray_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg != kCallback) return DefWindowProcW(w, msg, wp, lp);
    switch (LOWORD(lp)) {
    case WM_RBUTTONUP:
    case WM_CONTEXTMENU:
        show_menu(w);
        break;
    case WM_LBUTTONUP:
    case WM_LBUTTONDBLCLK:
    case NIN_BALLOONUSERCLICK:
        if (tray_actions.open) tray_actions.open();
        break;
    default:
        break;
    }
    return 0;
}

UniqueIcon load_icon() {
    auto icon = static_cast<HICON>(
        LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON, 16, 16, 0));
    if (!icon) win::report_last_error("LoadImageW icono 1");
    return UniqueIcon(icon);
}

} // namespace

bool run_tray(const TrayActions& actions) {
    tray_actions = actions;
    const HINSTANCE self = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = tray_proc;
    wc.hInstance = self;
    wc.lpszClassName = kClassName;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        win::report_last_error("RegisterClassExW");
        return false;
    }
    UniqueWindow window(
        CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, self, nullptr));
    if (!window) {
        win::report_last_error("CreateWindowExW");
        return false;
    }
    // Our own icon is destroyed with this frame; the shared system icon must never be.
    UniqueIcon own = load_icon();
    NOTIFYICONDATAW d = icon_data(window.get());
    d.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    d.uCallbackMessage = kCallback;
    d.hIcon = own ? own.get() : LoadIconW(nullptr, IDI_APPLICATION);
    copy_cut(d.szTip, L"Kelvora · soporte remoto", std::size(d.szTip) - 1);
    if (!Shell_NotifyIconW(NIM_ADD, &d)) {
        win::report_last_error("Shell_NotifyIconW NIM_ADD");
        return false;
    }
    tray_window.store(window.get());

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    tray_remove();
    return true;
}

void tray_notify(const std::string& title, const std::string& text) {
    const HWND w = tray_window.load();
    if (!w) return;
    NOTIFYICONDATAW d = icon_data(w);
    d.uFlags = NIF_INFO;
    copy_cut(d.szInfoTitle, win::widen(title), 63);
    copy_cut(d.szInfo, win::widen(text), 255);
    d.dwInfoFlags = NIIF_INFO;
    if (!Shell_NotifyIconW(NIM_MODIFY, &d)) win::report_last_error("Shell_NotifyIconW NIM_MODIFY");
}

void tray_remove() {
    const HWND w = tray_window.exchange(nullptr);
    if (!w) return;
    NOTIFYICONDATAW d = icon_data(w);
    Shell_NotifyIconW(NIM_DELETE, &d);
}

} // namespace kelvora::platform
