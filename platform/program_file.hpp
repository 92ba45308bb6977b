#pragma once
// What replacing the running program needs from the OS: staging, renaming and keeping its
// file with the OS's own words for a failure, running a new copy under a time limit, and the
// installer's record of the version.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvora::platform {

// Renames a file, replacing nothing; the OS's description of the error on failure.
std::optional<std::string> move_file(const std::filesystem::path& from,
                                     const std::filesystem::path& to);
// Keeps the program file's present content at old (which must not exist): a second name
// for the same file on Linux, so the program file is never missing; on Windows the file is
// moved aside, since Windows never lets a running program be replaced in place.
std::optional<std::string> keep_previous(const std::filesystem::path& exe,
                                         const std::filesystem::path& old);

// A new file created exclusively (never an existing file, nor through a link), written
// (in as many pieces as come), then sealed: from then on it is held open so that, on
// Windows, nothing else can write, rename or delete it until it is put in place. It can't
// be run before it is sealed. Destroying it removes the file unless it was put in place.
class StagedFile {
public:
    virtual ~StagedFile() = default;
    virtual std::optional<std::string> write(std::string_view bytes) = 0;
    // Ends the writing: the file gets the permission bits of mode_of (Linux) and is held
    // read-only, so it can be run.
    virtual std::optional<std::string> seal(const std::filesystem::path& mode_of) = 0;
    // The sealed file's content from its start, through the handle we hold.
    virtual bool read(const std::function<void(std::string_view)>& sink) = 0;
    // Whether path leads to this very file now.
    virtual bool is_at(const std::filesystem::path& path) = 0;
    // Waits for the disk, then renames this very file onto to: on Linux to is replaced, on
    // Windows it must be free. Fails, leaving everything where it was, when the file's name
    // no longer leads to it.
    virtual std::optional<std::string> put_at(const std::filesystem::path& to) = 0;
    // Lets go of the file, wherever it now lies, without removing it.
    virtual void release() = 0;
};
// Nothing, with the OS's words in *error, when the file exists already or can't be made.
std::unique_ptr<StagedFile> create_staged_file(const std::filesystem::path& path,
                                               std::string* error);

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
