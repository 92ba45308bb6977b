#pragma once

namespace kelvora {

// Ends the program from the API, the tray or the window watch: ends the sessions, puts
// the desktop back, closes the app window and the tray icon, removes instancia.json and
// exits with code 0 without joining threads.
[[noreturn]] void orderly_exit();
// Ends the program once its new version runs; the app window stays for the new version.
[[noreturn]] void update_exit();

} // namespace kelvora
