#pragma once
// The update package: a zip archive holding the program under its own name.
#include <cstdint>
#include <string>
#include <string_view>

namespace kelvora::publish {

struct Zipped {
    std::string bytes;
    std::string error;
};

// One Deflate entry named entry_name holding program, executable for unzip on Linux and
// dated mtime (seconds since 1970 UTC), so the same input gives the same archive.
Zipped zip_program(const std::string& entry_name, std::string_view program, std::uint64_t mtime);

} // namespace kelvora::publish
