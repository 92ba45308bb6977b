#include "platform/process.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>
#include <thread>

extern char** environ;

namespace kelvora::platform {

std::uint32_t current_pid() {
    return static_cast<std::uint32_t>(getpid());
}

std::string executable_path() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    std::string path(buf, static_cast<std::size_t>(n));
    // Once the file we started from has been replaced (an update, or a way back), the
    // kernel names it "<path> (deleted)"; the program's path is still <path>.
    constexpr std::string_view gone = " (deleted)";
    if (path.size() > gone.size() && path.ends_with(gone)) path.resize(path.size() - gone.size());
    return path;
}

bool is_admin() {
    return geteuid() == 0;
}

void declare_dpi_awareness() {}

std::optional<std::string> env(const char* name) {
    const char* v = std::getenv(name);
    if (!v) return std::nullopt;
    return std::string(v);
}

// A relative XDG_DATA_HOME or HOME is invalid (the XDG rule) and would put the data below
// whatever the current directory happens to be.
std::optional<std::string> user_data_home() {
    if (auto xdg = env("XDG_DATA_HOME"); xdg && xdg->starts_with("/")) return xdg;
    if (auto home = env("HOME"); home && home->starts_with("/")) return *home + "/.local/share";
    return std::nullopt;
}

bool wait_for_process_exit(std::uint32_t pid, int timeout_ms) {
    if (pid == 0 || (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) return false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// Linux has no consent prompt to raise rights with; the program runs as it was started.
Elevation relaunch_elevated(const std::string&, const std::string&) {
    return Elevation::never;
}

void exit_process(int code) {
    _exit(code);
}

namespace {

std::vector<char*> argv_of(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

class PosixChild : public ChildProcess {
public:
    explicit PosixChild(pid_t pid) : pid_(pid) {}
    // The child lives on; whoever waits for it when it ends must be us, or it stays a
    // zombie for as long as we run.
    ~PosixChild() override {
        if (exited_) return;
        try {
            std::thread([pid = pid_] {
                while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
                }
            }).detach();
        } catch (const std::system_error&) {
        }
    }
    bool running() override {
        if (exited_) return false;
        int status;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == 0) return true;
        exited_ = true;
        return false;
    }
    std::uint32_t pid() const override { return static_cast<std::uint32_t>(pid_); }
    // The child leads a session of its own (see start_process), which every process it
    // starts joins unless it leaves on purpose: the group and then the session are killed,
    // the latter found through /proc for those that made a group of their own.
    void end_tree() override {
        if (exited_) return;
        kill(-pid_, SIGKILL);
        kill_session(pid_);
        for (int i = 0; i < 100 && running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

private:
    static void kill_session(pid_t sid) {
        DIR* proc = opendir("/proc");
        if (!proc) return;
        while (dirent* e = readdir(proc)) {
            char* end = nullptr;
            const long pid = std::strtol(e->d_name, &end, 10);
            if (pid <= 0 || *end) continue;
            if (getsid(static_cast<pid_t>(pid)) == sid) kill(static_cast<pid_t>(pid), SIGKILL);
        }
        closedir(proc);
    }

    pid_t pid_;
    bool exited_ = false;
};

struct SpawnActions {
    posix_spawn_file_actions_t a;
    SpawnActions() { posix_spawn_file_actions_init(&a); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&a); }
};

// What a child must not get from us: our descriptors (the listening socket, open
// connections, X and bus connections; a browser holding them would keep the port and
// the connections alive after we end), our blocked signals and our signal handlers.
struct SpawnAttr {
    posix_spawnattr_t a;
    explicit SpawnAttr(short extra_flags = 0) {
        posix_spawnattr_init(&a);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&a, &none);
        posix_spawnattr_setsigdefault(&a, &all);
        posix_spawnattr_setflags(
            &a, static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | extra_flags));
    }
    ~SpawnAttr() { posix_spawnattr_destroy(&a); }
};

void close_the_rest(SpawnActions& actions) {
    posix_spawn_file_actions_addclosefrom_np(&actions.a, 3);
}

// Our environment with the extra variables set.
std::vector<std::string> environment_with(const Environment& extra) {
    std::vector<std::string> out;
    for (char** e = environ; *e; ++e) {
        const std::string_view entry(*e);
        const auto name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& [n, v] : extra)
            replaced = replaced || name == n;
        if (!replaced) out.emplace_back(entry);
    }
    for (const auto& [n, v] : extra)
        out.push_back(n + "=" + v);
    return out;
}

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

} // namespace

// Linux never raises our rights: a browser starts like any other program.
bool remove_admin_profiles(std::string*) { return true; }

std::unique_ptr<ChildProcess> start_process(const std::string& program,
                                            const std::vector<std::string>& args,
                                            const Environment& extra_env, std::string* error,
                                            ChildKind) {
    SpawnActions actions;
    // The child's chatter doesn't belong in our terminal or log.
    posix_spawn_file_actions_addopen(&actions.a, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions.a, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions.a, 2, "/dev/null", O_WRONLY, 0);
    close_the_rest(actions);
    // Its own session, so that ending this program doesn't take the child with it.
    SpawnAttr attr(POSIX_SPAWN_SETSID);
    auto argv = argv_of(program, args);
    auto env = environment_with(extra_env);
    auto envp = pointers_to(env);
    pid_t pid;
    const int rc =
        posix_spawnp(&pid, program.c_str(), &actions.a, &attr.a, argv.data(), envp.data());
    if (rc != 0) {
        if (error) *error = "posix_spawnp: " + std::string(std::strerror(rc));
        return nullptr;
    }
    return std::make_unique<PosixChild>(pid);
}

RunResult run_hidden(const std::string& program, const std::vector<std::string>& args) {
    RunResult result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return result;
    SpawnActions actions;
    posix_spawn_file_actions_addopen(&actions.a, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions.a, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions.a, fds[1], 2);
    close_the_rest(actions);
    SpawnAttr attr;
    auto argv = argv_of(program, args);
    pid_t pid;
    const int rc = posix_spawnp(&pid, program.c_str(), &actions.a, &attr.a, argv.data(), environ);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return result;
    }
    result.started = true;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) result.output.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool shell_open(const std::string& target) {
    const auto r = run_hidden("xdg-open", {target});
    return r.started && r.exit_code == 0;
}

} // namespace kelvora::platform
