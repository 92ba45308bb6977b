#include "desktop/input_records.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace kelvora::desktop {

namespace {

using platform::InputRecord;

std::int64_t saturating_trunc(double v) {
    constexpr double lo = std::numeric_limits<std::int32_t>::min();
    constexpr double hi = std::numeric_limits<std::int32_t>::max();
    if (!(v > lo)) return static_cast<std::int64_t>(lo);
    if (v >= hi) return static_cast<std::int64_t>(hi);
    return static_cast<std::int64_t>(v);
}

double unit_fraction(double v) {
    return std::isfinite(v) ? std::clamp(v, 0.0, 1.0) : 0.0;
}

// A pixel on one axis of the target rectangle.
std::int64_t pixel_on(double f, std::int64_t start, std::int64_t size) {
    const std::int64_t t = size < 2 ? 1 : size;
    return start + std::min(t - 1, saturating_trunc(f * static_cast<double>(t)));
}

// The same pixel on the 0..65535 scale of the virtual desktop's axis.
int normalised(std::int64_t p, std::int64_t start, std::int64_t size) {
    const std::int64_t span = size < 3 ? 2 : size;
    const std::int64_t d = std::clamp<std::int64_t>(p - start, 0, span - 1);
    return static_cast<int>((d * 65535 + (span - 2) / 2) / (span - 1));
}

void append_utf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

// Request bodies are parsed as UTF-8 already; a stray byte still becomes U+FFFD rather
// than anything the OS would misread.
std::u16string to_utf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t len = c < 0x80             ? 1
                          : (c & 0xE0) == 0xC0 ? 2
                          : (c & 0xF0) == 0xE0 ? 3
                          : (c & 0xF8) == 0xF0 ? 4
                                               : 0;
        if (len == 0 || i + len > s.size()) {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        char32_t cp = len == 1 ? c : c & (0x7F >> len);
        bool good = true;
        for (std::size_t k = 1; k < len; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            good = good && (cc & 0xC0) == 0x80;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (!good || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        append_utf16(out, cp);
        i += len;
    }
    return out;
}

} // namespace

InputRecord absolute_move(double x, double y, const InputTarget& target, std::int64_t mon) {
    const auto& vs = target.screen;
    Rect r{vs.x, vs.y, vs.w, vs.h};
    if (!target.monitors.empty())
        r = mon >= 0 && static_cast<std::size_t>(mon) < target.monitors.size()
                ? target.monitors[static_cast<std::size_t>(mon)]
                : target.monitors.front();
    const std::int64_t px = pixel_on(unit_fraction(x), r.x, r.w);
    const std::int64_t py = pixel_on(unit_fraction(y), r.y, r.h);
    InputRecord rec;
    rec.kind = InputRecord::Kind::move;
    rec.px = static_cast<int>(px);
    rec.py = static_cast<int>(py);
    rec.nx = normalised(px, vs.x, vs.w);
    rec.ny = normalised(py, vs.y, vs.h);
    return rec;
}

InputRecord button_record(int button, bool up) {
    InputRecord rec;
    rec.kind = InputRecord::Kind::button;
    rec.button = button;
    rec.up = up;
    return rec;
}

InputRecord key_record(const KeyCode& key, bool up) {
    InputRecord rec;
    rec.kind = InputRecord::Kind::key;
    rec.code = key.code;
    rec.virtual_key = key.virtual_key;
    rec.extended = key.extended;
    rec.up = up;
    return rec;
}

int wheel_amount(double v) {
    if (!std::isfinite(v)) return 0;
    return static_cast<int>(std::clamp(std::round(v), -30000.0, 30000.0));
}

std::vector<InputRecord> text_records(std::string_view utf8) {
    std::vector<InputRecord> out;
    for (char16_t u : to_utf16(utf8)) {
        if (u == u'\r') continue;
        if (u == u'\t' || u == u'\n') {
            const KeyCode key{u == u'\t' ? kVkTab : kVkReturn, true, false};
            out.push_back(key_record(key, false));
            out.push_back(key_record(key, true));
            continue;
        }
        InputRecord rec;
        rec.kind = InputRecord::Kind::unicode;
        rec.code = u;
        out.push_back(rec);
        rec.up = true;
        out.push_back(rec);
    }
    return out;
}

} // namespace kelvora::desktop
