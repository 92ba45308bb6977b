#include "platform/system.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/report.hpp"

namespace kelvora::platform {

namespace {

void report_errno(const char* call, const std::filesystem::path& about, int err) {
    report("[SISTEMA] " + std::string(call) + " " + about.string() +
           " falló: " + std::strerror(err) + " (" + std::to_string(err) + ")");
}

// An open descriptor, closed on every path.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

} // namespace

bool random_bytes(void* buf, std::size_t n) {
    auto* p = static_cast<unsigned char*>(buf);
    while (n > 0) {
        const ssize_t got = getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

std::optional<LocalTime> local_time() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    if (now == static_cast<std::time_t>(-1) || !localtime_r(&now, &tm)) return std::nullopt;
    return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                     tm.tm_hour,        tm.tm_min,     tm.tm_sec};
}

bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    report_errno("rename", to, errno);
    return false;
}

bool write_file_durably(const std::filesystem::path& file, std::string_view data) {
    Fd f{open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)};
    if (f.fd < 0) {
        report_errno("open", file, errno);
        return false;
    }
    // A file made by an older run, or by hand, may have wider permissions.
    fchmod(f.fd, 0600);
    if (!write_all(f.fd, data)) {
        report_errno("write", file, errno);
        return false;
    }
    // Renamed over the old file only once the new content survives a power cut.
    if (fsync(f.fd) != 0) {
        report_errno("fsync", file, errno);
        return false;
    }
    const int fd = f.fd;
    f.fd = -1;
    return close(fd) == 0;
}

bool append_to_file(const std::filesystem::path& file, std::string_view data) {
    Fd f{open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600)};
    return f.fd >= 0 && write_all(f.fd, data);
}

bool make_private_directory(const std::filesystem::path& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (chmod(dir.c_str(), 0700) != 0) {
        report_errno("chmod", dir, errno);
        return false;
    }
    // Files left by runs that still had the default umask.
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (entry.is_regular_file(ec) && !entry.is_symlink(ec)) chmod(entry.path().c_str(), 0600);
    return true;
}

Os host_os() {
    return Os::linux_x11;
}

std::optional<std::string> computer_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return std::nullopt;
    return std::string(name);
}

} // namespace kelvora::platform
