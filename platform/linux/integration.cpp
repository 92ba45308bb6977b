#include "platform/integration.hpp"

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/linux/desktop_entry.hpp"
#include "platform/process.hpp"
#include "platform/report.hpp"
#include "platform/system.hpp"

namespace kelvora::platform {

namespace fs = std::filesystem;

namespace {

constexpr const char* kEntryName = "kelvora.desktop";
// The user-dirs file is a handful of lines; anything bigger isn't one.
constexpr std::uintmax_t kMaxUserDirs = 64 * 1024;

std::optional<std::string> home() {
    if (auto h = env("HOME"); h && h->starts_with("/")) return *h;
    return std::nullopt;
}

// An XDG base directory: the variable when it holds an absolute path (a relative one is
// invalid and ignored), else its default below HOME.
std::optional<fs::path> xdg_dir(const char* variable, const char* below_home) {
    if (auto v = env(variable); v && v->starts_with("/")) return fs::path(*v);
    if (auto h = home()) return fs::path(*h) / below_home;
    return std::nullopt;
}

std::optional<fs::path> applications_dir() {
    auto d = xdg_dir("XDG_DATA_HOME", ".local/share");
    return d ? std::optional(*d / "applications") : std::nullopt;
}

std::optional<fs::path> autostart_dir() {
    auto d = xdg_dir("XDG_CONFIG_HOME", ".config");
    return d ? std::optional(*d / "autostart") : std::nullopt;
}

std::optional<fs::path> icon_file() {
    auto d = xdg_dir("XDG_DATA_HOME", ".local/share");
    return d ? std::optional(*d / "icons/hicolor/scalable/apps/kelvora.svg") : std::nullopt;
}

std::optional<fs::path> desktop_dir() {
    auto h = home();
    if (!h) return std::nullopt;
    std::string text;
    if (auto config = xdg_dir("XDG_CONFIG_HOME", ".config")) {
        const fs::path file = *config / "user-dirs.dirs";
        std::error_code ec;
        if (fs::is_regular_file(file, ec) && fs::file_size(file, ec) <= kMaxUserDirs) {
            std::ifstream in(file);
            std::ostringstream ss;
            ss << in.rdbuf();
            text = ss.str();
        }
    }
    auto d = linux_desktop::desktop_folder(text, *h);
    return d ? std::optional(fs::path(*d)) : std::nullopt;
}

// Writes a launcher through a temporary file renamed over the old one, so a desktop
// watching the folder never reads half of it.
bool write_entry(const fs::path& file, const std::string& text, fs::perms mode) {
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    if (ec) {
        report("[ACCESOS] no se pudo crear " + file.parent_path().string() + ": " + ec.message());
        return false;
    }
    const fs::path tmp = file.string() + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) {
            report("[ACCESOS] no se pudo escribir " + tmp.string());
            fs::remove(tmp, ec);
            return false;
        }
    }
    fs::permissions(tmp, mode, ec);
    fs::rename(tmp, file, ec);
    if (ec) {
        report("[ACCESOS] no se pudo escribir " + file.string() + ": " + ec.message());
        fs::remove(tmp, ec);
        return false;
    }
    return true;
}

constexpr fs::perms kPlain =
    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read;
// File managers run a launcher on the Desktop only when it is executable (Nautilus also
// asks the user to trust it once).
constexpr fs::perms kLauncher =
    kPlain | fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;

void remove_file(const std::optional<fs::path>& file) {
    if (!file) return;
    std::error_code ec;
    fs::remove(*file, ec);
}

} // namespace

bool create_shortcuts(const ShortcutTarget& t) {
    auto text = linux_desktop::desktop_entry({t.program, {}, t.folder, t.description, false});
    if (!text) {
        report("[ACCESOS] la ruta del programa no cabe en un acceso directo: " + t.program);
        return false;
    }
    auto apps = applications_dir();
    auto icon = icon_file();
    if (!apps || !icon) {
        report("[ACCESOS] sin HOME ni XDG_DATA_HOME: no hay dónde poner los accesos");
        return false;
    }
    bool ok = write_entry(*icon, t.icon_svg, kPlain);
    ok = write_entry(*apps / kEntryName, *text, kPlain) && ok;
    if (auto desk = desktop_dir()) ok = write_entry(*desk / kEntryName, *text, kLauncher) && ok;
    return ok;
}

void remove_shortcuts() {
    if (auto apps = applications_dir()) remove_file(*apps / kEntryName);
    if (auto desk = desktop_dir()) remove_file(*desk / kEntryName);
    remove_file(icon_file());
}

AutostartOn enable_autostart(const std::string& program) {
    const auto folder = fs::path(program).parent_path().string();
    auto text = linux_desktop::desktop_entry(
        {program, {"--startup"}, folder, "Kelvora · soporte remoto", true});
    auto dir = autostart_dir();
    if (!text || !dir) return AutostartOn::failed;
    return write_entry(*dir / kEntryName, *text, kPlain) ? AutostartOn::complete
                                                         : AutostartOn::failed;
}

bool disable_autostart() {
    auto dir = autostart_dir();
    if (!dir) return true;
    std::error_code ec;
    fs::remove(*dir / kEntryName, ec);
    return !fs::exists(*dir / kEntryName, ec);
}

bool autostart_enabled() {
    auto dir = autostart_dir();
    std::error_code ec;
    return dir && fs::is_regular_file(*dir / kEntryName, ec);
}

// Linux programs come without an installer's uninstaller beside them; a package manager
// removes what it installed.
std::optional<std::string> installer_uninstaller(const std::string&) {
    return std::nullopt;
}

void kill_process(std::uint32_t pid) {
    if (pid == 0 || pid == current_pid()) return;
    if (::kill(static_cast<pid_t>(pid), SIGKILL) != 0)
        report("[APP] kill(" + std::to_string(pid) + ") falló: " + std::strerror(errno));
}

bool remove_program_file(const std::string& program) {
    std::error_code ec;
    fs::remove(program, ec);
    return !ec;
}

} // namespace kelvora::platform
