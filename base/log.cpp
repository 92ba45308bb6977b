#include "base/log.hpp"

#include <cstdio>
#include <mutex>

#include "platform/system.hpp"

namespace kelvora {

std::string time_stamp_text(const platform::LocalTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return buf;
}

std::string time_stamp_now() {
    auto t = platform::local_time();
    // Without a clock the program can't keep its records straight; there is no recovery.
    if (!t) std::abort();
    return time_stamp_text(*t);
}

std::string log_line(const platform::LocalTime& t, std::string_view message) {
    std::string line = time_stamp_text(t);
    line.push_back(' ');
    for (char c : message)
        line.push_back(c == '\n' ? ' ' : c);
    line.push_back('\n');
    return line;
}

static std::mutex log_mutex;

void write_log_to(const std::filesystem::path& dir, std::string_view message) {
    std::lock_guard lock(log_mutex);
    const auto file = dir / "kelvora.log";
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    if (!ec && size > kLogRotateAbove) {
        auto old = dir / "kelvora.log.1";
        std::filesystem::remove(old, ec);
        std::filesystem::rename(file, old, ec);
    }
    auto t = platform::local_time();
    if (!t) return;
    platform::append_to_file(file, log_line(*t, message));
}

} // namespace kelvora
