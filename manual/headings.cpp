#include "manual/headings.hpp"

#include <array>
#include <set>
#include <string_view>

namespace kelvora::manual {

namespace {

// Decodes one UTF-8 sequence at s[i]; a malformed byte is taken alone as U+FFFD.
char32_t next_code_point(std::string_view s, std::size_t& i) {
    const auto b = static_cast<unsigned char>(s[i]);
    int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) {
        ++i;
        return 0xFFFD;
    }
    char32_t cp = len == 1 ? b : b & (0x7F >> len);
    for (int k = 1; k < len; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c >> 6) != 2) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    i += len;
    return cp;
}

// The letter a character stands for in an anchor, after lower-casing; 0 for "-".
char slug_letter(char32_t c) {
    if ((c >= U'a' && c <= U'z') || (c >= U'0' && c <= U'9')) return static_cast<char>(c);
    static constexpr std::pair<std::u32string_view, char> kFolds[] = {
        {U"àáâä", 'a'}, {U"èéêë", 'e'}, {U"ìíîï", 'i'}, {U"ñ", 'n'}, {U"òóôö", 'o'}, {U"ùúûü", 'u'},
    };
    for (const auto& [letters, base] : kFolds)
        if (letters.find(c) != std::u32string_view::npos) return base;
    return 0;
}

// Unicode lower-casing, as far as it can change the anchor: only capitals whose small
// letter is kept matter, every other character becomes "-" whatever its case.
std::u32string lower(char32_t c) {
    if (c >= U'A' && c <= U'Z') return {static_cast<char32_t>(c + 32)};
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return {static_cast<char32_t>(c + 32)};
    if (c == 0x130) return {U'i', 0x307}; // İ: i with a combining dot above
    if (c == 0x212A) return {U'k'};       // the Kelvin sign
    return {c};
}

} // namespace

std::string heading_slug(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        for (char32_t c : lower(next_code_point(text, i))) {
            if (char l = slug_letter(c))
                out.push_back(l);
            else if (!out.empty() && out.back() != '-')
                out.push_back('-');
        }
    }
    while (!out.empty() && out.back() == '-')
        out.pop_back();
    return out;
}

std::string heading_text(std::string_view inner_html) {
    static constexpr std::array<std::pair<std::string_view, char>, 5> kEscapes = {{
        {"&amp;", '&'},
        {"&lt;", '<'},
        {"&gt;", '>'},
        {"&quot;", '"'},
        {"&#39;", '\''},
    }};
    std::string out;
    for (std::size_t i = 0; i < inner_html.size();) {
        if (inner_html[i] == '<') {
            const auto close = inner_html.find('>', i);
            if (close == std::string_view::npos) break;
            i = close + 1;
            continue;
        }
        bool decoded = false;
        if (inner_html[i] == '&')
            for (const auto& [name, ch] : kEscapes)
                if (inner_html.substr(i).starts_with(name)) {
                    // One pass: "&amp;lt;" is the text "&lt;", not "<".
                    out.push_back(ch);
                    i += name.size();
                    decoded = true;
                    break;
                }
        if (!decoded) out.push_back(inner_html[i++]);
    }
    return out;
}

Anchored anchor_headings(std::string_view html) {
    static constexpr std::array<std::string_view, 3> kOpen = {"<h1>", "<h2>", "<h3>"};
    static constexpr std::array<std::string_view, 3> kClose = {"</h1>", "</h2>", "</h3>"};
    Anchored out;
    std::set<std::string> used;
    std::size_t pos = 0;
    for (;;) {
        std::size_t at = std::string_view::npos;
        int level = 0;
        for (int k = 0; k < 3; ++k)
            if (auto p = html.find(kOpen[k], pos); p < at) {
                at = p;
                level = k + 1;
            }
        if (at == std::string_view::npos) break;
        out.html.append(html.substr(pos, at - pos));
        const std::size_t inner_from = at + kOpen[level - 1].size();
        const std::size_t end = html.find(kClose[level - 1], inner_from);
        if (end == std::string_view::npos) {
            pos = at;
            break;
        }
        const auto inner = html.substr(inner_from, end - inner_from);
        const std::string title = heading_text(inner);
        const std::string slug = heading_slug(title);
        std::string id = slug;
        for (int n = 2; used.contains(id); ++n)
            id = slug + "-" + std::to_string(n);
        used.insert(id);
        const std::string tag = "h" + std::to_string(level);
        out.html += "<" + tag + " id=\"" + id + "\">";
        out.html.append(inner);
        out.html += "</" + tag + ">";
        pos = end + kClose[level - 1].size();
        if (level == 2)
            out.toc.push_back({{"id", id}, {"title", title}, {"sub", json::array()}});
        else if (level == 3 && !out.toc.empty())
            out.toc.back()["sub"].push_back({{"id", id}, {"title", title}});
    }
    out.html.append(html.substr(pos));
    return out;
}

} // namespace kelvora::manual
