#include "app/settings.hpp"

#include "base/text.hpp"
#include "base/version.hpp"
#include "platform/process.hpp"
#include "platform/system.hpp"

namespace kelvora {

namespace {

const char* const kSections[] = {"general", "recibir", "llamada"};
constexpr std::size_t kMaxNameChars = 32;
constexpr std::size_t kMaxKeyChars = 40;

std::string strip_trailing_slashes(std::string s) {
    while (!s.empty() && s.back() == '/')
        s.pop_back();
    return s;
}

// A value from the web client as the text that is stored.
std::string value_text(const json& v) {
    if (v.is_null()) return "";
    if (v.is_boolean()) return v.get<bool>() ? "si" : "no";
    if (v.is_string()) return trim(v.get<std::string>());
    return to_compact(v);
}

// Keys are plain lower-case names; anything else would write a line of its own into
// kelvora.ini (a line feed) or read back as another key (padding, capitals).
bool is_setting_key(std::string_view key) {
    if (key.empty() || key.size() > kMaxKeyChars || key.front() < 'a' || key.front() > 'z')
        return false;
    for (char c : key)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
    return true;
}

} // namespace

bool setting_is_on(std::string_view text) {
    const std::string t = to_lower_ascii(trim(text));
    return !(t == "0" || t == "no" || t == "off" || t == "false");
}

json default_settings() {
    return json{
        {"general",
         {{"nombre", ""},
          {"idioma", "es"},
          {"buscar_actualizaciones", "si"},
          {"servidor", ""},
          {"conexion", "auto"}}},
        {"recibir",
         {{"disponible", "si"},
          {"permitir_control", "si"},
          {"compartir_audio", "si"},
          {"calidad", "auto"},
          {"fps", "30"},
          {"sonido", "si"},
          {"llamadas", "si"},
          {"desatendido", "si"},
          {"monitores", "todos"}}},
        {"llamada",
         {{"microfono", ""},
          {"bocina", ""},
          {"procesar_voz", "si"},
          {"microfono_nombre", ""},
          {"bocina_nombre", ""}}},
    };
}

json parse_settings_text(std::string_view text) {
    json s = default_settings();
    if (!is_valid_utf8(text)) return s;
    std::string section;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view raw = text.substr(pos, end - pos);
        pos = end + 1;
        if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
        const std::string line = trim(raw);
        if (line.empty()) continue;
        if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
            section = to_lower_ascii(trim(std::string_view(line).substr(1, line.size() - 2)));
            continue;
        }
        if (line.front() == '#' || line.front() == ';') continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        if (section == "general" || section == "recibir" || section == "llamada")
            s[section][trim(std::string_view(line).substr(0, eq))] =
                trim(std::string_view(line).substr(eq + 1));
    }
    return s;
}

std::string settings_file_text(const json& settings) {
    std::string out = "; Kelvora · ajustes. También se cambian desde la pestaña «Ajustes».\n";
    for (const char* name : kSections) {
        out += "\n[";
        out += name;
        out += "]\n";
        auto it = settings.find(name);
        if (it == settings.end() || !it->is_object()) continue;
        for (const auto& [key, value] : it->items()) {
            std::string v = value.is_string() ? value.get<std::string>() : to_compact(value);
            for (char& c : v)
                if (c == '\r' || c == '\n') c = ' ';
            out += key;
            out += " = ";
            out += v;
            out += '\n';
        }
    }
    return out;
}

SettingsStore::SettingsStore(std::filesystem::path dir) : dir_(std::move(dir)) {
    auto text = read_file(dir_ / "kelvora.ini");
    settings_ = text ? parse_settings_text(*text) : default_settings();
}

json SettingsStore::snapshot() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

std::string SettingsStore::read(std::string_view section, std::string_view key) const {
    std::lock_guard lock(mutex_);
    auto s = settings_.find(std::string(section));
    if (s == settings_.end() || !s->is_object()) return "";
    auto v = s->find(std::string(key));
    if (v == s->end() || !v->is_string()) return "";
    return v->get<std::string>();
}

json SettingsStore::save(const json& changes) {
    std::lock_guard save_lock(save_mutex_);
    json copy = snapshot();
    if (changes.is_object()) {
        for (const char* name : kSections) {
            auto sec = changes.find(name);
            if (sec == changes.end() || !sec->is_object()) continue;
            for (const auto& [key, value] : sec->items()) {
                if (!is_setting_key(key))
                    return {{"ok", false}, {"msg", "Ese nombre de ajuste no es válido"}};
                std::string text = value_text(value);
                if (std::string_view(name) == "general") {
                    if (key == "nombre" && utf8_length(text) > kMaxNameChars)
                        return {{"ok", false}, {"msg", "El nombre puede tener hasta 32 letras"}};
                    if (key == "servidor" && !text.empty() && !text.starts_with("https://"))
                        return {{"ok", false}, {"msg", "El servidor debe empezar con https://"}};
                }
                copy[name][key] = strip_trailing_slashes(std::move(text));
            }
        }
    }
    if (!save_file_atomically(dir_ / "kelvora.ini", settings_file_text(copy)))
        return {{"ok", false}, {"msg", "No se pudieron guardar los ajustes"}};
    {
        std::lock_guard lock(mutex_);
        settings_ = copy;
    }
    return {{"ok", true}, {"ajustes", std::move(copy)}};
}

std::string server_address(const SettingsStore& settings) {
    if (auto env = platform::env("TRV_SERVER"); env && env->starts_with("https://"))
        return strip_trailing_slashes(*env);
    if (auto s = settings.read("general", "servidor"); !s.empty()) return strip_trailing_slashes(s);
    return kDefaultServer;
}

std::string display_name(const SettingsStore& settings) {
    std::string name = settings.read("general", "nombre");
    if (!trim(name).empty()) return name;
    if (auto pc = platform::computer_name()) return *pc;
    return "PC";
}

} // namespace kelvora
