#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/system.hpp"

namespace kelvora {

// "YYYY-MM-DD HH:MM:SS" in local time.
std::string time_stamp_text(const platform::LocalTime& t);
std::string time_stamp_now();

// The line written for a message: time stamp, space, message with every LF turned into a
// space (CRs stay), and a final LF.
std::string log_line(const platform::LocalTime& t, std::string_view message);

inline constexpr std::uintmax_t kLogRotateAbove = 2'000'000;

// Appends one line to kelvora.log in dir, rotating to kelvora.log.1 first when the log
// has grown past the limit. Never reports failure.
void write_log_to(const std::filesystem::path& dir, std::string_view message);
// kelvora.log of one data directory, handed to whoever writes to it.
class Log {
public:
    explicit Log(std::filesystem::path dir) : dir_(std::move(dir)) {}
    void write(std::string_view message) const { write_log_to(dir_, message); }
    const std::filesystem::path& dir() const { return dir_; }

private:
    std::filesystem::path dir_;
};

} // namespace kelvora
