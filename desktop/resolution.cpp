#include "desktop/resolution.hpp"

#include <algorithm>
#include <cmath>
#include <system_error>

#include "base/text.hpp"
#include "desktop/monitors.hpp"
#include "http/fields.hpp"

namespace kelvora::desktop {

namespace {

class SystemDisplay final : public DisplayBackend {
public:
    std::vector<platform::Monitor> monitors() override { return platform::monitors(); }
    std::optional<platform::DisplayMode> current_mode(const std::string& device) override {
        return platform::current_mode(device);
    }
    std::vector<platform::DisplayMode> display_modes(const std::string& device) override {
        return platform::display_modes(device, kMaxEnumeratedModes);
    }
    platform::ModeResult change_mode(const std::string& device,
                                     const platform::DisplayMode& m) override {
        return platform::change_mode(device, m);
    }
    std::optional<std::string> stored_mode_note(const std::string& device) override {
        return platform::stored_mode_note(device);
    }
    platform::ModeResult return_to_stored_mode(const std::string& device,
                                               const std::string& note) override {
        return platform::return_to_stored_mode(device, note);
    }
};

std::int64_t monitor_number(const json& body) {
    const auto mon = http::int_field(body, "mon");
    return mon && *mon >= 0 ? *mon : 0;
}

// A width or height the technician may ask for.
std::optional<int> dimension(const json& body, const char* name) {
    const auto v = http::number_field(body, name);
    if (!v || !(*v >= 1 && *v <= 100000)) return std::nullopt;
    return static_cast<int>(std::lround(*v));
}

} // namespace

std::unique_ptr<DisplayBackend> system_display() {
    return std::make_unique<SystemDisplay>();
}

std::string mode_refusal(const platform::ModeResult& r, platform::Os os) {
    using Outcome = platform::ModeResult::Outcome;
    if (os == platform::Os::windows)
        return "Windows no aceptó esa resolución (código " + std::to_string(r.os_code) + ")";
    switch (r.outcome) {
    case Outcome::no_such_mode:
        return "esa resolución no está disponible en este monitor";
    case Outcome::no_display:
        return "no hay conexión con la pantalla";
    case Outcome::refused:
    case Outcome::done:
        break;
    }
    return "el servidor X no aceptó esa resolución";
}

std::vector<MarkerLine> parse_marker(const std::string& text) {
    std::vector<MarkerLine> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string line = trim(std::string_view(text).substr(start, end - start));
        start = end + 1;
        if (line.empty()) continue;
        const auto tab = line.find('\t');
        MarkerLine m{trim(line.substr(0, tab)),
                     tab == std::string::npos ? std::string() : trim(line.substr(tab + 1))};
        if (m.device.empty()) continue;
        const bool seen = std::any_of(out.begin(), out.end(),
                                      [&](const MarkerLine& o) { return o.device == m.device; });
        if (!seen) out.push_back(std::move(m));
    }
    return out;
}

std::string marker_text(const std::vector<MarkerLine>& lines) {
    std::string out;
    for (const auto& l : lines) {
        out += l.device;
        if (!l.note.empty()) out += "\t" + l.note;
        out += "\n";
    }
    return out;
}

bool Resolutions::changed(const std::string& device) {
    std::lock_guard lock(list_mu_);
    return find_locked(device).has_value();
}

bool Resolutions::write_marker_locked() {
    std::vector<MarkerLine> lines = unrestored_;
    for (const auto& c : changed_)
        lines.push_back({c.device, c.note});
    std::error_code ec;
    if (lines.empty()) return std::filesystem::remove(marker_, ec) || !ec;
    return save_file_atomically(marker_, marker_text(lines));
}

std::optional<Resolutions::Changed> Resolutions::find_locked(const std::string& device) {
    for (const auto& c : changed_)
        if (c.device == device) return c;
    return std::nullopt;
}

void Resolutions::remove_locked(const std::string& device) {
    std::erase_if(changed_, [&](const Changed& c) { return c.device == device; });
    write_marker_locked();
}

std::optional<Resolutions::Target> Resolutions::target(const json& body, json& refusal) {
    const auto list = in_list_order(display_.monitors());
    const auto mon = monitor_number(body);
    if (static_cast<std::size_t>(mon) >= list.size()) {
        refusal = http::refusal("monitor no encontrado");
        return std::nullopt;
    }
    const auto& monitor = list[static_cast<std::size_t>(mon)];
    const auto current = display_.current_mode(monitor.device);
    if (!current) {
        refusal = http::refusal("no se pudo leer la resolución actual");
        return std::nullopt;
    }
    return Target{monitor, *current};
}

