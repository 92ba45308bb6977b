#pragma once
// freedesktop.org desktop entries: the launcher files of application menus, desktops and
// autostart. Plain text building, tested apart from the files it ends up in.
#include <optional>
#include <string>
#include <vector>

namespace kelvora::platform::linux_desktop {

// One argument of an Exec key, quoted by the Desktop Entry rules ("`$\ escaped inside
// double quotes, % doubled) and then escaped as a key-file string (\ doubled). Nothing
// for text no desktop entry can hold (a control character, invalid UTF-8).
std::optional<std::string> exec_argument(const std::string& arg);

struct Entry {
    std::string program; // full path
    std::vector<std::string> args;
    std::string folder; // working directory; empty for none
    std::string description;
    bool autostart = false; // adds what session managers read
};
// The whole file; nothing when a path can't be written into one.
std::optional<std::string> desktop_entry(const Entry& e);

// The Desktop folder as xdg-user-dir DESKTOP gives it: XDG_DESKTOP_DIR of user-dirs.dirs
// ("$HOME/..." or an absolute path), else $HOME/Desktop. Nothing when the user turned the
// Desktop off (xdg-user-dirs then points it at $HOME itself).
std::optional<std::string> desktop_folder(const std::string& user_dirs_text,
                                          const std::string& home);

} // namespace kelvora::platform::linux_desktop
