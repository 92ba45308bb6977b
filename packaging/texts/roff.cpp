#include "packaging/texts/roff.hpp"

#include <md4c.h>

#include <vector>

namespace kelvora::packaging {

namespace {

void append_utf8(std::string& out, unsigned long cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x110000) {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// An HTML entity as md4c hands it ("&amp;", "&#233;", "&#xE9;"); unknown names stay.
std::string entity(std::string_view e) {
    std::string out;
    if (e.starts_with("&#") && e.ends_with(";") && e.size() > 3) {
        const bool hex = e[2] == 'x' || e[2] == 'X';
        const std::string digits(e.substr(hex ? 3 : 2, e.size() - (hex ? 4 : 3)));
        try {
            append_utf8(out, std::stoul(digits, nullptr, hex ? 16 : 10));
            return out;
        } catch (...) {
            return std::string(e);
        }
    }
    static constexpr std::pair<std::string_view, std::string_view> kNamed[] = {
        {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"},
        {"&nbsp;", "\u00A0"}};
    for (auto [name, text] : kNamed)
        if (e == name) return std::string(text);
    return std::string(e);
}

class Writer {
public:
    RoffManual done() {
        newline();
        RoffManual m;
        m.intro = out_.substr(0, sections_at_ == std::string::npos ? out_.size() : sections_at_);
        if (sections_at_ != std::string::npos) m.sections = out_.substr(sections_at_);
        return m;
    }

    void enter_block(MD_BLOCKTYPE type, void* detail) {
        switch (type) {
        case MD_BLOCK_H: {
            const unsigned level = static_cast<MD_BLOCK_H_DETAIL*>(detail)->level;
            heading_level_ = static_cast<int>(level);
            heading_.clear();
            if (level == 2 && sections_at_ == std::string::npos) {
                newline();
                sections_at_ = out_.size();
            }
            break;
        }
        case MD_BLOCK_P:
            if (first_in_item_) first_in_item_ = false;
            else request(items_open_ > 0 ? ".IP" : ".PP");
            break;
        case MD_BLOCK_QUOTE:
            request(".RS 4");
            break;
        case MD_BLOCK_UL:
        case MD_BLOCK_OL:
            if (!lists_.empty()) request(".RS 2");
            lists_.push_back(type == MD_BLOCK_OL ? static_cast<MD_BLOCK_OL_DETAIL*>(detail)->start : 0);
            break;
        case MD_BLOCK_LI: {
            unsigned& next = lists_.back();
            if (next == 0) request(".IP \\(bu 2");
            else request(".IP " + std::to_string(next++) + ". 4");
            ++items_open_;
            first_in_item_ = true;
            break;
        }
        case MD_BLOCK_CODE:
            request(".PP");
            request(".RS 4");
            request(".nf");
            break;
        case MD_BLOCK_HTML:
            skip_ = true;
            break;
        case MD_BLOCK_THEAD:
            skip_ = true;
            break;
        case MD_BLOCK_TR:
            cell_ = 0;
            break;
        case MD_BLOCK_TH:
        case MD_BLOCK_TD:
            if (skip_) break;
            if (cell_ == 0) request(".TP");
            else if (cell_ == 1) newline();
            else text(" \\(em ", true);
            break;
        default:
            break;
        }
    }

    void leave_block(MD_BLOCKTYPE type) {
        switch (type) {
        case MD_BLOCK_H:
            if (heading_level_ == 2) request(".SH \"" + quoted(upper_title(heading_)) + "\"");
            else if (heading_level_ >= 3) request(".SS \"" + quoted(heading_) + "\"");
            heading_level_ = 0;
            break;
        case MD_BLOCK_QUOTE:
            request(".RE");
            break;
        case MD_BLOCK_UL:
        case MD_BLOCK_OL:
            lists_.pop_back();
            if (!lists_.empty()) request(".RE");
            break;
        case MD_BLOCK_LI:
            --items_open_;
            first_in_item_ = false;
            break;
        case MD_BLOCK_CODE:
            request(".fi");
            request(".RE");
            break;
        case MD_BLOCK_HTML:
        case MD_BLOCK_THEAD:
            skip_ = false;
            break;
        case MD_BLOCK_TH:
        case MD_BLOCK_TD:
            if (!skip_) ++cell_;
            break;
        default:
            break;
        }
    }

    void enter_span(MD_SPANTYPE type) {
        if (type == MD_SPAN_STRONG || type == MD_SPAN_CODE) ++bold_;
        if (type == MD_SPAN_EM) ++italic_;
        if (type == MD_SPAN_CODE) ++code_;
        font();
    }

    void leave_span(MD_SPANTYPE type) {
        if (type == MD_SPAN_STRONG || type == MD_SPAN_CODE) --bold_;
        if (type == MD_SPAN_EM) --italic_;
        if (type == MD_SPAN_CODE) --code_;
        font();
    }

    void add_text(MD_TEXTTYPE type, std::string_view s) {
        if (skip_ || type == MD_TEXT_HTML || type == MD_TEXT_NULLCHAR) return;
        if (type == MD_TEXT_ENTITY) {
            add_text(MD_TEXT_NORMAL, entity(s));
            return;
        }
        if (heading_level_ == 1) return;
        if (heading_level_ > 1) {
            heading_ += type == MD_TEXT_SOFTBR || type == MD_TEXT_BR ? std::string_view(" ") : s;
            return;
        }
        if (type == MD_TEXT_BR) request(".br");
        else if (type == MD_TEXT_SOFTBR) newline();
        else text(roff_text(s, code_ > 0 || type == MD_TEXT_CODE), false);
    }

private:
    static std::string quoted(const std::string& s) {
        std::string out;
        for (char c : roff_text(s)) {
            if (c == '"') out += "\\(dq";
            else out.push_back(c);
        }
        return out;
    }

    void newline() {
        if (!line_start_) out_.push_back('\n');
        line_start_ = true;
    }

    void request(const std::string& r) {
        newline();
        out_ += r;
        out_.push_back('\n');
    }

    // Roff text already escaped; raw adds it as is, else a new line drops its leading
    // spaces (a leading space breaks the filled line) and guards a control character.
    void text(const std::string& s, bool raw) {
        for (std::size_t i = 0; i < s.size(); ++i) {
            const char c = s[i];
            if (c == '\n') {
                newline();
                continue;
            }
            if (line_start_ && !raw) {
                if (c == ' ') continue;
                if (c == '.' || c == '\'') out_ += "\\&";
            }
            out_.push_back(c);
            line_start_ = false;
        }
    }

    void font() {
        const std::string f = bold_ && italic_ ? "\\f(BI" : bold_ ? "\\fB" : italic_ ? "\\fI" : "\\fR";
        if (f == font_) return;
        font_ = f;
        if (heading_level_ == 0 && !skip_) {
            out_ += f;
            line_start_ = false;
        }
    }

    std::string out_;
    std::size_t sections_at_ = std::string::npos;
    bool line_start_ = true;
    int heading_level_ = 0;
    std::string heading_;
    std::vector<unsigned> lists_; // next number, or 0 for a bullet list
    int items_open_ = 0;
    bool first_in_item_ = false;
    bool skip_ = false;
    int cell_ = 0;
    int bold_ = 0, italic_ = 0, code_ = 0;
    std::string font_ = "\\fR";
};

Writer& writer(void* p) {
    return *static_cast<Writer*>(p);
}

} // namespace

std::string roff_text(std::string_view text, bool code) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\e";
        else if (c == '-' && code) out += "\\-";
        else out.push_back(c);
    }
    return out;
}

std::string upper_title(std::string_view s) {
    std::string out(s);
    for (std::size_t i = 0; i < out.size(); ++i) {
        auto c = static_cast<unsigned char>(out[i]);
        if (c >= 'a' && c <= 'z') {
            out[i] = static_cast<char>(c - 32);
        } else if (c == 0xC3 && i + 1 < out.size()) {
            // U+00E0..U+00FE (à..þ, not ÷) have their capital 0x20 below.
            const auto d = static_cast<unsigned char>(out[i + 1]);
            if (d >= 0xA0 && d <= 0xBE && d != 0xB7) out[i + 1] = static_cast<char>(d - 0x20);
            ++i;
        }
    }
    return out;
}

RoffManual markdown_to_roff(std::string_view markdown) {
    Writer w;
    MD_PARSER parser{};
    parser.abi_version = 0;
    parser.flags = MD_FLAG_TABLES | MD_FLAG_STRIKETHROUGH;
    parser.enter_block = [](MD_BLOCKTYPE t, void* d, void* u) { return writer(u).enter_block(t, d), 0; };
    parser.leave_block = [](MD_BLOCKTYPE t, void*, void* u) { return writer(u).leave_block(t), 0; };
    parser.enter_span = [](MD_SPANTYPE t, void*, void* u) { return writer(u).enter_span(t), 0; };
    parser.leave_span = [](MD_SPANTYPE t, void*, void* u) { return writer(u).leave_span(t), 0; };
    parser.text = [](MD_TEXTTYPE t, const MD_CHAR* s, MD_SIZE n, void* u) {
        return writer(u).add_text(t, std::string_view(s, n)), 0;
    };
    md_parse(markdown.data(), static_cast<MD_SIZE>(markdown.size()), &parser, &w);
    return w.done();
}

} // namespace kelvora::packaging
