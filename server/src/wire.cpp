#include "wire.hpp"

#include <algorithm>
#include <array>

namespace kv {
namespace {

constexpr int max_depth = 32;

bool depth_ok(std::string_view s) {
    int depth = 0;
    bool in_str = false, esc = false;
    for (char c : s) {
        if (in_str) {
            if (esc)
                esc = false;
            else if (c == '\\')
                esc = true;
            else if (c == '"')
                in_str = false;
        } else if (c == '"') {
            in_str = true;
        } else if (c == '{' || c == '[') {
            if (++depth > max_depth) return false;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return true;
}

template <std::size_t N>
std::string pick(std::string_view r, const std::array<std::string_view, N>& known,
                 std::string_view fallback) {
    auto it = std::find(known.begin(), known.end(), r);
    return std::string(it == known.end() ? fallback : *it);
}

} // namespace

std::optional<json> parse_frame(std::string_view text) {
    if (!depth_ok(text)) return std::nullopt;
    json j = json::parse(text.begin(), text.end(), nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    auto t = j.find("t");
    if (t == j.end() || !t->is_string()) return std::nullopt;
    return j;
}

std::string dump(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string text_field(const json& j, const char* key, std::size_t max) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return {};
    const auto& s = it->get_ref<const std::string&>();
    if (s.size() <= max) return s;
    std::size_t cut = max;
    // Do not split a UTF-8 sequence: back up to the start of the cut character.
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80)
        --cut;
    return s.substr(0, cut);
}

std::string name_field(const json& j, const char* key) {
    constexpr std::size_t max_chars = 32;
    auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return {};
    const auto& s = it->get_ref<const std::string&>();
    // The parser has checked the UTF-8; a character starts at every non-continuation byte.
    std::size_t chars = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) continue;
        if (++chars > max_chars) return s.substr(0, i);
    }
    return s;
}

bool bool_field(const json& j, const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_boolean() && it->get<bool>();
}

bool valid_id(std::string_view id) {
    return id.size() == 9 &&
           std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool valid_code(std::string_view code) {
    return code.size() == 6 && std::all_of(code.begin(), code.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
           });
}

std::string deny_reason(std::string_view r) {
    static constexpr std::array<std::string_view, 6> k{"badkey",    "denied", "timeout",
                                                       "cancelled", "busy",   "unavailable"};
    return pick(r, k, "denied");
}

std::string decline_reason(std::string_view r) {
    static constexpr std::array<std::string_view, 6> k{"busy",    "limit",       "offline",
                                                       "timeout", "unavailable", "other"};
    return pick(r, k, "other");
}

std::string end_reason(std::string_view why) {
    static constexpr std::array<std::string_view, 2> k{"failed", "stopped"};
    return pick(why, k, "other");
}

std::string left_reason(std::string_view why) {
    static constexpr std::array<std::string_view, 4> k{"bye", "closed", "failed", "stopped"};
    return pick(why, k, "bye");
}

} // namespace kv
