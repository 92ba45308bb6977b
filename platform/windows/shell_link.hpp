#pragma once
// Shell shortcut files (.lnk) written and read through IShellLinkW, the shell's own format,
// with no PowerShell or script host in between.
// Included only by backend files.
#include <filesystem>
#include <optional>
#include <string>

namespace kelvora::platform::win {

struct ShellLink {
    std::wstring target;      // the program, full path
    std::wstring folder;      // where it starts
    std::wstring description; // the tooltip
    std::wstring icon;        // the file holding the icon; its first icon is used
};

// Writes link to file, replacing what was there; false (after a log line) on failure.
bool write_shell_link(const std::filesystem::path& file, const ShellLink& link);
// What a shortcut file holds; nothing when it can't be read.
std::optional<ShellLink> read_shell_link(const std::filesystem::path& file);

} // namespace kelvora::platform::win
