// The capture window on X. Unmapping or minimising a window makes Chromium stop drawing
// it, and with it the capture; so the window stays mapped, off the screen, and the window
// manager is asked to leave it out of the taskbar and the pager. Chromium also opens a
// small "… is sharing your screen." window beside a capturing page: it gets the same.
#include "platform/capture_window.hpp"

#include "platform/linux/x11_display.hpp"

namespace kelvora::platform {

namespace {

// True once the window is off the taskbar and the pager; until then each call asks again.
bool tuck_away(Display* d, Window w) {
    if (x11::keep_off_taskbar(d, w)) return true;
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
        if (!x11::started_by(d.get(), w, pid)) continue;
        if (x11::window_title(d.get(), w).starts_with(title_prefix))
            look.window = tuck_away(d.get(), w) || look.window;
        else if (want_companion)
            look.companion = tuck_away(d.get(), w);
    }
    XFlush(d.get());
    return look;
}

} // namespace kelvora::platform
