#pragma once
// The desktop shell: message boxes, the browser that hosts the app window, and finding,
// raising and closing that window.
#include <cstdint>
#include <optional>
#include <string>

namespace kelvora::platform {

// A notice (question false) or a yes/no question; true only for "yes".
bool show_message(const std::string& caption, const std::string& text, bool question);

// The first installed Chromium-based browser in the OS's order of preference.
std::optional<std::string> find_browser();

// An opaque top-level window id (HWND on Windows, an X window on Linux).
using WindowId = std::uintptr_t;

// A visible top-level window of a Chromium-based browser whose title begins with prefix.
std::optional<WindowId> find_browser_window(const std::string& title_prefix);
// Restores and brings the window to the foreground.
bool raise_window(WindowId w);
// Asks the window to close, as its close button would.
void close_window(WindowId w);

} // namespace kelvora::platform

namespace kelvora::platform {
// The system's sound settings, and its microphone privacy page where it has one.
bool open_sound_settings();
bool open_microphone_privacy();
} // namespace kelvora::platform
