#pragma once
// Where Windows keeps its own programs and known folders. A system tool is always started by its
// full path in that folder: by bare name, Windows would first look in the program's own folder and
// the current directory, where anything can be planted.
// Included only by backend files.
#include <filesystem>
#include <optional>
#include <string>

#include <windows.h>

#include <shlobj.h>

namespace kelvora::platform::win {

// "<System32>\<relative>", UTF-8; empty when the system won't say where System32 is.
std::string system_tool(const wchar_t* relative);

// A folder the shell knows by id (FOLDERID_…); nothing, after a log line naming the call,
// when it won't say.
std::optional<std::filesystem::path> known_folder(REFKNOWNFOLDERID id, const char* name);

} // namespace kelvora::platform::win
