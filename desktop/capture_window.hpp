#pragma once
// The capture windows: hidden browser windows whose page captures one monitor and hands it
// to the main page through the mailbox.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
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

// Screens whose windows are started ahead at most (screens 2 to 4): each is a browser of
// its own, some 150 to 250 MB.
inline constexpr unsigned kMaxWarmWindows = 3;

// The capture windows. Without a host session asking for them ahead, at most one runs, for
// the screen shown. Once asked (`warm`), a window per other screen is started in the
// background and kept between switches: showing a screen then wakes its window, letting
// go of it puts the window back to wait, and only close() ends them.
//
// Each window has its own box, which only its page reads; the main page's messages for
// "cap" go to the box of the window that shows its screen, and only that window's page
// writes to "main".
class CaptureWindow {
public:
    CaptureWindow(std::filesystem::path profile_dir, Mailbox& mailbox, const Log& log);

    void set_launch(CaptureLaunch launch);
    // Where the capture page is served; set once the server runs.
    void set_page(std::uint16_t port);

    // /api/captura: `off` true lets go of the shown screen; `cerrar` true ends every window
    // (a session that ended while its requests were on their way), or with `pantalla` that
    // screen's alone (its browser died); `precalentar` true starts the other screens' windows
    // ahead; `enlazar` true links `pantalla` ahead; otherwise shows `pantalla`.
    json request(const json& body);
    // Shows screen n: wakes its window, or starts one.
    json start(unsigned n);
    // While windows are kept and no screen is shown: lets the main page set up its link to
    // screen n's window (started now if it has none) without showing it; the window keeps
    // its capture at a frame a second. The main page lets go of it as of a shown screen.
    json link_ahead(unsigned n);
    // Starts, in the background and one after another, a window for each screen but the
    // first (the app window's own) that has none, and keeps them until close().
    void warm();
    // Lets go of the shown screen: its window waits again, or ends when none are kept.
    void let_go();
    // Ends every window's whole process tree and empties the mailbox.
    void close();
    // Ends screen n's window alone; the others stay.
    void close_screen(unsigned n);

    // Where the main page's messages for "cap" go now.
    std::string capture_box();
    // The capture page for a window's ticket, once: its browser loads it at its start, and
    // nobody after it.
    std::optional<std::string> page(const std::string& ticket);
    // The box of the window whose loaded page holds ticket; nothing for any other ticket.
    std::optional<std::string> box_of(const std::string& ticket);
    // Whether ticket is that of the window showing a screen now.
    bool shows(const std::string& ticket);

private:
    // A window's own credential: on its command line instead of the run's token, which every
    // program of the user could read there; it opens the page once, then the page's boxes.
    struct Window {
        std::unique_ptr<platform::ChildProcess> child;
        std::string ticket;
        std::string box;
        bool page_served = false;
    };
    // Screen n's browser profile: each window kept at once needs its own.
    std::filesystem::path profile_for(unsigned n) const;
    // Starts the browser for screen n; called with mutex_ held.
    std::optional<Window> launch(unsigned n, std::string* error);
    // Tells the shown window to stop; called with mutex_ held.
    void stop_shown();
    // Screen n's running window, started when it has none or its browser died; nothing, with
    // the reason in *error, when none can be started. Called with mutex_ held.
    Window* running_window(unsigned n, std::string* error);
    // Makes screen n's window the one the pages talk through and tells its page word ("go"
    // or "link"); called with mutex_ held, no screen shown.
    json talk_to(unsigned n, const char* word);
    void hide_later(std::uint32_t pid);

    std::filesystem::path profile_dir_;
    Mailbox& mailbox_;
    const Log& log_;
    std::mutex mutex_;
    CaptureLaunch launch_; // guarded by mutex_, as is everything below but generation_
    std::uint16_t page_port_ = 0;
    std::map<unsigned, Window> windows_; // by screen number
    unsigned shown_ = 0;                 // the screen shown, 0 for none
    unsigned launches_ = 0;              // browsers started, for their boxes' names
    bool warm_ = false;                  // windows are kept between switches
    std::atomic<unsigned> generation_{0}; // bumped by close(): the background work stops
};

} // namespace kelvora::desktop
