#pragma once
// Changing a monitor's mode for the length of support, and putting every change back: on
// request, at the end of a session, at exit and, after a crash, at the next start.
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/json_file.hpp"
#include "desktop/modes.hpp"
#include "platform/display.hpp"

namespace kelvora::desktop {

// The display calls, so the rules can be replayed against a scripted fake.
class DisplayBackend {
public:
    virtual ~DisplayBackend() = default;
    virtual std::vector<platform::Monitor> monitors() = 0;
    virtual std::optional<platform::DisplayMode> current_mode(const std::string& device) = 0;
    virtual std::vector<platform::DisplayMode> display_modes(const std::string& device) = 0;
    virtual long change_mode(const std::string& device, const platform::DisplayMode& m) = 0;
    virtual std::string stored_mode_note(const std::string& device) = 0;
    virtual long return_to_stored_mode(const std::string& device, const std::string& note) = 0;
};
DisplayBackend& system_display();

inline constexpr const char* kMarkerFileName = "resolucion_cambiada.txt";

// A marker line: the device, then a tab and the backend's note when it has one.
struct MarkerLine {
    std::string device, note;
};
std::vector<MarkerLine> parse_marker(const std::string& text);
std::string marker_text(const std::vector<MarkerLine>& lines);

class Resolutions {
public:
    explicit Resolutions(DisplayBackend& display) : display_(display) {}

    // Where the marker file lives; set once at start-up.
    void set_marker_file(std::filesystem::path file);

    // /api/resolucion and /api/resolucion/poner (without the control gate, and without
    // the log line).
    json read(const json& body);
    json set(const json& body);
    // Returns every changed monitor, and those named in the marker file, to its own mode.
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
    // With the list's lock held.
    void write_marker_locked();
    std::optional<Changed> find_locked(const std::string& device);
    void remove_locked(const std::string& device);
    json reply_after(const std::string& device, const Mode& fallback, const Mode& prior);

    DisplayBackend& display_;
    std::mutex list_mu_;
    std::vector<Changed> changed_;
    std::mutex path_mu_;
    std::optional<std::filesystem::path> marker_;
};

Resolutions& resolutions();

} // namespace kelvora::desktop
