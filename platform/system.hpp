#pragma once
// Random bytes, the local clock, files kept private to the user, and which OS this is.
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kelvora::platform {

// Fills buf from the OS's secure random source; false only when every source failed.
bool random_bytes(void* buf, std::size_t n);

struct LocalTime {
    int year, month, day, hour, minute, second;
};
std::optional<LocalTime> local_time();

// Renames from over to, replacing an existing file in one step.
bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to);

// Makes file hold exactly data (created private to the user, or truncated) and returns once
// the data is on the disk.
bool write_file_durably(const std::filesystem::path& file, std::string_view data);
// Appends data to file, creating it private to the user when missing.
bool append_to_file(const std::filesystem::path& file, std::string_view data);
// Creates the directory with its parents, and makes it and the files directly inside it
// private to the user: modes 0700 and 0600 on Linux; on Windows the profile's own
// permissions already do that.
bool make_private_directory(const std::filesystem::path& dir);

// The messages of the portable code name the user's system in its own words.
enum class Os { windows, linux_x11 };
Os host_os();

// The computer's own name: COMPUTERNAME on Windows, the host name on Linux.
std::optional<std::string> computer_name();

} // namespace kelvora::platform
