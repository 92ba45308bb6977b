#pragma once
// The notification-area icon with its menu and balloons.
#include <functional>
#include <string>

namespace kelvora::platform {

struct TrayActions {
    std::function<void()> open; // the icon, a balloon or "Abrir Kelvora"
    std::function<void()> quit; // "Salir"
};

// Runs the tray icon's message loop on the calling thread until the process ends.
// Returns false at once when the desktop has no place for tray icons.
bool run_tray(const TrayActions& actions);
void tray_notify(const std::string& title, const std::string& text);
// Removes the icon; only the first call acts.
void tray_remove();

} // namespace kelvora::platform
