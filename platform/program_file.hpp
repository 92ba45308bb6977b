#pragma once
// What replacing the running program needs from the OS: moving and copying its file with
// the OS's own words for a failure, running a new copy under a time limit, and the
// installer's record of the version.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kelvora::platform {

// Renames a file, replacing nothing; the OS's description of the error on failure.
std::optional<std::string> move_file(const std::filesystem::path& from,
                                     const std::filesystem::path& to);
// Copies from to a new file to; on Linux the copy gets the permission bits of mode_of.
std::optional<std::string> copy_program_file(const std::filesystem::path& from,
                                             const std::filesystem::path& to,
                                             const std::filesystem::path& mode_of);

struct BoundedRun {
    bool started = false;
    bool ended = false; // false: still running after the wait, and killed
    std::string output; // standard output, at most max_output bytes
    std::string error;  // why it could not start
};
// Runs a program without a console window, its standard output captured; looks up to
// tries times, interval_ms apart, whether it ended, and kills it when it still runs.
BoundedRun run_bounded(const std::string& program, const std::vector<std::string>& args, int tries,
                       int interval_ms, std::size_t max_output);

// Sets the version an installer's uninstall entry shows; nothing where there is none.
void record_installed_version(const std::string& version);

} // namespace kelvora::platform
