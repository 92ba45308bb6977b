#include "platform/program_file.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace kelvora::platform {

std::optional<std::string> move_file(const std::filesystem::path& from,
                                     const std::filesystem::path& to) {
    if (rename(from.c_str(), to.c_str()) != 0) return std::string(std::strerror(errno));
    return std::nullopt;
}

std::optional<std::string> copy_program_file(const std::filesystem::path& from,
                                             const std::filesystem::path& to,
                                             const std::filesystem::path& mode_of) {
    struct stat st {};
    const mode_t mode = stat(mode_of.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0755;
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return std::string(std::strerror(errno));
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        const int e = errno;
        close(in);
        return std::string(std::strerror(e));
    }
    int failure = 0;
    char buf[65536];
    for (;;) {
        const ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failure = errno;
        if (n <= 0) break;
        for (ssize_t done = 0; done < n && !failure;) {
            const ssize_t w = write(out, buf + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno != EINTR) failure = errno;
            if (w > 0) done += w;
        }
        if (failure) break;
    }
    if (!failure && fchmod(out, mode) != 0) failure = errno;
    if (!failure && fsync(out) != 0) failure = errno;
    close(in);
    if (close(out) != 0 && !failure) failure = errno;
    if (failure) return std::string(std::strerror(failure));
    return std::nullopt;
}

BoundedRun run_bounded(const std::string& program, const std::vector<std::string>& args, int tries,
                       int interval_ms, std::size_t max_output) {
    BoundedRun result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        result.error = std::strerror(errno);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        result.error = std::strerror(rc);
        return result;
    }
    result.started = true;

    // 1: read something; 0: nothing came within wait_ms; -1: the output has ended.
    auto drain = [&](int wait_ms) {
        pollfd p{fds[0], POLLIN, 0};
        const int r = poll(&p, 1, wait_ms);
        if (r == 0) return 0;
        if (r < 0) return errno == EINTR ? 1 : -1;
        char buf[4096];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) return 1;
        if (n <= 0) return -1;
        if (result.output.size() < max_output)
            result.output.append(
                buf, std::min(static_cast<std::size_t>(n), max_output - result.output.size()));
        return 1;
    };
    bool output_open = true;
    int status = 0;
    for (int i = 0;; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            result.ended = true;
            break;
        }
        if (i == tries) break;
        // Read while waiting, so a child that writes more than a pipe holds isn't stuck.
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(interval_ms);
        for (auto now = std::chrono::steady_clock::now(); now < until;
             now = std::chrono::steady_clock::now()) {
            const int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count());
            if (output_open && drain(left) < 0) output_open = false;
            if (!output_open) poll(nullptr, 0, left);
        }
    }
    if (!result.ended) {
        kill(pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    // What is still in the pipe; a grandchild holding it open gets a short wait only.
    while (output_open && drain(100) > 0) {
    }
    close(fds[0]);
    return result;
}

void record_installed_version(const std::string&) {}

} // namespace kelvora::platform
