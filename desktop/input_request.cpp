#include "desktop/input_request.hpp"

#include <optional>
#include <string>

#include "desktop/key_codes.hpp"
#include "http/fields.hpp"

namespace kelvora::desktop {

namespace {

using platform::InputRecord;

// The records of a whole request go to the OS in one call, so that a batch of moves or a
// typed text costs one trip to the display, not one per event; a release in between lets
// go of what the records before it pressed, so those go first.
struct Batch {
    const InputPort& port;
    HeldInput& held;
    std::int64_t mon = 0;
    std::optional<InputTarget> target;
    std::vector<InputRecord> pending;
    std::size_t offered = 0;
    std::size_t accepted = 0;

    void add(std::span<const InputRecord> recs) {
        pending.insert(pending.end(), recs.begin(), recs.end());
    }

    void flush() {
        if (pending.empty()) return;
        offered += pending.size();
        accepted += port.send(pending);
        pending.clear();
    }

    // The optional move of an event that carries x and y.
    std::optional<InputRecord> move_of(const json& ev) {
        const auto x = http::number_field(ev, "x");
        const auto y = http::number_field(ev, "y");
        if (!x || !y) return std::nullopt;
        if (!target) target = port.target();
        return absolute_move(*x, *y, *target, mon);
    }

    void button(const json& ev, bool up) {
        std::vector<InputRecord> recs;
        if (auto m = move_of(ev)) recs.push_back(*m);
        const auto b = http::int_field(ev, "b");
        const int button = b && *b >= 0 ? static_cast<int>(std::min<std::int64_t>(*b, 1000)) : 0;
        if (button < kButtons) {
            held.button(button, !up);
            recs.push_back(button_record(button, up));
        }
        add(recs);
    }

    void wheel(const json& ev) {
        std::vector<InputRecord> recs;
        if (auto m = move_of(ev)) recs.push_back(*m);
        for (const bool horizontal : {false, true}) {
            const auto v = http::number_field(ev, horizontal ? "dx" : "dy");
            const int amount = v ? wheel_amount(*v) : 0;
            if (amount == 0) continue;
            InputRecord rec;
            rec.kind = InputRecord::Kind::wheel;
            rec.amount = amount;
            rec.horizontal = horizontal;
            recs.push_back(rec);
        }
        add(recs);
    }

    void key(const json& ev, bool up) {
        const std::string c = http::text_field(ev, "c");
        const auto key = key_for(c);
        if (!key) return;
        if (up)
            held.key_up(c);
        else
            held.key_down(c);
        const InputRecord rec = key_record(*key, up);
        add({&rec, 1});
    }

    void text(const json& ev) {
        const auto it = ev.find("s");
        if (it == ev.end() || !it->is_string()) return;
        add(text_records(it->get_ref<const std::string&>()));
    }

    void handle(const json& ev) {
        if (!ev.is_object()) return;
        const std::string k = http::text_field(ev, "k");
        if (k == "m") {
            if (auto m = move_of(ev)) add({&*m, 1});
        } else if (k == "d" || k == "u") {
            button(ev, k == "u");
        } else if (k == "w") {
            wheel(ev);
        } else if (k == "kd" || k == "ku") {
            key(ev, k == "ku");
        } else if (k == "t") {
            text(ev);
        } else if (k == "rel") {
            flush();
            release_all(held, port);
        }
    }
};

std::size_t utf16_units(const std::string& s) {
    std::size_t n = 0;
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c & 0xC0) != 0x80) n += c >= 0xF0 ? 2 : 1;
    }
    return n;
}

// Text longer than a person would type into a box is refused before anything is injected.
bool text_too_long(const json& events) {
    for (const auto& ev : events) {
        if (!ev.is_object() || http::text_field(ev, "k") != "t") continue;
        const auto it = ev.find("s");
        if (it != ev.end() && it->is_string() &&
            utf16_units(it->get_ref<const std::string&>()) > kMaxTypedUnits)
            return true;
    }
    return false;
}

} // namespace

std::string input_blocked_message(platform::Os os) {
    if (os == platform::Os::windows)
        return "Windows bloqueó la entrada (posiblemente hay una ventana con permisos de "
               "administrador en primer plano)";
    return "El servidor X no aceptó la entrada (¿se cerró la sesión gráfica?)";
}

json inject_batch(const json& body, HeldInput& held, const InputPort& port) {
    const auto ev = body.is_object() ? body.find("ev") : body.end();
    const bool has_events = ev != body.end() && ev->is_array();
    if (has_events && ev->size() > kMaxEvents)
        return http::refusal("demasiados eventos de entrada");
    if (has_events && text_too_long(*ev)) return http::refusal("el texto es demasiado largo");

    Batch batch{port, held, 0, std::nullopt, {}, 0, 0};
    const auto mon = http::int_field(body, "mon");
    batch.mon = mon && *mon >= 0 ? *mon : 0;
    if (has_events)
        for (const auto& e : *ev)
            batch.handle(e);
    batch.flush();
    if (batch.offered > 0 && batch.accepted == 0)
        return http::refusal(input_blocked_message(platform::host_os()));
    return http::ok_reply();
}

std::size_t release_all(HeldInput& held, const InputPort& port) {
    const auto recs = release_records(held.take_all());
    return recs.empty() ? 0 : port.send(recs);
}

} // namespace kelvora::desktop
