#pragma once
// The app window: the browser started in app mode on the local page, found again, raised
// and closed by its title.
#include <atomic>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/log.hpp"
#include "platform/process.hpp"
#include "platform/system.hpp"

namespace kelvora {

// The screen the page's capture picks without asking: the browser's own name for it.
std::string capture_source_name(std::size_t monitor_count);

// The browser's command line for the app window, in its fixed order.
std::vector<std::string> app_window_arguments(const std::string& url,
                                              const std::string& profile_dir,
                                              const std::string& capture_source, bool minimized,
                                              platform::Os os);

class AppWindow {
public:
    // profile_dir is the browser profile of the window; monitor_count tells which screen
    // name the capture picks.
    AppWindow(std::filesystem::path profile_dir, const Log& log,
              std::function<std::size_t()> monitor_count);

    // The page the window shows; set once the server's port is known.
    void set_url(std::string url);
    // Starts the browser on the page and keeps its process; false when no browser exists
    // or it won't start (both logged, the first also shown to the user).
    bool open(bool minimized);
    // Brings the window to the front; false when there is none.
    bool raise();
    // Raises the window, or opens a new one; a second call within 4 s of an opening
    // doesn't open another.
    void show();
    bool exists();
    void close();
    // Whether the browser process the window was started with still runs.
    bool browser_running();

private:
    void watch_sharing_notices(std::uint32_t pid);

    std::filesystem::path profile_dir_;
    const Log& log_;
    std::function<std::size_t()> monitor_count_;
    std::mutex mutex_;
    std::string url_;                                 // guarded by mutex_
    std::unique_ptr<platform::ChildProcess> browser_; // guarded by mutex_
    std::atomic<bool> opening_{false};
    // Keeps the browser's "sharing your screen" notice out of the captured picture while
    // the browser last opened runs; declared last, so it stops before what it reads goes.
    std::mutex watch_mutex_; // one replacement of the watch at a time; never mutex_, which
                             // the watch it waits for takes
    std::jthread notice_watch_; // guarded by watch_mutex_
};

} // namespace kelvora