json Resolutions::read(const json& body) {
    json refusal;
    const auto t = target(body, refusal);
    if (!t) return refusal;
    const auto saved = [&] {
        std::lock_guard lock(list_mu_);
        return find_locked(t->monitor.device);
    }();
    json modes = json::array();
    for (const auto& m : available_modes(display_.display_modes(t->monitor.device), t->current))
        modes.push_back(mode_json(m));
    return {{"ok", true},
            {"monitor", short_name(t->monitor.device)},
            {"actual", mode_json(mode_of(t->current))},
            {"original", mode_json(saved ? saved->prior : mode_of(t->current))},
            {"cambiada", saved.has_value()},
            {"modos", modes}};
}

json Resolutions::reply_after(const std::string& device, const Mode& fallback, const Mode& prior) {
    const auto now = display_.current_mode(device);
    return {{"ok", true},
            {"actual", mode_json(now ? mode_of(*now) : fallback)},
            {"original", mode_json(prior)},
            {"monitor", short_name(device)}};
}

json Resolutions::set(const json& body) {
    if (http::flag_field(body, "original")) {
        restore_all();
        return {{"ok", true}, {"original", true}};
    }
    json refusal;
    const auto t = target(body, refusal);
    if (!t) return refusal;
    const std::string& device = t->monitor.device;
    const auto modes = available_modes(display_.display_modes(device), t->current);
    std::optional<Mode> chosen;
    const auto w = dimension(body, "w"), h = dimension(body, "h");
    const auto fw = dimension(body, "ajustar_w"), fh = dimension(body, "ajustar_h");
    if (w && h) {
        const auto it = std::find_if(modes.begin(), modes.end(),
                                     [&](const Mode& m) { return m.w == *w && m.h == *h; });
        if (it == modes.end())
            return http::refusal("esa resolución no está disponible en este monitor");
        chosen = *it;
    } else if (fw && fh) {
        chosen = fit_mode(modes, *fw, *fh);
        if (!chosen) return http::refusal("no hay resoluciones disponibles en este monitor");
    } else {
        return http::refusal("parámetros inválidos");
    }

    // Held through the change, so a restore-all can't run between the listing and the switch.
    std::lock_guard lock(list_mu_);
    const auto saved = find_locked(device);
    const Mode prior = saved ? saved->prior : mode_of(t->current);
    if (chosen->w == prior.w && chosen->h == prior.h) {
        if (saved) {
            const auto r = display_.return_to_stored_mode(device, saved->note);
            if (!r.ok()) return http::refusal(mode_refusal(r, platform::host_os()));
            remove_locked(device);
        }
        return reply_after(device, prior, prior);
    }
    if (!saved) {
        // No change without its way back on disk: a crash would leave the mode for good.
        auto note = display_.stored_mode_note(device);
        // A restore that failed earlier still holds the monitor's own mode.
        const auto earlier = std::find_if(unrestored_.begin(), unrestored_.end(),
                                          [&](const MarkerLine& l) { return l.device == device; });
        if (earlier != unrestored_.end()) {
            note = earlier->note;
            unrestored_.erase(earlier);
        }
        if (!note) return http::refusal("no se pudo leer cómo volver a la resolución actual");
        changed_.push_back({device, prior, *note});
        if (!write_marker_locked()) {
            changed_.pop_back();
            return http::refusal("no se pudo anotar cómo volver a la resolución actual");
        }
    }
    platform::DisplayMode wanted{chosen->w, chosen->h, chosen->hz, t->current.depth, false};
    const auto r = display_.change_mode(device, wanted);
    if (!r.ok()) {
        const auto now = display_.current_mode(device);
        if (now && mode_of(*now) == prior) remove_locked(device);
        return http::refusal(mode_refusal(r, platform::host_os()));
    }
    return reply_after(device, *chosen, prior);
}

void Resolutions::restore_all() {
    std::lock_guard lock(list_mu_);
    std::vector<MarkerLine> todo = std::move(unrestored_);
    unrestored_.clear();
    for (const auto& c : changed_)
        todo.push_back({c.device, c.note});
    changed_.clear();
    if (auto text = read_file(marker_))
        for (auto& line : parse_marker(*text))
            if (std::none_of(todo.begin(), todo.end(),
                             [&](const MarkerLine& t) { return t.device == line.device; }))
                todo.push_back(std::move(line));
    // A restore that fails (no display yet at start-up, a monitor unplugged) keeps its line,
    // in memory and on disk, for the next chance.
    for (auto& t : todo)
        if (!display_.return_to_stored_mode(t.device, t.note).ok())
            unrestored_.push_back(std::move(t));
    write_marker_locked();
}

} // namespace kelvora::desktop
