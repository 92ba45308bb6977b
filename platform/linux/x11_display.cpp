#include "platform/linux/x11_display.hpp"

#include <X11/Xatom.h>

#include <cstdio>
#include <mutex>
#include <vector>

namespace kelvora::platform::x11 {

namespace {

int ignore_x_error(Display*, XErrorEvent* e) {
    // Windows come and go between a query and the next request; such errors are expected.
    if (e->error_code != BadWindow && e->error_code != BadMatch && e->error_code != BadDrawable)
        std::fprintf(stderr, "[X11] error %d en la petición %d\n", e->error_code, e->request_code);
    return 0;
}

struct XFree_ {
    void operator()(unsigned char* p) const {
        if (p) XFree(p);
    }
};

} // namespace

DisplayPtr open_display() {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        XSetErrorHandler(ignore_x_error);
    });
    return DisplayPtr(XOpenDisplay(nullptr));
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

} // namespace kelvora::platform::x11
