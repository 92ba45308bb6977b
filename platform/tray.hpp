#pragma once
// The notification-area icon with its menu and balloons.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kelvora::platform {

// One size of the icon's picture: size x size pixels, row by row, each 0xAARRGGBB.
struct TrayPicture {
    int size = 0;
    std::vector<std::uint32_t> argb;
};

struct TrayActions {
    std::function<void()> open; // the icon, a balloon or "Abrir Kelvora"
    std::function<void()> quit; // "Salir"
    // The icon drawn by the program, for trays that take pixels (Linux); Windows takes the
    // icon group of the executable's resources instead.
    std::vector<TrayPicture> pictures;
};

// Runs the tray icon's message loop on the calling thread until the process ends.
// Returns false at once when the desktop has no place for tray icons.
bool run_tray(const TrayActions& actions);
void tray_notify(const std::string& title, const std::string& text);
// Removes the icon; only the first call acts.
void tray_remove();

} // namespace kelvora::platform
