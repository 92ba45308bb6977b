#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/process.hpp"

namespace kelvora {

// The screen the page's capture picks without asking: the browser's own name for it.
std::string capture_source_name(std::size_t monitor_count);

// The browser's command line for the app window, in its fixed order.
std::vector<std::string> app_window_arguments(const std::string& url, const std::string& profile_dir,
                                              const std::string& capture_source, bool minimized);

// Starts the browser in app mode on url; null when no browser exists or it won't start
// (both logged, the first also shown to the user).
std::unique_ptr<platform::ChildProcess> open_app_window(const std::string& url, bool minimized);

// Brings the app window to the front; false when there is none.
bool raise_app_window();
// Raises the app window, or opens a new one; a second call within 4 s of an opening
// doesn't open another.
void show_app_window();
bool app_window_exists();
void close_app_window();

// The browser process the app window was started with.
void keep_browser_process(std::unique_ptr<platform::ChildProcess> p);
bool browser_process_running();

} // namespace kelvora
