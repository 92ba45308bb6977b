#pragma once
// The desktop shell: message boxes, the browser that hosts the app window, and finding,
// raising and closing that window.
#include <cstdint>
#include <optional>
#include <string>

namespace kelvora::platform {

// A notice (question false) or a yes/no question; true only for "yes".
bool show_message(const std::string& caption, const std::string& text, bool question);

// What the browser search of the portable code asks of the OS. The default value of
// HKLM ...\App Paths\<exe> as stored (nothing outside Windows, or when missing); a program
// on PATH (nothing on Windows, where browsers are not looked for there); a regular file.
std::optional<std::string> registry_app_path(const std::string& exe);
std::optional<std::string> find_on_path(const std::string& name);
bool is_file(const std::string& path);

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
