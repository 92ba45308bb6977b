#pragma once
// The session registry together with what its changes set off: log lines, history lines,
// and giving the desktop back when this PC stops being controlled.
#include <filesystem>
#include <functional>

#include "base/json_file.hpp"
#include "records/history.hpp"
#include "records/registry.hpp"

namespace kelvora::records {

// What the desktop services must do when control ends.
struct DesktopHooks {
    std::function<void()> release_held_input;
    std::function<void()> restore_resolutions;
    std::function<void()> close_capture_window;
};

class Activity {
public:
    Activity(std::filesystem::path dir, DesktopHooks desktop,
             SessionRegistry::Clock now = system_seconds);

    // POST /api/sesion and /api/llamada.
    json session(const json& body);
    json call(const json& body);
    // Ends every session and call; true when one of the sessions had this PC as host.
    bool end_all();

    bool control_granted() const { return registry_.control_granted(); }
    bool busy() const { return registry_.busy(); }
    // sesion, llamada and sesiones of the state record.
    void add_state_fields(json& state) const;

private:
    void apply(const RegistryChange& change);

    std::filesystem::path dir_;
    DesktopHooks desktop_;
    SessionRegistry registry_;
    HistoryFile history_;
};

} // namespace kelvora::records
