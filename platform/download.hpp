#pragma once
// One HTTP(S) GET for the updater: WinINet on Windows, libcurl on Linux.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kelvora::platform {

enum class FetchStep {
    done,       // the whole body was handed over
    no_session, // the HTTP library could not be set up
    no_connect, // no reply: name, connection, TLS or time-out before the reply
    status,     // a status other than 200; the body was not read
    cut,        // the reply broke off, or a read failed or timed out
    stopped,    // the block handler asked to stop
};
struct FetchResult {
    FetchStep step = FetchStep::done;
    // The OS's or the library's error number; the HTTP status for FetchStep::status.
    unsigned long code = 0;
};

// Called for every received block, with the reply's Content-Length (0 when it has none);
// returning false ends the download.
using FetchBlock = std::function<bool(std::string_view block, std::uint64_t content_length)>;

// GETs url with the given User-Agent through the system's proxy settings, bypassing every
// cache, without cookies or UI, with 25-second limits on connecting, sending and each
// read. Redirects are followed, but never from https to plain http.
FetchResult http_get(const std::string& url, const std::string& user_agent,
                     const FetchBlock& on_block);

} // namespace kelvora::platform
