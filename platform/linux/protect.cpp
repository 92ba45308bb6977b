#include "platform/protect.hpp"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/process.hpp"
#include "platform/report.hpp"

namespace kelvora::platform {

namespace {

// Linux has no DPAPI: a random key per user, kept outside the data directory, stands in
// for the account's secret. Copying the data directory to another account (or machine)
// without this file leaves the sealed password unreadable, as on Windows.
using Key = std::array<unsigned char, crypto_secretbox_KEYBYTES>;
constexpr const char* kKeyFile = "llave_usuario.bin";

void report_errno(const char* call, int code) {
    report("[ID] " + std::string(call) + " falló: " + std::strerror(code) + " (" +
           std::to_string(code) + ")");
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

std::optional<std::string> key_directory() {
    // A relative XDG_CONFIG_HOME is invalid and must be ignored.
    if (auto xdg = env("XDG_CONFIG_HOME"); xdg && xdg->starts_with("/")) return *xdg + "/kelvora";
    if (auto home = env("HOME"); home && !home->empty()) return *home + "/.config/kelvora";
    report("[ID] sin HOME ni XDG_CONFIG_HOME: no hay dónde guardar la llave");
    return std::nullopt;
}

bool make_directories(const std::string& dir) {
    for (std::size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        const std::string part = dir.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            report_errno("mkdir", errno);
            return false;
        }
        if (slash == std::string::npos) return true;
    }
}

bool read_exact(int fd, unsigned char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t got = ::read(fd, p, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    // One byte more means the file is not a key.
    unsigned char extra;
    return ::read(fd, &extra, 1) == 0;
}

bool write_all(int fd, const unsigned char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t put = ::write(fd, p, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        p += put;
        n -= static_cast<std::size_t>(put);
    }
    return true;
}

// 1: read; 0: no usable file there; -1: the file exists but can't be read.
int read_key(const std::string& file, Key& key) {
    Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) {
        if (errno == ENOENT) return 0;
        report_errno("open", errno);
        return -1;
    }
    return read_exact(fd.get(), key.data(), key.size()) ? 1 : 0;
}

// Writes a fresh key beside the final name and moves it into place in one step, so a
// reader never sees half a key. replace says whether a damaged file there may go.
bool create_key(const std::string& dir, const std::string& file, bool replace, Key& key) {
    randombytes_buf(key.data(), key.size());
    std::string tmp = dir + "/." + kKeyFile + ".XXXXXX";
    Fd fd(::mkstemp(tmp.data())); // mkstemp opens with mode 0600
    if (!fd) {
        report_errno("mkstemp", errno);
        return false;
    }
    bool ok = write_all(fd.get(), key.data(), key.size()) && ::fsync(fd.get()) == 0;
    if (!ok) report_errno("write", errno);
    // link() refuses an existing name: when two processes race to make the first key,
    // exactly one wins and the other reads the winner's key.
    if (ok && !replace && ::link(tmp.c_str(), file.c_str()) != 0) {
        ok = false;
        if (errno != EEXIST) report_errno("link", errno);
    }
    if (ok && replace && ::rename(tmp.c_str(), file.c_str()) != 0) {
        report_errno("rename", errno);
        ok = false;
    }
    ::unlink(tmp.c_str());
    return ok;
}

std::optional<Key> user_key() {
    if (sodium_init() < 0) {
        report("[ID] sodium_init falló");
        return std::nullopt;
    }
    const auto dir = key_directory();
    if (!dir || !make_directories(*dir)) return std::nullopt;
    const std::string file = *dir + "/" + kKeyFile;
    Key key;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int got = read_key(file, key);
        if (got == 1) return key;
        if (got < 0) return std::nullopt;
        struct stat st;
        const bool damaged = ::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode);
        if (create_key(*dir, file, damaged, key)) return key;
        // Lost the race for the first key: read the one that won.
    }
    return std::nullopt;
}

} // namespace

std::optional<Blob> protect_for_user(std::string_view clear) {
    const auto key = user_key();
    if (!key) return std::nullopt;
    Blob out(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES + clear.size());
    unsigned char* nonce = out.data();
    randombytes_buf(nonce, crypto_secretbox_NONCEBYTES);
    crypto_secretbox_easy(out.data() + crypto_secretbox_NONCEBYTES,
                          reinterpret_cast<const unsigned char*>(clear.data()), clear.size(), nonce,
                          key->data());
    return out;
}

std::optional<std::string> unprotect_for_user(const Blob& sealed) {
    constexpr std::size_t head = crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES;
    if (sealed.size() < head) return std::nullopt;
    const auto key = user_key();
    if (!key) return std::nullopt;
    std::string clear(sealed.size() - head, '\0');
    if (crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(clear.data()),
                                   sealed.data() + crypto_secretbox_NONCEBYTES,
                                   sealed.size() - crypto_secretbox_NONCEBYTES, sealed.data(),
                                   key->data()) != 0)
        return std::nullopt;
    return clear;
}

void remove_user_key() {
    if (auto dir = key_directory()) {
        std::error_code ec;
        std::filesystem::remove_all(*dir, ec);
        if (ec) report("[ID] no se pudo borrar " + *dir + ": " + ec.message());
    }
}

} // namespace kelvora::platform
