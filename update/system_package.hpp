#pragma once
// Whether the running program belongs to the system's package manager, which then owns its
// updates: replacing a file that dpkg or rpm installed would leave the package database
// lying about what is on the disk, and the next upgrade would overwrite it anyway.
#include <filesystem>

#include "platform/system.hpp"

namespace kelvora::update {

// Linux distributions keep what their packages install under /usr, and leave /usr/local
// to the administrator's own copies. Windows has no such folder: a copy there updates itself.
bool managed_by_system(const std::filesystem::path& program, platform::Os os);

} // namespace kelvora::update
