#include "transfer/file_name.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "base/text.hpp"

namespace kelvora::transfer {

namespace {

// An extension longer than this is not one ("a.very long sentence"): it is cut like the rest.
constexpr std::size_t kExtensionMaxChars = 16;

std::vector<char32_t> decode(std::string_view s) {
    std::vector<char32_t> out;
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3
                                     : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (len == 0 || i + len > s.size() || !is_valid_utf8(s.substr(i, len))) {
            out.push_back(U'_'); // a broken byte is shown as what it is: not a character
            ++i;
            continue;
        }
        char32_t cp = len == 1 ? c : c & (0xFF >> (len + 1));
        for (std::size_t k = 1; k < len; ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        out.push_back(cp);
        i += len;
    }
    return out;
}

void encode(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string encode(const std::vector<char32_t>& cps) {
    std::string out;
    for (char32_t cp : cps) encode(cp, out);
    return out;
}

bool is_bidi_control(char32_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

bool is_forbidden(char32_t c) {
    static constexpr std::u32string_view kReserved = U"\\/:*?\"<>|";
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029 ||
           kReserved.find(c) != std::u32string_view::npos;
}

// Windows opens a device, not a file, for these names whatever their extension.
bool is_device_name(const std::vector<char32_t>& name) {
    std::string base;
    for (char32_t c : name) {
        if (c == U'.') break;
        if (c == 0xB9 || c == 0xB2 || c == 0xB3) { // superscript 1, 2, 3 count as digits
            base += c == 0xB9 ? '1' : c == 0xB2 ? '2' : '3';
            continue;
        }
        if (c >= 0x80) return false;
        base += static_cast<char>(c);
    }
    while (!base.empty() && base.back() == ' ') base.pop_back();
    base = to_lower_ascii(base);
    static constexpr std::array<std::string_view, 6> kDevices = {"con",    "prn",    "aux",
                                                                 "nul",    "conin$", "conout$"};
    if (std::find(kDevices.begin(), kDevices.end(), base) != kDevices.end()) return true;
    return base.size() == 4 && (base.starts_with("com") || base.starts_with("lpt")) &&
           base[3] >= '0' && base[3] <= '9';
}

// Where the extension starts (the last dot), or the end when there is none worth keeping.
std::size_t extension_start(const std::vector<char32_t>& name) {
    for (std::size_t i = name.size(); i-- > 1;)
        if (name[i] == U'.') return name.size() - i <= kExtensionMaxChars + 1 ? i : name.size();
    return name.size();
}

std::size_t utf8_size(const std::vector<char32_t>& cps, std::size_t from, std::size_t to) {
    std::size_t n = 0;
    for (std::size_t i = from; i < to; ++i)
        n += cps[i] < 0x80 ? 1 : cps[i] < 0x800 ? 2 : cps[i] < 0x10000 ? 3 : 4;
    return n;
}

void trim_ends(std::vector<char32_t>& name) {
    auto lead = std::find_if(name.begin(), name.end(),
                             [](char32_t c) { return c != U'.' && c != U' '; });
    name.erase(name.begin(), lead);
    while (!name.empty() && (name.back() == U'.' || name.back() == U' ')) name.pop_back();
}

} // namespace

std::string safe_file_name(std::string_view raw) {
    std::vector<char32_t> name;
    for (char32_t c : decode(raw)) {
        if (is_bidi_control(c)) continue;
        name.push_back(is_forbidden(c) ? U'_' : c);
    }
    trim_ends(name);
    // Cut the stem, never the extension, until both limits hold.
    const std::size_t ext = extension_start(name);
    std::size_t stem_end = ext;
    while (stem_end > 0 && (stem_end + (name.size() - ext) > kNameMaxChars ||
                            utf8_size(name, 0, stem_end) + utf8_size(name, ext, name.size()) >
                                kNameMaxBytes))
        --stem_end;
    name.erase(name.begin() + static_cast<std::ptrdiff_t>(stem_end),
               name.begin() + static_cast<std::ptrdiff_t>(ext));
    // An extension alone over the limits (only possible with a cut stem of nothing) goes too.
    if (name.size() > kNameMaxChars || utf8_size(name, 0, name.size()) > kNameMaxBytes)
        name.clear();
    trim_ends(name);
    if (name.empty()) return "archivo";
    if (is_device_name(name)) name.insert(name.begin(), U'_');
    return encode(name);
}

std::string numbered_name(std::string_view name, unsigned n) {
    if (n == 0) return std::string(name);
    const auto cps = decode(name);
    const std::size_t ext = extension_start(cps);
    const std::vector<char32_t> stem(cps.begin(), cps.begin() + static_cast<std::ptrdiff_t>(ext));
    const std::vector<char32_t> tail(cps.begin() + static_cast<std::ptrdiff_t>(ext), cps.end());
    return encode(stem) + " (" + std::to_string(n) + ")" + encode(tail);
}

std::string part_name(std::string_view name) {
    return std::string(name) + ".part";
}

} // namespace kelvora::transfer
