#pragma once
// Monitors and their display modes.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace kelvora::platform {

// A monitor as the OS reports it; device is the name the mode functions take.
struct Monitor {
    int x = 0, y = 0, w = 0, h = 0;
    bool primary = false;
    std::string device;
    // The number a browser's capture of this monitor carries in its track label
    // ("screen:<n>:0"), where the OS gives one apart from the device name: on X, the atom
    // of the RandR monitor's name. -1 where the device name says it (Windows).
    long capture_id = -1;
};
// Every monitor whose information could be read, in the OS's own order.
std::vector<Monitor> monitors();

struct DisplayMode {
    int w = 0, h = 0, hz = 0, depth = 0;
    bool interlaced = false;
};
std::optional<DisplayMode> current_mode(const std::string& device);
// The modes the device offers, in the OS's order, at most max of them.
std::vector<DisplayMode> display_modes(const std::string& device, std::size_t max);

// What became of a mode change, in the program's own terms. os_code is the OS's own result
// (Windows' DISP_CHANGE_*, X's status), kept for the log and for Windows' own message.
struct ModeResult {
    enum class Outcome { done, no_such_mode, refused, no_display };
    Outcome outcome = Outcome::done;
    long os_code = 0;
    bool ok() const { return outcome == Outcome::done; }
};

// Switches the device for this session only (the OS's stored settings stay).
ModeResult change_mode(const std::string& device, const DisplayMode& mode);
// What must be kept on disk to bring the device back to its own mode after a crash: empty
// where the OS keeps that mode itself; nothing when it can't be read right now.
std::optional<std::string> stored_mode_note(const std::string& device);
// Returns the device to its own mode (note is what stored_mode_note gave before the first
// change).
ModeResult return_to_stored_mode(const std::string& device, const std::string& note);

} // namespace kelvora::platform
