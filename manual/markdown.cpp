#include "manual/markdown.hpp"

#include <md4c-html.h>

namespace kelvora::manual {

namespace {

void append(const MD_CHAR* text, MD_SIZE size, void* out) {
    static_cast<std::string*>(out)->append(text, size);
}

// md4c marks a column's alignment with the old align attribute; style sheets (and the
// other common renderers) expect text-align. Text and attribute values reach the output
// escaped, so these exact tags come only from table cells.
void align_with_style(std::string& html) {
    for (const char* cell : {"<th", "<td"})
        for (const char* side : {"left", "center", "right"}) {
            const std::string from = std::string(cell) + " align=\"" + side + "\">";
            const std::string to = std::string(cell) + " style=\"text-align: " + side + "\">";
            for (std::size_t p = 0; (p = html.find(from, p)) != std::string::npos; p += to.size())
                html.replace(p, from.size(), to);
        }
}

} // namespace

std::string markdown_to_html(std::string_view markdown, Extensions ext) {
    // Default flags are strict CommonMark: raw HTML passes, no autolinks without brackets,
    // no task lists. Only the two extensions the manual uses are added.
    const unsigned parser_flags =
        ext == Extensions::tables_and_strikethrough ? MD_FLAG_TABLES | MD_FLAG_STRIKETHROUGH : 0u;
    // XHTML writes void elements as "<br />" and "<hr />", the way the other common
    // renderers write them, so the manual's HTML doesn't depend on which one made it.
    std::string out;
    out.reserve(markdown.size() + markdown.size() / 2);
    if (md_html(markdown.data(), static_cast<MD_SIZE>(markdown.size()), append, &out, parser_flags,
                MD_HTML_FLAG_XHTML) != 0)
        return {};
    if (parser_flags & MD_FLAG_TABLES) align_with_style(out);
    return out;
}

} // namespace kelvora::manual
