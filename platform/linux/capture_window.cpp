// The capture window on X. Unmapping or minimising a window makes Chromium stop drawing
// it, and with it the capture; so the window stays mapped, off the screen, and the window
// manager is asked to leave it out of the taskbar and the pager. Chromium also opens a
// small "… is sharing your screen." window beside a capturing page: it gets the same.
#include "platform/capture_window.hpp"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <unistd.h>

#include <algorithm>

#include "platform/linux/x11_display.hpp"

namespace kelvora::platform {

namespace {

// The process that owns a window, as the client wrote it; 0 when it didn't.
unsigned long window_pid(Display* d, Window w) {
    auto pid = x11::list_property(d, w, "_NET_WM_PID", XA_CARDINAL);
    return pid && !pid->empty() ? pid->front() : 0;
}

// Whether a window belongs to the browser we started. The child runs in a session of its
// own whose id is its pid, and every process of that browser stays in it, also behind a
// launcher script that doesn't exec. A title proves nothing: a page in the person's own
// browser may carry the same one.
bool ours(Display* d, Window w, std::uint32_t session) {
    const unsigned long p = window_pid(d, w);
    return p != 0 && getsid(static_cast<pid_t>(p)) == static_cast<pid_t>(session);
}

bool has_atom(Display* d, Window w, const char* list, Atom atom) {
    auto atoms = x11::list_property(d, w, list, XA_ATOM);
    return atoms && std::find(atoms->begin(), atoms->end(), atom) != atoms->end();
}

// True once the window's state says it is off the taskbar and the pager; until then each
// call asks again. A window the window manager has not taken over yet reads the property
// when it does; one it manages changes only on request.
bool tuck_away(Display* d, Window w) {
    const Atom skip_taskbar = XInternAtom(d, "_NET_WM_STATE_SKIP_TASKBAR", False);
    const Atom skip_pager = XInternAtom(d, "_NET_WM_STATE_SKIP_PAGER", False);
    if (has_atom(d, w, "_NET_WM_STATE", skip_taskbar) &&
        has_atom(d, w, "_NET_WM_STATE", skip_pager))
        return true;
    const Atom state = XInternAtom(d, "_NET_WM_STATE", False);
    const unsigned long atoms[] = {skip_taskbar, skip_pager};
    XChangeProperty(d, w, state, XA_ATOM, 32, PropModeAppend,
                    reinterpret_cast<const unsigned char*>(atoms), 2);
    if (x11::list_property(d, DefaultRootWindow(d), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW)) {
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = w;
        e.xclient.message_type = state;
        e.xclient.format = 32;
        e.xclient.data.l[0] = 1; // add
        e.xclient.data.l[1] = static_cast<long>(skip_taskbar);
        e.xclient.data.l[2] = static_cast<long>(skip_pager);
        e.xclient.data.l[3] = 2; // from a pager: obeyed, not second-guessed
        XSendEvent(d, DefaultRootWindow(d), False,
                   SubstructureRedirectMask | SubstructureNotifyMask, &e);
    }
    // Window managers pull a new window onto the screen whatever the browser asked.
    XMoveWindow(d, w, -32000, -32000);
    return false;
}

} // namespace

CaptureWindowLook tuck_away_capture_window(const std::string& title_prefix, std::uint32_t pid,
                                           bool want_companion) {
    CaptureWindowLook look;
    auto d = x11::open_display();
    if (!d) return look;
    for (Window w : x11::top_level_windows(d.get())) {
        if (!ours(d.get(), w, pid)) continue;
        if (x11::window_title(d.get(), w).starts_with(title_prefix))
            look.window = tuck_away(d.get(), w) || look.window;
        else if (want_companion)
            look.companion = tuck_away(d.get(), w);
    }
    XFlush(d.get());
    return look;
}

} // namespace kelvora::platform
