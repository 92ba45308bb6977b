#include "records/activity.hpp"

#include "base/log.hpp"
#include "http/fields.hpp"

namespace kelvora::records {

Activity::Activity(std::filesystem::path dir, DesktopHooks desktop, SessionRegistry::Clock now)
    : dir_(std::move(dir)), desktop_(std::move(desktop)), registry_(std::move(now)),
      history_(dir_) {}

// Runs after the registry's lock is gone: file writes and the desktop calls may be slow,
// and the control gate must keep answering meanwhile.
void Activity::apply(const RegistryChange& change) {
    if (!change.ended.empty()) {
        const std::string fecha = time_stamp_now();
        for (const auto& e : change.ended)
            history_.append(history_line(e, fecha));
    }
    for (const auto& line : change.log)
        write_log_to(dir_, line);
    if (change.release_input || change.last_host_ended) desktop_.release_held_input();
    if (change.last_host_ended) {
        desktop_.restore_resolutions();
        desktop_.close_capture_window();
    }
}

json Activity::session(const json& body) {
    apply(registry_.report(session_report(body)));
    return http::ok_reply();
}

json Activity::call(const json& body) {
    if (auto line = registry_.report_call(call_key(body), http::flag_field(body, "activa"),
                                          http::text_field(body, "con")))
        write_log_to(dir_, *line);
    return http::ok_reply();
}

bool Activity::end_all() {
    const RegistryChange change = registry_.end_all();
    apply(change);
    for (const auto& e : change.ended)
        if (e.session.role == "host") return true;
    return false;
}

void Activity::add_state_fields(json& state) const {
    registry_.add_state_fields(state);
    state["sesiones"] = history_.newest();
}

} // namespace kelvora::records
