#pragma once
// Files of the folder a release is published from, and the publisher's inputs.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kelvora::publish {

struct FileBytes {
    std::optional<std::string> bytes; // nothing when missing, too big or unreadable
    std::string error;                // why, when the file exists
};

// The whole file when it holds at most max bytes; a missing file is no error.
FileBytes read_bounded(const std::filesystem::path& file, std::uintmax_t max);

// Puts bytes at file through a temporary name beside it, so that a visitor of the web
// site downloads the old file or the new one, never half of one. Readable by everyone
// (by the umask), since a web server serves it. Empty on success, else why.
std::string write_published(const std::filesystem::path& file, std::string_view bytes);

} // namespace kelvora::publish
