#pragma once
// Random bytes, the local clock and file replacement.
#include <cstddef>
#include <filesystem>
#include <optional>

namespace kelvora::platform {

// Fills buf from the OS's secure random source; false only when every source failed.
bool random_bytes(void* buf, std::size_t n);

struct LocalTime {
    int year, month, day, hour, minute, second;
};
std::optional<LocalTime> local_time();

// Renames from over to, replacing an existing file in one step.
bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to);

} // namespace kelvora::platform
