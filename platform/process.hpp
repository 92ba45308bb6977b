#pragma once
// Processes, environment and the program's own identity. Declared here, implemented once
// per OS in platform/<os>/process.cpp. Nothing here throws; failures come back as values.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kelvora::platform {

std::uint32_t current_pid();
// The running executable's full path, or empty when the OS won't say.
std::string executable_path();
bool is_admin();
// Per-monitor DPI awareness (v2) where the OS has it; the result is ignored by design.
void declare_dpi_awareness();
// An environment variable as UTF-8; nothing when unset.
std::optional<std::string> env(const char* name);

// Waits up to timeout_ms for another process to end; false when it can't be opened.
bool wait_for_process_exit(std::uint32_t pid, int timeout_ms);
// Starts the own executable again with administrator rights: started (this copy should
// end), declined (the user said no, or it failed), or never (this OS doesn't elevate).
enum class Elevation { started, declined, never };
Elevation relaunch_elevated(const std::string& exe, const std::string& parameters);
// Ends the process at once with the given code, without joining threads.
[[noreturn]] void exit_process(int code);

// Calls handler once, on a thread of its own, when the OS asks the program to end: SIGTERM,
// SIGHUP (a logout) or SIGINT on Linux; the end of the session on Windows. Called first
// thing at start-up, before any other thread exists, so that on Linux no other thread
// takes those signals.
void on_exit_request(std::function<void()> handler);

// Opens a URL, file or folder with the desktop's default handler.
bool shell_open(const std::string& target);

// A child process started by us, owned until destroyed (the child keeps running).
class ChildProcess {
public:
    virtual ~ChildProcess() = default;
    virtual bool running() = 0;
    virtual std::uint32_t pid() const = 0;
    // Ends the child with every process it started, and waits until it is gone.
    virtual void end_tree() = 0;
};

// Variables set in a child's environment on top of ours.
using Environment = std::vector<std::pair<std::string, std::string>>;

// What is started. A browser (Chromium, its profile named by --user-data-dir=) never gets
// our administrator rights: elevated on Windows, we start it with the logged-on user's own
// rights, or where that can't be, with its profile moved to a folder only the
// administrators can write, so nothing the user's programs plant there runs elevated.
enum class ChildKind { program, browser };

// Starts a program detached from us, without a console window, inheriting none of our
// handles or descriptors. On failure returns null and puts the OS's reason in *error.
std::unique_ptr<ChildProcess> start_process(const std::string& program,
                                            const std::vector<std::string>& args,
                                            const Environment& extra_env, std::string* error,
                                            ChildKind kind = ChildKind::program);

// Removes the browser profiles an elevated run kept where only administrators can write
// (nothing on Linux, where there are none). A link found inside is removed, never followed.
// False, with the reason in *problem, when some of it stays (not elevated, say).
bool remove_admin_profiles(std::string* problem);

struct RunResult {
    bool started = false;
    int exit_code = -1;
    std::string output;
};
// Runs a program without a console window and inheriting nothing but its output pipe,
// collects its output and waits for it.
RunResult run_hidden(const std::string& program, const std::vector<std::string>& args);

} // namespace kelvora::platform

namespace kelvora::platform {
// Where per-user application data lives when LOCALAPPDATA is not set: the XDG data home
// on Linux; nothing on Windows (the program then uses the current directory).
std::optional<std::string> user_data_home();
} // namespace kelvora::platform
