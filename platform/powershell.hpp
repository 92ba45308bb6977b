#pragma once
// The PowerShell texts of the Windows shortcuts. Plain text building, kept apart from the
// backend so it is tested on every build.
#include <string>

namespace kelvora::platform {

// A PowerShell single-quoted literal: every ' inside doubled.
std::string powershell_quote(const std::string& text);

// Creates Kelvora.lnk in the Desktop and Start menu Programs folders.
std::string shortcut_script(const std::string& program, const std::string& folder,
                            const std::string& description);
// Removes them where present.
std::string remove_shortcuts_script();

} // namespace kelvora::platform
