#include "platform/program_file.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

extern char** environ;

namespace kelvora::platform {

namespace {

// A rename lasts through a power cut only once its folder is on the disk.
void sync_folder(const std::filesystem::path& file) {
    const int dir = open(file.parent_path().empty() ? "." : file.parent_path().c_str(),
                         O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    fsync(dir);
    close(dir);
}

} // namespace

std::optional<std::string> move_file(const std::filesystem::path& from,
                                     const std::filesystem::path& to) {
    if (rename(from.c_str(), to.c_str()) != 0) return std::string(std::strerror(errno));
    return std::nullopt;
}

std::optional<std::string> keep_previous(const std::filesystem::path& exe,
                                         const std::filesystem::path& old) {
    if (link(exe.c_str(), old.c_str()) != 0) return std::string(std::strerror(errno));
    return std::nullopt;
}

namespace {

std::string error_text(int e) {
    return std::strerror(e);
}

class LinuxStagedFile final : public StagedFile {
public:
    LinuxStagedFile(std::filesystem::path path, int fd) : path_(std::move(path)), fd_(fd) {}
    ~LinuxStagedFile() override {
        if (fd_ < 0) return;
        // Only our own file goes: whatever else now carries the name stays.
        if (!placed_ && is_at(path_)) unlink(path_.c_str());
        close(fd_);
    }

    std::optional<std::string> write(std::string_view bytes) override {
        while (!bytes.empty()) {
            const ssize_t w = ::write(fd_, bytes.data(), bytes.size());
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) return error_text(errno);
            bytes.remove_prefix(static_cast<std::size_t>(w));
        }
        return std::nullopt;
    }

    std::optional<std::string> seal(const std::filesystem::path& mode_of) override {
        struct stat st {};
        const mode_t mode = stat(mode_of.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0755;
        if (fchmod(fd_, mode) != 0) return error_text(errno);
        // A file open for writing can't be run ("text file busy"): hold it read-only.
        const int ro = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (ro < 0) return error_text(errno);
        struct stat a {}, b {};
        if (fstat(ro, &a) != 0 || fstat(fd_, &b) != 0 || a.st_dev != b.st_dev ||
            a.st_ino != b.st_ino) {
            close(ro);
            return error_text(EEXIST);
        }
        close(fd_);
        fd_ = ro;
        return std::nullopt;
    }

    bool read(const std::function<void(std::string_view)>& sink) override {
        std::vector<char> buf(1 << 20);
        for (off_t at = 0;;) {
            const ssize_t n = pread(fd_, buf.data(), buf.size(), at);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (n == 0) return true;
            sink(std::string_view(buf.data(), static_cast<std::size_t>(n)));
            at += n;
        }
    }

    bool is_at(const std::filesystem::path& path) override {
        struct stat a {}, b {};
        return fstat(fd_, &a) == 0 && lstat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
               a.st_ino == b.st_ino;
    }

    std::optional<std::string> put_at(const std::filesystem::path& to) override {
        if (fsync(fd_) != 0) return error_text(errno);
        if (!is_at(path_)) return error_text(ENOENT);
        if (rename(path_.c_str(), to.c_str()) != 0) return error_text(errno);
        placed_ = true;
        sync_folder(to);
        return std::nullopt;
    }

    void release() override {
        placed_ = true;
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    std::filesystem::path path_;
    int fd_;
    bool placed_ = false;
};

} // namespace

std::unique_ptr<StagedFile> create_staged_file(const std::filesystem::path& path,
                                               std::string* error) {
    // Nobody's to run until sealed: the bytes may arrive before they are known good.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (error) *error = error_text(errno);
        return nullptr;
    }
    return std::make_unique<LinuxStagedFile>(path, fd);
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

    // The child's exit wakes the wait below at once (a process file descriptor); without
    // one (a kernel before 5.3) the wait looks again every few milliseconds.
    const int exit_fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    // Reads what is there: true while the output is open.
    auto drain = [&] {
        char buf[4096];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0) return errno == EINTR || errno == EAGAIN;
        if (n == 0) return false;
        if (result.output.size() < max_output)
            result.output.append(
                buf, std::min(static_cast<std::size_t>(n), max_output - result.output.size()));
        return true;
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
            pollfd p[2] = {{output_open ? fds[0] : -1, POLLIN, 0}, {exit_fd, POLLIN, 0}};
            const int r = poll(p, 2, exit_fd < 0 ? std::min(left, 5) : left);
            if (r < 0 && errno != EINTR) break;
            if (r <= 0) {
                if (exit_fd < 0 && waitpid(pid, &status, WNOHANG) == pid) {
                    result.ended = true;
                    break;
                }
                continue;
            }
            if (p[0].revents != 0 && !drain()) output_open = false;
            if (p[1].revents != 0) break;
        }
        if (result.ended) break;
    }
    if (exit_fd >= 0) close(exit_fd);
    if (!result.ended) {
        kill(pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    // What is still in the pipe; a grandchild holding it open gets a short wait only.
    for (pollfd p{fds[0], POLLIN, 0}; output_open && poll(&p, 1, 100) > 0;)
        output_open = drain();
    close(fds[0]);
    return result;
}

void record_installed_version(const std::string&) {}

} // namespace kelvora::platform
