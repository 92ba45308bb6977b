#pragma once
// The update checks (on demand, and automatic about once a day), the actions of the
// update screen, and the installation thread's download.
#include <atomic>
#include <functional>
#include <string>

#include "base/log.hpp"
#include "update/installer.hpp"
#include "update/update_state.hpp"

namespace kelvora::update {

struct UpdaterHooks {
    std::function<std::string()> channel_setting;   // general.canal_actualizaciones
    std::function<bool()> auto_on;                  // general.buscar_actualizaciones
    std::function<void(bool)> save_auto;            // saves that switch
    std::function<void(const std::string&)> notify; // the tray balloon
};

class Updater {
public:
    Updater(UpdateState& state, const Log& log, UpdaterHooks hooks, InstallHooks install);

    json status() const;
    // POST /api/update.
    json action(const json& body);
    // Runs a check on the calling thread, once the phase "checking" has been taken with
    // UpdateState::begin; manual checks end in "done" or "error".
    void check(bool manual);
    // The installation thread: download, then the installer; returns only on failure.
    void install();
    // First look after 12 s, then hourly; a check when the last is 20 hours old.
    void start_automatic_checks();

    UpdateState& state() { return state_; }

private:
    std::string channel() const;

    UpdateState& state_;
    const Log& log_;
    UpdaterHooks hooks_;
    Installer installer_;
    // The last write probe's answer; the folder is probed only when installing.
    std::atomic<bool> can_install_{true};
    // A copy the system's package manager installed: its updates come from there.
    const bool by_system_;
};

} // namespace kelvora::update
