#pragma once
// The capture window: a second browser window that must capture without being in the
// way. Declared here, implemented per OS in platform/<os>/capture_window.cpp.
#include <cstdint>
#include <string>

namespace kelvora::platform {

struct CaptureWindowLook {
    bool window = false;    // the capture window was found and taken off the taskbar
    bool companion = false; // the browser's "sharing your screen" window too (Linux only)
};

// One look for the top-level windows of the browser process pid: the first whose title
// begins with title_prefix is taken off the taskbar (and the pager) without being hidden
// for good, so that the browser keeps drawing it; where the browser opens a notice window
// of its own beside a capturing page, that one is moved off the screen the same way.
CaptureWindowLook tuck_away_capture_window(const std::string& title_prefix, std::uint32_t pid,
                                           bool want_companion);

} // namespace kelvora::platform
