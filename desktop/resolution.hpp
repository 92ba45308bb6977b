#pragma once
// Changing a monitor's mode for the length of support, and putting every change back: on
// request, at the end of a session, at exit and, after a crash, at the next start.
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/json_file.hpp"
#include "desktop/modes.hpp"
#include "platform/display.hpp"
#include "platform/system.hpp"

namespace kelvora::desktop {

// The display calls, so the rules can be replayed against a scripted fake.
class DisplayBackend {
public:
    virtual ~DisplayBackend() = default;
    virtual std::vector<platform::Monitor> monitors() = 0;
    virtual std::optional<platform::DisplayMode> current_mode(const std::string& device) = 0;
    virtual std::vector<platform::DisplayMode> display_modes(const std::string& device) = 0;
    virtual platform::ModeResult change_mode(const std::string& device,
                                             const platform::DisplayMode& m) = 0;
    virtual std::optional<std::string> stored_mode_note(const std::string& device) = 0;
    virtual platform::ModeResult return_to_stored_mode(const std::string& device,
                                                       const std::string& note) = 0;
};
// The display of this PC, through the platform layer.
std::unique_ptr<DisplayBackend> system_display();

// The technician's message for a change the display refused, in the words of the system.
std::string mode_refusal(const platform::ModeResult& r, platform::Os os);

inline constexpr const char* kMarkerFileName = "resolucion_cambiada.txt";

// A marker line: the device, then a tab and the backend's note when it has one.
struct MarkerLine {
    std::string device, note;
};
std::vector<MarkerLine> parse_marker(const std::string& text);
std::string marker_text(const std::vector<MarkerLine>& lines);

class Resolutions {
public:
    // marker_file lists what this run changed, so that a crashed run's changes are put
    // back at the next start.
    Resolutions(DisplayBackend& display, std::filesystem::path marker_file)
        : display_(display), marker_(std::move(marker_file)) {}

    // /api/resolucion and /api/resolucion/poner (without the control gate, and without
    // the log line).
    json read(const json& body);
    json set(const json& body);
    // Returns every changed monitor, and those named in the marker file, to its own mode;
    // those that can't be returned now stay in the marker for the next try.
    void restore_all();

    bool changed(const std::string& device);

private:
    struct Changed {
        std::string device;
        Mode prior;
        std::string note;
    };
    struct Target {
        platform::Monitor monitor;
        platform::DisplayMode current;
    };
    std::optional<Target> target(const json& body, json& refusal);
    // With the list's lock held. Writes what is changed and what couldn't be restored;
    // false when the marker couldn't be written.
    bool write_marker_locked();
    std::optional<Changed> find_locked(const std::string& device);
    void remove_locked(const std::string& device);
    json reply_after(const std::string& device, const Mode& fallback, const Mode& prior);

    DisplayBackend& display_;
    std::mutex list_mu_;
    std::vector<Changed> changed_;
    std::vector<MarkerLine> unrestored_; // restores that failed, kept for the next try
    const std::filesystem::path marker_;
};

} // namespace kelvora::desktop
