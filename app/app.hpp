#pragma once
// The composition root: every object of one run, built once from the data directory and
// handed to whoever needs it, and the two ways the program ends.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/app_window.hpp"
#include "app/settings.hpp"
#include "base/log.hpp"
#include "desktop/desktop.hpp"
#include "http/control_gate.hpp"
#include "http/router.hpp"
#include "records/activity.hpp"
#include "records/identity.hpp"
#include "records/recents.hpp"
#include "transfer/file_sink.hpp"
#include "update/updater.hpp"

namespace kelvora {

class App {
public:
    // Loads the settings and the identity (making a new one when needed) and fills the
    // router; nothing is served yet. trust is the version and update key this build
    // answers to; window_flags the --no-window and --no-tray it was started with, in order,
    // for the new version after an update.
    App(std::filesystem::path data_dir, update::Trust trust, std::vector<std::string> window_flags);

    const std::filesystem::path& data_dir() const { return data_dir_; }
    const Log& log() const { return log_; }
    SettingsStore& settings() { return settings_; }
    desktop::Desktop& desktop() { return desktop_; }
    records::IdentityStore& identity() { return identity_; }
    records::RecentList& recents() { return recents_; }
    records::Activity& activity() { return activity_; }
    AppWindow& window() { return window_; }
    update::Updater& updater() { return updater_; }
    const http::Router& router() const { return router_; }

    // The port the local server bound; 0 until then.
    std::uint16_t port() const { return port_.load(); }
    void set_port(std::uint16_t port);

    // The state record of /api/estado.
    json state_record();

    // Ends the program from the API, the tray, the window watch or the OS's request: ends
    // the sessions, puts the desktop back, closes the app window and the tray icon,
    // removes instancia.json and exits with code 0 without joining threads. Only the
    // first call acts; a second one waits for it.
    [[noreturn]] void orderly_exit();
    // Ends the program once its new version runs; the app window stays for the new version.
    [[noreturn]] void update_exit();

private:
    // Only the first caller goes on: logs the line and ends every session.
    void begin_exit(const char* line);
    void remove_instance_file();

    std::filesystem::path data_dir_;
    Log log_;
    SettingsStore settings_;
    desktop::Desktop desktop_;
    records::IdentityStore identity_;
    records::RecentList recents_;
    records::Activity activity_;
    http::ControlGate gate_;
    AppWindow window_;
    update::UpdateState update_state_;
    update::Updater updater_;
    std::atomic<std::uint16_t> port_{0};
    std::atomic<bool> exiting_{false};
    transfer::FileSink files_;
    http::Router router_;
};

} // namespace kelvora
