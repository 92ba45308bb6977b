#pragma once
// The capture window: a second browser window that must capture without being in the
// way. Declared here, implemented per OS in platform/<os>/capture_window.cpp.
#include <cstdint>
#include <string>

namespace kelvora::platform {

struct CaptureWindowLook {
    bool window = false;    // the capture window is off the taskbar
    bool companion = false; // the browser's "sharing your screen" window too (Linux only)
};

// One look at the top-level windows of the browser started as process pid (never another
// program's, whatever its title): the one whose title begins with title_prefix is taken
// off the taskbar (and the pager) without being hidden for good, so that the browser keeps
// drawing it; with want_companion, that browser's other windows (the notice it opens
// beside a capturing page) get the same. Says what is done; the caller looks again until
// both are.
CaptureWindowLook tuck_away_capture_window(const std::string& title_prefix, std::uint32_t pid,
                                           bool want_companion);

} // namespace kelvora::platform
