#include "packaging/texts/changelog.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "manual/manual.hpp"
#include "publish/release_notes.hpp"

namespace kelvora::packaging {

namespace {

// "Wed, 04 Nov 2026 11:58:00 +0000" for "2026-11-04" and 2 minutes before noon; nothing
// for another shape.
std::string rfc2822_before_noon(const std::string& date, unsigned minutes) {
    int y = 0;
    unsigned m = 0, d = 0;
    if (std::sscanf(date.c_str(), "%4d-%2u-%2u", &y, &m, &d) != 3) return "";
    using namespace std::chrono;
    const year_month_day ymd{year{y}, month{m}, day{d}};
    if (!ymd.ok()) return "";
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char buf[64];
    minutes = std::min(minutes, 12u * 60);
    std::snprintf(buf, sizeof buf, "%s, %02u %s %04d %02u:%02u:00 +0000",
                  kDays[weekday{sys_days{ymd}}.c_encoding()], d, kMonths[m - 1], y,
                  (12 * 60 - minutes) / 60, (12 * 60 - minutes) % 60);
    return buf;
}

std::string plain(std::string_view md) {
    std::string out;
    for (char c : md)
        if (c != '*' && c != '`') out.push_back(c);
    return out;
}

// UTF-8 characters, not bytes, count towards the width.
std::size_t columns(std::string_view s) {
    std::size_t n = 0;
    for (char c : s)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
    return n;
}

// "  * item" wrapped at 80 columns, continued with four spaces.
std::string bullet(std::string_view item) {
    std::string out = "  *";
    std::size_t width = 3;
    std::size_t pos = 0;
    while (pos < item.size()) {
        while (pos < item.size() && item[pos] == ' ') ++pos;
        const auto end = std::min(item.find(' ', pos), item.size());
        if (end == pos) break;
        const std::string_view word = item.substr(pos, end - pos);
        pos = end;
        if (width + 1 + columns(word) > 80 && width > 4) {
            out += "\n   ";
            width = 3;
        }
        out += ' ';
        out += word;
        width += 1 + columns(word);
    }
    return out + "\n";
}

} // namespace

std::string debian_changelog(std::string_view package, std::string_view notes,
                             const std::string& version) {
    const auto changes = publish::changes_up_to(notes, version);
    if (!changes.error.empty()) return "";
    std::string out;
    // Each entry must be dated after the one below it, also for versions released the
    // same day: the newest of a day goes at noon, each older one a minute before.
    std::string day;
    unsigned same_day = 0;
    for (const auto& entry : changes.entries) {
        const std::string date = entry["date"];
        same_day = date == day ? same_day + 1 : 0;
        day = date;
        const std::string when = rfc2822_before_noon(date, same_day);
        if (when.empty()) return "";
        out += std::string(package) + " (" + entry["version"].get<std::string>() +
               ") unstable; urgency=medium\n\n";
        // A list item goes on until the next one; a paragraph is an item of its own.
        std::vector<std::string> items;
        bool open = false;
        const std::string md = entry["md"];
        for (std::size_t pos = 0; pos < md.size();) {
            auto end = md.find('\n', pos);
            if (end == std::string::npos) end = md.size();
            std::string_view line = std::string_view(md).substr(pos, end - pos);
            pos = end + 1;
            while (line.starts_with(' ')) line.remove_prefix(1);
            if (line.starts_with("- ") || line.starts_with("* ")) {
                items.push_back(plain(line.substr(2)));
                open = true;
            } else if (line.empty()) {
                open = false;
            } else if (open) {
                items.back() += " " + plain(line);
            } else {
                items.push_back(plain(line));
                open = true;
            }
        }
        for (const auto& item : items) out += bullet(item);
        out += std::string("\n -- ") + manual::kAuthor + " <" + manual::kContact + ">  " + when +
               "\n\n";
    }
    return out;
}

} // namespace kelvora::packaging
