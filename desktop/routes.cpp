// The endpoints of the desktop services. Whatever acts for the technician sits behind the
// control gate; reading the modes and the person's own clipboard does not.
#include "desktop/routes.hpp"

#include "http/fields.hpp"

namespace kelvora::desktop {

void register_routes(http::Router& r, Desktop& d, const http::ControlGate& gate) {
    r.view("/api/monitores", [&d](const http::ViewRequest&) { return d.monitor_list(); });
    r.post("/api/input", gate.guard([&d](const json& body) {
        return inject_batch(body, d.held_input(), d.input());
    }));
    r.post("/api/resolucion", [&d](const json& body) { return d.resolutions().read(body); });
    r.post("/api/resolucion/poner", gate.guard([&d](const json& body) {
        json reply = d.resolutions().set(body);
        d.forget_input_target();
        d.log().write("[RESOLUCION] " + to_compact(reply));
        return reply;
    }));
    r.post("/api/portapapeles/leer", [&d, &gate](const json& body) {
        if (!http::flag_field(body, "propio") && !gate.granted()) return http::control_refusal();
        return read_clipboard(d.clipboard());
    });
    r.post("/api/portapapeles/poner", gate.guard([&d](const json& body) {
        return json{{"ok", write_clipboard(d.clipboard(), http::text_field(body, "texto"))}};
    }));
    r.post("/api/captura", [&d](const json& body) { return d.capture_window().request(body); });
    r.post("/api/buzon/poner", [&d](const json& body) {
        return mailbox_put(d.mailbox(), body, d.capture_window().capture_box());
    });
    r.post("/api/buzon/leer", [&d](const json& body) { return mailbox_read(d.mailbox(), body); });
    // A capture window holds a ticket of its own, not the token: it opens the page once, then
    // lets that page read its own box and, while it shows its screen, write to the main
    // page; nothing else.
    r.guest_page("/captura", [&d](const std::string& ticket) { return d.capture_window().page(ticket); });
    r.guest_post("/api/buzon/poner", [&d](const std::string& ticket, const json& body) -> std::optional<json> {
        auto& w = d.capture_window();
        if (!w.box_of(ticket)) return std::nullopt;
        if (http::text_field(body, "a") != "main") return json{{"ok", false}};
        // A window waiting for its turn has nothing to tell the main page.
        if (!w.shows(ticket)) return http::ok_reply();
        return mailbox_put(d.mailbox(), body);
    });
    r.guest_post("/api/buzon/leer", [&d](const std::string& ticket, const json& body) -> std::optional<json> {
        const auto box = d.capture_window().box_of(ticket);
        if (!box) return std::nullopt;
        if (http::text_field(body, "de") != "cap") return json{{"ok", false}, {"m", json::array()}};
        return json{{"ok", true}, {"m", d.mailbox().take(*box, kReadWait)}};
    });
    r.stream("/api/audio", [&d] { return d.pc_audio().stream(); });
    r.post("/api/portapapeles/escribir_local", [&d](const json& body) {
        return json{{"ok", write_clipboard(d.clipboard(), http::text_field(body, "texto"))}};
    });
}

} // namespace kelvora::desktop
