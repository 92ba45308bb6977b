#include "wire.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

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

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// A strict one-pass check of JSON text, as nlohmann's parser would accept it.
class scanner {
public:
    explicit scanner(std::string_view s) : s_(s) {}

    bool frame(raw_frame& out) {
        skip();
        if (!at('{')) return false;
        ++i_;
        skip();
        bool t = false, sid = false, data = false;
        if (at('}')) {
            ++i_;
        } else {
            for (;;) {
                if (!at('"')) return false;
                std::size_t name_at = i_ + 1;
                bool escaped = false;
                if (!string(escaped) || escaped) return false;
                std::string_view name = s_.substr(name_at, i_ - 1 - name_at);
                skip();
                if (!at(':')) return false;
                ++i_;
                skip();
                std::size_t value_at = i_;
                if (!value(1)) return false;
                std::string_view v = s_.substr(value_at, i_ - value_at);
                auto keep = [&](bool& seen, std::string_view& slot) {
                    if (seen) return false;
                    seen = true;
                    slot = v;
                    return true;
                };
                if ((name == "t" && !keep(t, out.t)) || (name == "sid" && !keep(sid, out.sid)) ||
                    (name == "data" && !keep(data, out.data)))
                    return false;
                skip();
                if (at(',')) {
                    ++i_;
                    skip();
                    continue;
                }
                if (!at('}')) return false;
                ++i_;
                break;
            }
        }
        skip();
        return i_ == s_.size();
    }

private:
    bool at(char c) const { return i_ < s_.size() && s_[i_] == c; }
    void skip() {
        while (i_ < s_.size() && is_space(s_[i_]))
            ++i_;
    }

    bool value(int depth) {
        if (i_ >= s_.size()) return false;
        char c = s_[i_];
        if (c == '{' || c == '[') return nested(depth + 1, c == '{' ? '}' : ']');
        if (c == '"') {
            bool escaped = false;
            return string(escaped);
        }
        if (c == '-' || is_digit(c)) return number();
        for (std::string_view word : {"true", "false", "null"}) {
            if (s_.substr(i_, word.size()) == word) {
                i_ += word.size();
                return true;
            }
        }
        return false;
    }

    bool nested(int depth, char close) {
        if (depth > max_depth) return false;
        bool object = close == '}';
        ++i_;
        skip();
        if (at(close)) return ++i_, true;
        for (;;) {
            if (object) {
                bool escaped = false;
                if (!at('"') || !string(escaped)) return false;
                skip();
                if (!at(':')) return false;
                ++i_;
                skip();
            }
            if (!value(depth)) return false;
            skip();
            if (at(',')) {
                ++i_;
                skip();
                continue;
            }
            if (!at(close)) return false;
            ++i_;
            return true;
        }
    }

    int hex4(std::size_t at) const {
        if (at + 4 > s_.size()) return -1;
        int v = 0;
        for (std::size_t k = at; k < at + 4; ++k) {
            char c = s_[k];
            int d = is_digit(c)              ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : -1;
            if (d < 0) return -1;
            v = v * 16 + d;
        }
        return v;
    }

    // Past the bytes a string takes as they are, eight at a time, up to the first quote,
    // backslash or control byte: the text of a relayed signal (SDP, candidates) is mostly
    // such bytes, and a byte-by-byte look was the largest part of the scan. Where a special
    // byte is is told exactly only by the lowest flag of a little-endian word.
    void skip_plain() {
        if constexpr (std::endian::native != std::endian::little) return;
        constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
        auto below = [](std::uint64_t v, std::uint64_t n) { return (v - ones * n) & ~v & highs; };
        while (s_.size() - i_ >= 8) {
            std::uint64_t w;
            std::memcpy(&w, s_.data() + i_, 8);
            std::uint64_t special =
                below(w ^ (ones * '"'), 1) | below(w ^ (ones * '\\'), 1) | below(w, 0x20);
            if (special) {
                i_ += static_cast<std::size_t>(std::countr_zero(special)) / 8;
                return;
            }
            i_ += 8;
        }
    }

    // A string from its opening quote; the parser has the same rules for escapes and
    // surrogate pairs (UTF-8 itself is checked by the WebSocket layer).
    bool string(bool& escaped) {
        ++i_;
        while (i_ < s_.size()) {
            skip_plain();
            if (i_ >= s_.size()) break;
            unsigned char c = static_cast<unsigned char>(s_[i_]);
            if (c == '"') return ++i_, true;
            if (c < 0x20) return false;
            if (c != '\\') {
                ++i_;
                continue;
            }
            escaped = true;
            if (++i_ >= s_.size()) return false;
            char e = s_[i_];
            if (e == 'u') {
                int u = hex4(i_ + 1);
                if (u < 0) return false;
                i_ += 5;
                if (u >= 0xDC00 && u <= 0xDFFF) return false;
                if (u >= 0xD800 && u <= 0xDBFF) {
                    if (!at('\\') || i_ + 1 >= s_.size() || s_[i_ + 1] != 'u') return false;
                    int low = hex4(i_ + 2);
                    if (low < 0xDC00 || low > 0xDFFF) return false;
                    i_ += 6;
                }
                continue;
            }
            if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) return false;
            ++i_;
        }
        return false;
    }

    // Plain numbers only: an exponent or a long run of digits is the parser's to convert
    // (and to refuse when it overflows).
    bool number() {
        std::size_t from = i_;
        if (at('-')) ++i_;
        if (at('0')) {
            ++i_;
        } else {
            if (i_ >= s_.size() || !is_digit(s_[i_])) return false;
            while (i_ < s_.size() && is_digit(s_[i_]))
                ++i_;
        }
        if (at('.')) {
            ++i_;
            if (i_ >= s_.size() || !is_digit(s_[i_])) return false;
            while (i_ < s_.size() && is_digit(s_[i_]))
                ++i_;
        }
        if (at('e') || at('E')) return false;
        return i_ - from <= 18;
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

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

bool scan_frame(std::string_view text, raw_frame& out) {
    out = {};
    return scanner(text).frame(out);
}

std::string data_text(const json& j) {
    auto it = j.find("data");
    return it == j.end() ? std::string() : dump(*it);
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
