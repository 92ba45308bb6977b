#include "platform/linux/x11_display.hpp"
#include "platform/report.hpp"

#include <X11/Xatom.h>

#include <unistd.h>

#include <algorithm>

#include <cstdio>
#include <mutex>
#include <set>
#include <vector>

namespace kelvora::platform::x11 {

namespace {

int ignore_x_error(Display*, XErrorEvent* e) {
    // Windows come and go between a query and the next request; such errors are expected.
    if (e->error_code != BadWindow && e->error_code != BadMatch && e->error_code != BadDrawable)
        report("[X11] error " + std::to_string(e->error_code) + " en la petición " +
               std::to_string(e->request_code));
    return 0;
}

struct XFree_ {
    void operator()(unsigned char* p) const {
        if (p) XFree(p);
    }
};

std::mutex lost_mutex;
std::set<Display*> lost_displays; // connections whose server went away

int quiet_io_error(Display*) {
    return 0;
}

// Xlib ends the process when a connection breaks unless the exit handler returns; the
// server going away (a logout, a crashed X server) must not take the program with it.
void connection_broke(Display* d, void*) {
    report("[X11] se perdió la conexión con el servidor X");
    std::lock_guard lock(lost_mutex);
    lost_displays.insert(d);
}

} // namespace

void DisplayCloser::operator()(Display* d) const {
    {
        std::lock_guard lock(lost_mutex);
        // XCloseDisplay on a connection whose server went away can wait forever for a lock
        // the failed read left taken. Such a connection is dropped without it: its memory
        // and its descriptor stay, once per lost server.
        if (lost_displays.contains(d)) return;
    }
    XCloseDisplay(d);
}

bool connection_lost(Display* d) {
    std::lock_guard lock(lost_mutex);
    return lost_displays.contains(d);
}

DisplayPtr open_display() {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        XSetErrorHandler(ignore_x_error);
        XSetIOErrorHandler(quiet_io_error);
    });
    Display* d = XOpenDisplay(nullptr);
    if (d) XSetIOErrorExitHandler(d, connection_broke, nullptr);
    return DisplayPtr(d);
}

std::optional<std::string> text_property(Display* d, Window w, const char* name, const char* type) {
    Atom prop = XInternAtom(d, name, False);
    Atom want = type ? XInternAtom(d, type, False) : AnyPropertyType;
    Atom actual;
    int format;
    unsigned long count, after;
    unsigned char* raw = nullptr;
    if (XGetWindowProperty(d, w, prop, 0, 4096, False, want, &actual, &format, &count, &after,
                           &raw) != Success)
        return std::nullopt;
    std::unique_ptr<unsigned char, XFree_> data(raw);
    if (!raw || format != 8) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(raw), count);
}

std::optional<std::vector<unsigned long>> list_property(Display* d, Window w, const char* name,
                                                        Atom type) {
    Atom prop = XInternAtom(d, name, False);
    Atom actual;
    int format;
    unsigned long count, after;
    unsigned char* raw = nullptr;
    if (XGetWindowProperty(d, w, prop, 0, 65536, False, type, &actual, &format, &count, &after,
                           &raw) != Success)
        return std::nullopt;
    std::unique_ptr<unsigned char, XFree_> data(raw);
    if (!raw || format != 32) return std::nullopt;
    // Xlib hands 32-bit items back as longs.
    const auto* items = reinterpret_cast<const unsigned long*>(raw);
    return std::vector<unsigned long>(items, items + count);
}

std::vector<Window> top_level_windows(Display* d) {
    const Window root = DefaultRootWindow(d);
    if (auto list = list_property(d, root, "_NET_CLIENT_LIST", XA_WINDOW))
        return std::vector<Window>(list->begin(), list->end());
    std::vector<Window> out;
    Window r, parent, *children = nullptr;
    unsigned int n = 0;
    if (XQueryTree(d, root, &r, &parent, &children, &n)) {
        for (unsigned int i = 0; i < n; ++i) {
            XWindowAttributes a;
            if (XGetWindowAttributes(d, children[i], &a) && a.map_state == IsViewable)
                out.push_back(children[i]);
        }
        if (children) XFree(children);
    }
    return out;
}

std::string window_title(Display* d, Window w) {
    if (auto t = text_property(d, w, "_NET_WM_NAME", "UTF8_STRING")) return *t;
    if (auto t = text_property(d, w, "WM_NAME", nullptr)) return *t;
    return "";
}

bool started_by(Display* d, Window w, std::uint32_t session) {
    auto pid = list_property(d, w, "_NET_WM_PID", XA_CARDINAL);
    const unsigned long p = pid && !pid->empty() ? pid->front() : 0;
    return p != 0 && getsid(static_cast<pid_t>(p)) == static_cast<pid_t>(session);
}

bool has_atom(Display* d, Window w, const char* list, Atom atom) {
    auto atoms = list_property(d, w, list, XA_ATOM);
    return atoms && std::find(atoms->begin(), atoms->end(), atom) != atoms->end();
}

bool keep_off_taskbar(Display* d, Window w) {
    const Atom skip_taskbar = XInternAtom(d, "_NET_WM_STATE_SKIP_TASKBAR", False);
    const Atom skip_pager = XInternAtom(d, "_NET_WM_STATE_SKIP_PAGER", False);
    if (has_atom(d, w, "_NET_WM_STATE", skip_taskbar) &&
        has_atom(d, w, "_NET_WM_STATE", skip_pager))
        return true;
    const Atom state = XInternAtom(d, "_NET_WM_STATE", False);
    const unsigned long atoms[] = {skip_taskbar, skip_pager};
    XChangeProperty(d, w, state, XA_ATOM, 32, PropModeAppend,
                    reinterpret_cast<const unsigned char*>(atoms), 2);
    if (list_property(d, DefaultRootWindow(d), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW)) {
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
    return false;
}

} // namespace kelvora::platform::x11
