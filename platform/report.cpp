#include "platform/report.hpp"

#include <cstdio>
#include <mutex>

namespace kelvora::platform {

namespace {

std::mutex sink_mutex;
std::function<void(const std::string&)> sink; // guarded by sink_mutex

} // namespace

void set_report_sink(std::function<void(const std::string& line)> s) {
    std::lock_guard lock(sink_mutex);
    sink = std::move(s);
}

void report(const std::string& line) {
    std::function<void(const std::string&)> to;
    {
        std::lock_guard lock(sink_mutex);
        to = sink;
    }
    // A copy of the sink is called outside the lock: the log takes its own lock, and a
    // failure inside it may report again.
    if (to) return to(line);
    std::fprintf(stderr, "%s\n", line.c_str());
}

} // namespace kelvora::platform
