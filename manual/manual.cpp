#include "manual/manual.hpp"

#include "base/version.hpp"
#include "manual/markdown.hpp"
#include "manual/texts.hpp"

namespace kelvora::manual {

namespace {

std::string replace_all(std::string text, std::string_view what, std::string_view with) {
    for (std::size_t pos = 0; (pos = text.find(what, pos)) != std::string::npos; pos += with.size())
        text.replace(pos, what.size(), with);
    return text;
}

struct Labels {
    const char* title;
    const char* ver;
    const char* toc;
    const char* by;
    const char* print;
};

const Labels& labels(const std::string& lang) {
    static const Labels es{"Manual de usuario", "Manual de la", "Contenido", "App creada por",
                           "Imprimir / Guardar como PDF"};
    static const Labels en{"User manual", "Manual for", "Contents", "App created by",
                           "Print / Save as PDF"};
    return lang == "en" ? en : es;
}

std::string_view manual_text(const std::string& lang) {
    return built_in_text(lang == "en" ? "manual_en.md" : "manual_es.md");
}

// The maker's web address as shown to a person: without the scheme and the last slash.
std::string site_label() {
    std::string s = kProductSite;
    if (auto p = s.find("://"); p != std::string::npos) s.erase(0, p + 3);
    if (!s.empty() && s.back() == '/') s.pop_back();
    return s;
}

constexpr const char* kPrintStyle =
    "body{font-family:\"Segoe UI\",Arial,sans-serif;font-size:14px;line-height:1.6;color:#111;"
    "max-width:820px;margin:30px auto;padding:0 24px}"
    "h2{border-bottom:2px solid #1F5BFF;padding-bottom:4px}"
    "h3{color:#1747CC}"
    "table{border-collapse:collapse;width:100%}"
    "th,td{border:1px solid #ccc;padding:6px 8px;text-align:left;vertical-align:top}"
    "th{background:#E6EEFF}"
    "code{background:#f3f3f3;border-radius:3px;padding:1px 4px}"
    ".mnote{border-left:3px solid #1F5BFF;background:#F0F5FF;padding:8px 12px;margin:12px 0}"
    ".mnote>:first-child{margin-top:0}.mnote>:last-child{margin-bottom:0}"
    ".top{display:flex;align-items:center;gap:16px}"
    ".top img{width:80px}"
    ".top h1{margin:0}"
    ".sign{text-align:center;color:#777;margin-top:40px;font-size:13px}"
    "@media print{.noprint{display:none}}";

} // namespace

std::string manual_language(std::string_view lang) {
    return lang == "en" ? "en" : "es";
}

Anchored render_manual_text(std::string_view markdown) {
    std::string html = markdown_to_html(markdown, Extensions::tables_and_strikethrough);
    html = replace_all(std::move(html), "<strong>", "<b>");
    html = replace_all(std::move(html), "</strong>", "</b>");
    html = replace_all(std::move(html), "<blockquote>", "<div class=\"mnote\">");
    html = replace_all(std::move(html), "</blockquote>", "</div>");
    return anchor_headings(html);
}

json manual_reply(std::string_view lang_asked) {
    const std::string lang = manual_language(lang_asked);
    const Labels& l = labels(lang);
    Anchored m = render_manual_text(manual_text(lang));
    return {
        {"ok", true},
        {"lang", lang},
        {"html", std::move(m.html)},
        {"toc", std::move(m.toc)},
        {"version", std::string("v") + kVersion},
        {"author", kAuthor},
        {"contact", kContact},
        {"txt", {{"title", l.title}, {"ver", l.ver}, {"toc", l.toc}, {"by", l.by}}},
    };
}

std::string print_page(std::string_view lang_asked) {
    const std::string lang = manual_language(lang_asked);
    const Labels& l = labels(lang);
    const std::string title = std::string("Kelvora · ") + l.title;
    std::string page;
    page += "<!doctype html>\n<html lang=\"" + lang + "\">\n<head>\n<meta charset=\"utf-8\">\n";
    page += "<title>" + title + "</title>\n<style>" + kPrintStyle + "</style>\n</head>\n<body>\n";
    page += "<div class=\"top\"><img src=\"/img/kelvora.svg\" alt=\"Kelvora\"><div><h1>" + title +
            "</h1><div>" + l.ver + " v" + kVersion + "</div></div></div>\n";
    page += "<p class=\"noprint\"><button onclick=\"print()\">🖨 " + std::string(l.print) +
            "</button></p>\n";
    page += render_manual_text(manual_text(lang)).html;
    page += "<div class=\"sign\">" + std::string(l.by) + " " + kAuthor + " · <a href=\"" +
            kProductSite + "\">" + site_label() + "</a> · <a href=\"mailto:" + kContact + "\">" +
            kContact + "</a></div>\n";
    page += "<script>addEventListener('load',()=>setTimeout(()=>print(),600));</script>\n";
    page += "</body>\n</html>\n";
    return page;
}

std::string render_release_notes(std::string_view notes) {
    if (auto p = notes.find("\n## "); p != std::string_view::npos) notes.remove_prefix(p + 1);
    return markdown_to_html(notes, Extensions::none);
}

json release_notes_reply() {
    return {{"ok", true},
            {"version", kVersion},
            {"fecha", kBuildDate},
            {"html", render_release_notes(built_in_text("novedades.md"))}};
}

} // namespace kelvora::manual
