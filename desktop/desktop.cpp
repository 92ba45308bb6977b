#include "desktop/desktop.hpp"

#include <thread>

#include "app/log.hpp"
#include "desktop/clipboard.hpp"
#include "desktop/held_input.hpp"
#include "desktop/input_request.hpp"
#include "desktop/monitors.hpp"
#include "desktop/resolution.hpp"
#include "http/fields.hpp"
#include "http/router.hpp"
#include "http/routes.hpp"
#include "records/records.hpp"

namespace kelvora::desktop {

namespace {

InputTarget system_input_target() {
    InputTarget t;
    for (const auto& m : in_list_order(platform::monitors()))
        t.monitors.push_back({m.x, m.y, m.w, m.h});
    t.screen = platform::virtual_screen();
    return t;
}

const InputPort& system_input() {
    static const InputPort port{
        system_input_target,
        [](std::span<const platform::InputRecord> recs) { return platform::send_input(recs); },
        [](std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); }};
    return port;
}

json set_resolution(const json& body) {
    if (!records::control_granted()) return http::refusal("control");
    json reply = resolutions().set(body);
    write_log("[RESOLUCION] " + to_compact(reply));
    return reply;
}

json read_clipboard_for(const json& body) {
    if (!http::flag_field(body, "propio") && !records::control_granted())
        return {{"ok", false}, {"texto", ""}};
    return read_clipboard(system_clipboard());
}

} // namespace

json monitor_list() {
    return monitors_json(in_list_order(platform::monitors()));
}

void set_resolution_file(const std::filesystem::path& data_dir) {
    resolutions().set_marker_file(data_dir / kMarkerFileName);
}

void restore_resolutions() {
    resolutions().restore_all();
}

void release_held_input() {
    release_all(held_input(), system_input());
}

// The capture window is not part of this build yet: there is nothing to close.
void close_capture_window() {}

void register_routes(http::Router& r) {
    r.view("/api/monitores", [](const http::ViewRequest&) { return monitor_list(); });
    r.post("/api/input", [](const json& body) {
        if (!records::control_granted()) return http::refusal("control");
        return inject_batch(body, held_input(), system_input());
    });
    r.post("/api/resolucion", [](const json& body) { return resolutions().read(body); });
    r.post("/api/resolucion/poner", set_resolution);
    r.post("/api/portapapeles/leer", read_clipboard_for);
    r.post("/api/portapapeles/poner", [](const json& body) {
        if (!records::control_granted()) return json{{"ok", false}};
        return json{{"ok", write_clipboard(system_clipboard(), http::text_field(body, "texto"))}};
    });
    r.post("/api/portapapeles/escribir_local", [](const json& body) {
        return json{{"ok", write_clipboard(system_clipboard(), http::text_field(body, "texto"))}};
    });
}

} // namespace kelvora::desktop
