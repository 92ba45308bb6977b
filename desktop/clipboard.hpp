#pragma once
// Clipboard text for the technician: reading it, and writing it with the line endings of
// the system (CR LF on Windows, LF on Linux).
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "base/json_file.hpp"
#include "platform/clipboard.hpp"
#include "platform/system.hpp"

namespace kelvora::desktop {

// The clipboard calls, so a clipboard held by another program can be scripted.
struct ClipboardPort {
    std::function<std::unique_ptr<platform::OpenClipboard>()> open;
    std::function<void(std::chrono::milliseconds)> sleep;
    platform::Os os = platform::host_os(); // whose line endings written text gets
};
ClipboardPort system_clipboard();

// Another program may hold the clipboard for a moment: this many tries, with this pause
// after each failed one.
inline constexpr int kOpenTries = 10;
inline constexpr std::chrono::milliseconds kOpenPause{30};

// Every line ending as CR LF; a lone CR stays as it is.
std::string with_crlf(const std::string& text);
// Every CR LF as LF; a lone CR stays as it is.
std::string with_lf(const std::string& text);

std::unique_ptr<platform::OpenClipboard> open_with_retries(const ClipboardPort& port);
// {"ok","texto"} (the permission check is the caller's).
json read_clipboard(const ClipboardPort& port);
bool write_clipboard(const ClipboardPort& port, const std::string& text);

} // namespace kelvora::desktop
