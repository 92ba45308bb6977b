#pragma once
// What an installer would do for the program, and undo: shortcuts, start with the user's
// session, and the removal of the program file. Windows uses the registry, the shell's
// shortcut and the Task Scheduler's COM interfaces, and cmd from System32 only to delete
// the running program's file; Linux writes and deletes freedesktop.org desktop entries.
#include <cstdint>
#include <optional>
#include <string>

namespace kelvora::platform {

struct ShortcutTarget {
    std::string program;     // the program file, full path
    std::string folder;      // its folder; empty when it has none
    std::string description; // "Kelvora · soporte remoto"
    std::string icon_svg;    // the logo, for desktops that take icons from files
};

// Shortcuts on the Desktop and in the menu of programs, overwriting earlier ones; true
// when every one was made.
bool create_shortcuts(const ShortcutTarget& target);
// Removes those shortcuts (and their icon) where present.
void remove_shortcuts();

enum class AutostartOn {
    complete,             // with everything a start by hand would have
    without_admin_rights, // Windows without administrator rights: the Run value only
    // Windows with administrator rights, but the program's folder or file can be changed
    // by the user's own programs: the Run value only, never the logon task with the
    // highest rights, which would run whatever was put there.
    without_admin_rights_folder_writable,
    failed,
};
// Starts program with --startup whenever the user signs in.
AutostartOn enable_autostart(const std::string& program);
// Removes every form of it; true when none is left.
bool disable_autostart();
bool autostart_enabled();

// The uninstaller an installer left beside the program, when there is one.
std::optional<std::string> installer_uninstaller(const std::string& program);
// Ends another process at once, without asking it.
void kill_process(std::uint32_t pid);
// Deletes the program file once this process has ended: Windows keeps a running program's
// file, so a detached cmd deletes it two seconds later; Linux lets it go at once.
bool remove_program_file(const std::string& program);

} // namespace kelvora::platform
