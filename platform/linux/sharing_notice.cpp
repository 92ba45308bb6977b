// The sharing notice on X. Chromium draws it as a small always-on-top window without a
// WM_CLASS at the bottom of the screen it captures; the X screen capturer cannot leave a
// window out, so the notice has to leave the screen. Minimising it is what its own "Hide"
// button does, and the capture goes on. A window manager keeps part of a window on the
// screen whatever position is asked (openbox leaves a few pixels in a corner), so the
// notice is minimised where a window manager runs, and moved off the screen where none
// would minimise it.
#include "platform/sharing_notice.hpp"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <poll.h>

#include <chrono>
#include <map>

#include "platform/linux/x11_display.hpp"

namespace kelvora::platform {

namespace {

using Clock = std::chrono::steady_clock;

// How often the windows are looked at without any sign of a change, and how soon one
// notice is asked again while the window manager has not yet done the last request.
constexpr int kRescanMs = 1000;
constexpr auto kAskAgain = std::chrono::milliseconds(500);

bool has_class(Display* d, Window w) {
    XClassHint hint{};
    if (!XGetClassHint(d, w, &hint)) return false;
    const bool named = hint.res_class && *hint.res_class;
    if (hint.res_name) XFree(hint.res_name);
    if (hint.res_class) XFree(hint.res_class);
    return named;
}

// The browser starts in English (app window switches), so the title says what the window
// is; the shape (classless, above the others) also finds it under another wording.
bool is_notice(Display* d, Window w, const std::string& title) {
    if (title.find(" is sharing your screen") != std::string::npos) return true;
    return !has_class(d, w) &&
           x11::has_atom(d, w, "_NET_WM_STATE", XInternAtom(d, "_NET_WM_STATE_ABOVE", False));
}

// Mapped and overlapping the root window: in the picture of some screen.
bool on_screen(Display* d, Window w) {
    XWindowAttributes a{};
    if (!XGetWindowAttributes(d, w, &a) || a.map_state != IsViewable) return false;
    const Window root = DefaultRootWindow(d);
    int x = 0, y = 0;
    Window child;
    if (!XTranslateCoordinates(d, w, root, 0, 0, &x, &y, &child)) return false;
    return x + a.width > 0 && y + a.height > 0 && x < DisplayWidth(d, DefaultScreen(d)) &&
           y < DisplayHeight(d, DefaultScreen(d));
}

void put_away(Display* d, Window w) {
    x11::keep_off_taskbar(d, w);
    XMoveWindow(d, w, -32000, -32000);
    if (x11::list_property(d, DefaultRootWindow(d), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW))
        XIconifyWindow(d, w, DefaultScreen(d));
}

// Waits until the server reports something that may bring a window (a map, a reparenting
// by the window manager, a new client list) or ms have passed; other events (windows
// moved about by the person) are drained and waited past.
void wait_for_change(Display* d, int ms) {
    const Atom client_list = XInternAtom(d, "_NET_CLIENT_LIST", False);
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        while (XPending(d) > 0) {
            XEvent e;
            XNextEvent(d, &e);
            if (e.type == MapNotify || e.type == ReparentNotify ||
                (e.type == PropertyNotify && e.xproperty.atom == client_list))
                return;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) return;
        pollfd p{ConnectionNumber(d), POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0 || (p.revents & (POLLERR | POLLHUP))) return;
    }
}

} // namespace

void keep_sharing_notices_away(std::uint32_t pid, const std::string& app_title_prefix,
                               const std::function<bool()>& keep_watching) {
    auto d = x11::open_display();
    if (!d) return;
    const Window root = DefaultRootWindow(d.get());
    XSelectInput(d.get(), root, SubstructureNotifyMask | PropertyChangeMask);
    std::map<Window, Clock::time_point> asked;
    while (keep_watching() && !x11::connection_lost(d.get())) {
        const auto now = Clock::now();
        std::map<Window, Clock::time_point> still;
        for (Window w : x11::top_level_windows(d.get())) {
            if (!x11::started_by(d.get(), w, pid)) continue;
            const std::string title = x11::window_title(d.get(), w);
            if (title.starts_with(app_title_prefix) || !is_notice(d.get(), w, title)) continue;
            auto last = asked.find(w);
            if (last != asked.end() && now - last->second < kAskAgain) {
                still.insert(*last);
                continue;
            }
            if (on_screen(d.get(), w)) {
                put_away(d.get(), w);
                still[w] = now;
            }
        }
        asked.swap(still);
        XFlush(d.get());
        wait_for_change(d.get(), kRescanMs);
    }
}

} // namespace kelvora::platform
