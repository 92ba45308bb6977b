#pragma once
// What the rest of the program asks of the desktop services.
#include <cstddef>
#include <filesystem>

#include "app/json_file.hpp"

namespace kelvora::desktop {

// The monitor list, primary first, then by x, then by y.
json monitor_list();
// Where the marker of changed screen modes lives: set once, first thing at start-up.
void set_resolution_file(const std::filesystem::path& data_dir);
// Puts back every screen mode that this program changed (also those a crashed run left).
void restore_resolutions();
// Lets go of every key and button that remote input holds down.
void release_held_input();
// Ends the capture window, if one is open.
void close_capture_window();

} // namespace kelvora::desktop
