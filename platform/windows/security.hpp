#pragma once
// Files and folders only the administrators and the system can change. Included only by
// backend files: it brings in <windows.h>.
#include <filesystem>
#include <optional>
#include <string>

#include "platform/access_list.hpp"
#include "platform/windows/handle.hpp"

namespace kelvora::platform::win {

// The owner and access list of a file or folder, as the rule of access_list.hpp reads
// them; nothing when they can't be read.
std::optional<ObjectAccess> object_access(const std::filesystem::path& path);

// base\<each of levels>, made or checked level by level: a missing folder is created with
// only the administrators and the system allowed in (not even reading for anyone else),
// an existing one must already be so, a real folder and not a link elsewhere. base itself
// is the system's. The folder, or nothing with the reason in *problem.
std::optional<std::filesystem::path> admin_only_folder(const std::filesystem::path& base,
                                                       const std::vector<std::wstring>& levels,
                                                       std::string* problem);

} // namespace kelvora::platform::win
