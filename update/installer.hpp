#pragma once
// Turns a downloaded package into the running program: checks, unpacks, proves the new
// program starts, waits for sessions and calls to end, swaps the program file with a way
// back at every step, and starts the new version; the new version then reports and
// removes what the swap left.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/log.hpp"
#include "update/update_state.hpp"

namespace kelvora::update {

struct InstallHooks {
    std::function<bool()> sessions_open;   // any support session or call
    std::function<std::uint16_t()> port;   // the local server's
    std::vector<std::string> window_flags; // --no-window and --no-tray as we got them
    std::function<void()> update_exit;     // ends this process; the new one runs
    int wait_interval_ms = 2000;           // between looks at the open sessions
    int pause_before_swap_ms = 1500;       // the page shows its installing cover meanwhile
};

// Where the program file and its swap companions lie.
struct ProgramPaths {
    std::filesystem::path exe;    // the running program file
    std::filesystem::path old;    // <stem>.old[.exe] beside it
    std::filesystem::path staged; // <stem>.new[.exe] beside it, while being copied in
    std::filesystem::path fresh;  // update/Kelvora.new.exe (kelvora.new) in the data dir
};
ProgramPaths program_paths(const std::filesystem::path& exe, const std::filesystem::path& data_dir);
// The running program file, or the bare program name when the OS won't say.
std::filesystem::path running_program();

class Installer {
public:
    Installer(UpdateState& state, const Log& log, InstallHooks hooks);

    // Runs on the installation thread after the download; ends the process on success.
    void install_package(const std::string& bytes, const json& manifest);
    void report_failure(const std::string& version, const std::string& message);
    // Empty on success, else the message.
    std::string test_run(const std::filesystem::path& program, const std::string& version);
    std::string swap_program(const ProgramPaths& paths);

private:
    UpdateState& state_;
    const Log& log_;
    InstallHooks hooks_;
};

// In the new version, once its server runs: logs, records the success, updates an
// installer's entry, and starts the clean-up.
void finish_update(UpdateState& state, const Log& log, const std::string& from);
// Removes the previous program file (retrying while the old process still holds it) and
// the data directory's update folder. Runs on its own thread at every start.
void cleanup_after_update(const ProgramPaths& paths, const std::filesystem::path& data_dir,
                          int tries = 20, int interval_ms = 1500);
// A swap cut short between moving the program file aside and putting the new one in
// leaves only <stem>.old; started from there, the program takes its own name back.
// Returns the program file's path after that.
std::filesystem::path recover_interrupted_swap(const std::filesystem::path& exe, const Log& log);

} // namespace kelvora::update
