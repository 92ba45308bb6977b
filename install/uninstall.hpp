#pragma once
// Removing the program from the PC: asked for from the settings screen, done by a second
// copy of the program started with --uninstall.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

#include "base/log.hpp"

namespace kelvora::install {

// Starts this program again with --uninstall --pid <our pid>; that copy asks the user
// and, when confirmed, ends us. False when it could not be started.
bool start_uninstall(const Log& log);

// What the uninstall needs from the rest of the program.
struct UninstallHooks {
    std::function<void()> close_app_window;
    std::function<void()> restore_resolutions;
};

// Asks, then removes the program's traces and the program itself. Every step after the
// confirmation runs whatever the one before returned; the user is told at the end.
void uninstall(const Log& log, const std::filesystem::path& data_dir,
               std::optional<std::uint32_t> pid_to_end, const UninstallHooks& hooks);

} // namespace kelvora::install
