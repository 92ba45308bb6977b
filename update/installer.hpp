#pragma once
// Turns a downloaded package into the running program: checks, unpacks, proves the new
// program starts, waits for sessions and calls to end, swaps the program file with a way
// back at every step, and starts the new version; the new version then reports and
// removes what the swap left.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/log.hpp"
#include "platform/program_file.hpp"
#include "update/signature.hpp"
#include "update/stage_clock.hpp"
#include "update/update_state.hpp"

namespace kelvora::update {

struct InstallHooks {
    std::function<bool()> sessions_open;            // any support session or call
    std::function<std::uint16_t()> port;            // the local server's
    std::vector<std::string> window_flags;          // --no-window and --no-tray as we got them
    std::function<void()> update_exit;              // ends this process; the new one runs
    std::function<void(const std::string&)> notify; // the tray balloon
    int wait_interval_ms = 2000;                    // between looks at the open sessions
    int pause_before_swap_ms = 1500; // the page shows its installing cover meanwhile
    int start_watch_ms = 3000;       // how long a new version that ends at once is watched
};

// The message of a staged program that is no longer what was checked.
inline constexpr const char* kChanged =
    "la versión descargada cambió antes de instalarla; todo quedó como estaba";
// How long the previous version is kept, at the least, once the new one has proven itself.
inline constexpr std::uint64_t kKeepPreviousSeconds = 3 * 24 * 3600;
// How long the new version runs before it counts as proven.
inline constexpr int kProvenAfterSeconds = 600;

// Where the program file and its swap companions lie.
struct ProgramPaths {
    std::filesystem::path exe;    // the running program file
    std::filesystem::path old;    // <stem>.old[.exe] beside it: the previous version
    std::filesystem::path staged; // <stem>.new[.exe] beside it: the checked new version
};
ProgramPaths program_paths(const std::filesystem::path& exe);
// The running program file as it was at start (or as a swap cut short was taken back),
// or the bare program name when the OS won't say.
std::filesystem::path running_program();
// The write probe behind can_install: a file of a random name, made and removed in the
// program's folder.
bool program_folder_writable();

// The new program's file beside the running one, written as its bytes are unpacked, with
// the fingerprint of every byte written.
struct StagedWrite {
    std::unique_ptr<platform::StagedFile> file;
    ContentHash hash;
    bool write(std::string_view bytes) {
        hash.update(bytes);
        return !file->write(bytes);
    }
};
// A new staged file for the running program (one left by an earlier try goes first), or
// nothing when none can be made there.
std::unique_ptr<StagedWrite> stage_program();

// Called at each step of the swap ("apartado", "en_su_lugar"); the recovery tests' build
// ends the process there.
using SwapProbe = std::function<void(std::string_view step)>;
void set_swap_probe(SwapProbe probe);

class Installer {
public:
    Installer(UpdateState& state, const Log& log, InstallHooks hooks);

    // Runs on the installation thread after the download; ends the process on success.
    // sha256 is the bytes' hash when the download already took it; streamed, the staged
    // file the download unpacked the program into (used only when what was unpacked is the
    // verified package's program); clock, the steps timed so far. The package's bytes are
    // let go once the program is out of them: the wait for sessions may last hours.
    void install_package(std::string bytes, const json& manifest, std::string sha256 = {},
                         std::unique_ptr<StagedWrite> streamed = nullptr, StageClock clock = {});
    void report_failure(const std::string& version, const std::string& message);
    // Empty on success, else the message.
    std::string test_run(const std::filesystem::path& program, const std::string& version);
    std::string swap_program(const ProgramPaths& paths, platform::StagedFile& staged,
                             const std::string& version);
    const InstallHooks& hooks() const { return hooks_; }

private:
    UpdateState& state_;
    const Log& log_;
    InstallHooks hooks_;
};

// In the new version, once its server runs: logs, records the success and the kept
// previous version, updates an installer's entry.
void finish_update(UpdateState& state, const Log& log, const std::string& from);
// Once the new version has run a while: it has proven itself.
void mark_proven(UpdateState& state);
// Removes the previous program file when it is no longer kept (retrying while the old
// process still holds it), a leftover staged file, and the data directory's old update
// folder. Runs on its own thread at every start.
void cleanup_after_update(UpdateState& state, const ProgramPaths& paths, int tries = 20,
                          int interval_ms = 1500);
// The kept previous version's number, while its file is there.
std::optional<std::string> previous_version(const UpdateState& state, const ProgramPaths& paths);
// Puts the previous version back and starts it; "" on success (the caller then ends this
// process), else the message.
std::string go_back(UpdateState& state, const Log& log, const InstallHooks& hooks);
// How long a new version must run, once started, for its start not to count as a crash.
inline constexpr int kFirstMinuteSeconds = 60;
// At the start of a version not yet proven: counts the earlier starts that ended within
// their first minute without an orderly exit; at the second one, puts the previous version
// back, starts it with window_flags, logs and notifies. True when it did (the caller ends).
bool roll_back_after_crashes(UpdateState& state, const Log& log,
                             const std::vector<std::string>& window_flags);
// This start is no crash: the first minute has passed, or the program ends in order.
void first_minute_over(UpdateState& state);

// A swap cut short between moving the program file aside and putting the new one in
// leaves only <stem>.old (Windows); started from there, the program takes its own name
// back. Returns the program file's path after that.
std::filesystem::path recover_interrupted_swap(const std::filesystem::path& exe, const Log& log);

} // namespace kelvora::update
