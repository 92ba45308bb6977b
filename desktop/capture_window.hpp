#pragma once
// The capture window: a second, hidden browser window whose page captures one monitor
// and hands it to the main page through the mailbox. At most one runs at a time.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/json_file.hpp"
#include "base/log.hpp"
#include "desktop/mailbox.hpp"
#include "platform/process.hpp"
#include "platform/system.hpp"

namespace kelvora::desktop {

// The capture page's title begins with this; the hiding looks for it.
inline constexpr const char* kCaptureTitle = "Captura Kv";
inline constexpr unsigned kMaxScreen = 16;

// The browser's own name for screen n: "Screen n" with more than one monitor, else
// "Entire screen".
std::string capture_source_name(unsigned n, std::size_t monitor_count);
// The screen asked for: `pantalla` as an unsigned integer, 1 when it is missing, not one
// or 0, and at most 16.
unsigned screen_number(const json& body);
// The browser's command line for the capture window, in its fixed order.
std::vector<std::string> capture_window_arguments(const std::string& page,
                                                  const std::string& profile_dir,
                                                  const std::string& source, platform::Os os);

struct CaptureLaunch {
    // The browser to start, as the app window's search finds it; nothing without one.
    std::function<std::optional<std::string>()> browser;
    std::function<std::size_t()> monitor_count;
};

class CaptureWindow {
public:
    CaptureWindow(std::filesystem::path profile_dir, Mailbox& mailbox, const Log& log);

    void set_launch(CaptureLaunch launch);
    // Where the capture page is served; set once the server runs.
    void set_page(std::uint16_t port);

    // /api/captura: `off` true closes; otherwise starts the window for `pantalla`.
    json request(const json& body);
    // Starts the window for screen n, closing any other first.
    json start(unsigned n);
    // Ends the window's whole process tree (if one runs) and empties the mailbox.
    void close();

    // The capture page for the running window's ticket, once: its browser loads it at its
    // start, and nobody after it.
    std::optional<std::string> page(const std::string& ticket);
    // Whether ticket is the running window's, whose page has been loaded.
    bool holds(const std::string& ticket);

private:
    void hide_later(std::uint32_t pid);

    std::filesystem::path profile_dir_;
    Mailbox& mailbox_;
    const Log& log_;
    std::mutex mutex_;
    CaptureLaunch launch_; // guarded by mutex_, as are page_*
    std::uint16_t page_port_ = 0;
    std::unique_ptr<platform::ChildProcess> child_; // guarded by mutex_, as are the three below
    unsigned screen_ = 0;
    // The window's own credential: on its command line instead of the run's token, which
    // every program of the user could read there; it opens the page once and the mailbox.
    std::string ticket_;
    bool page_served_ = false;
    std::atomic<unsigned> generation_{0}; // bumped by every start
};

} // namespace kelvora::desktop
