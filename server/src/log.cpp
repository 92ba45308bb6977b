#include "log.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace kv {
namespace {

std::mutex log_mutex;

void append_value(std::string& line, std::string_view v) {
    bool quote = v.empty();
    for (unsigned char ch : v)
        if (ch <= ' ' || ch == '"' || ch == '=' || ch == '\\') quote = true;
    if (!quote) {
        line += v;
        return;
    }
    line += '"';
    std::size_t n = 0;
    for (unsigned char ch : v) {
        if (++n > 200) {
            line += "...";
            break;
        }
        if (ch == '"' || ch == '\\') {
            line += '\\';
            line += static_cast<char>(ch);
        } else if (ch < ' ' || ch == 0x7f) {
            line += '?';
        } else {
            line += static_cast<char>(ch);
        }
    }
    line += '"';
}

} // namespace

void log_event(std::string_view event, std::initializer_list<log_field> fields) {
    log_event(event, std::vector<log_field>(fields));
}

void log_event(std::string_view event, const std::vector<log_field>& fields) {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t t = system_clock::to_time_t(now);
    auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms));
    std::string line = stamp;
    line += " ev=";
    line += event;
    for (auto& [k, v] : fields) {
        line += ' ';
        line += k;
        line += '=';
        append_value(line, v);
    }
    line += '\n';
    std::lock_guard lock(log_mutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
}

void fail(std::string_view what, std::string_view message) {
    log_event("error", {{"what", what}, {"msg", message}});
}

} // namespace kv
