#include "platform/downloads.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/process.hpp"
#include "platform/program_file.hpp"
#include "platform/report.hpp"
#include "platform/shell.hpp"

namespace kelvora::platform {

namespace {

void report_errno(const char* call, const std::filesystem::path& about, int err) {
    report("[ARCHIVOS] " + std::string(call) + " " + about.string() + " falló: " +
           std::strerror(err) + " (" + std::to_string(err) + ")");
}

FileFault fault_of(int err) {
    switch (err) {
    case EEXIST: return FileFault::exists;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return FileFault::no_space;
    case EACCES:
    case EPERM:
    case EROFS: return FileFault::denied;
    case ENOENT:
    case ENOTDIR: return FileFault::missing;
    default: return FileFault::other;
    }
}

class PosixFile : public OutputFile {
public:
    PosixFile(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}
    ~PosixFile() override {
        if (fd_ >= 0) ::close(fd_);
    }
    FileFault append(std::string_view data) override {
        if (fd_ < 0) return FileFault::other;
        while (!data.empty()) {
            const ssize_t n = ::write(fd_, data.data(), data.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                const int err = errno;
                report_errno("write", path_, err);
                return fault_of(err);
            }
            data.remove_prefix(static_cast<std::size_t>(n));
        }
        return FileFault::none;
    }
    FileFault close() override {
        if (fd_ < 0) return FileFault::none;
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0 && errno != EINTR) {
            const int err = errno;
            report_errno("close", path_, err);
            return fault_of(err);
        }
        return FileFault::none;
    }

private:
    int fd_;
    std::filesystem::path path_;
};

} // namespace

std::optional<std::filesystem::path> downloads_folder() {
    const auto home = env("HOME");
    // xdg-user-dir answers the home folder itself when no downloads folder is configured;
    // files then go to ~/Downloads, as browsers do.
    const auto tool = find_on_path("xdg-user-dir");
    const auto r = tool ? run_bounded(*tool, {"DOWNLOAD"}, 30, 100, 4096) : BoundedRun{};
    if (r.ended) {
        std::string out = r.output;
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
        const std::filesystem::path dir(out);
        if (dir.is_absolute() && (!home || dir.lexically_normal() !=
                                               std::filesystem::path(*home).lexically_normal()))
            return dir;
    }
    if (!home || home->empty() || (*home)[0] != '/') return std::nullopt;
    return std::filesystem::path(*home) / "Downloads";
}

CreatedFile create_new_file(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        const int err = errno;
        if (err != EEXIST) report_errno("open", path, err);
        return {nullptr, fault_of(err)};
    }
    return {std::make_unique<PosixFile>(fd, path), FileFault::none};
}

FileFault rename_if_free(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return FileFault::none;
    int err = errno;
    // Some file systems (FAT, some network ones) lack the no-replace rename; a hard link
    // refuses a taken name just as well where links exist.
    if (err == EINVAL || err == ENOSYS) {
        if (::link(from.c_str(), to.c_str()) == 0) {
            ::unlink(from.c_str());
            return FileFault::none;
        }
        err = errno;
    }
    if (err != EEXIST) report_errno("rename", to, err);
    return fault_of(err);
}

} // namespace kelvora::platform
