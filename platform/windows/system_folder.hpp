#pragma once
// Where Windows keeps its own programs. A system tool is always started by its full path
// in that folder: by bare name, Windows would first look in the program's own folder and
// the current directory, where anything can be planted.
// Included only by backend files.
#include <string>

namespace kelvora::platform::win {

// "<System32>\<relative>", UTF-8; empty when the system won't say where System32 is.
std::string system_tool(const wchar_t* relative);

} // namespace kelvora::platform::win
