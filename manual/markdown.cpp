#include "manual/markdown.hpp"

#include <md4c-html.h>

namespace kelvora::manual {

namespace {

void append(const MD_CHAR* text, MD_SIZE size, void* out) {
    static_cast<std::string*>(out)->append(text, size);
}

} // namespace

std::string markdown_to_html(std::string_view markdown, Extensions ext) {
    // Default flags are strict CommonMark: raw HTML passes, no autolinks without brackets,
    // no task lists. Only the two extensions the manual uses are added.
    const unsigned parser_flags =
        ext == Extensions::tables_and_strikethrough ? MD_FLAG_TABLES | MD_FLAG_STRIKETHROUGH : 0u;
    // XHTML writes void elements as "<br />" and "<hr />", as the web client's
    // style sheet and the printed page were made against.
    std::string out;
    out.reserve(markdown.size() + markdown.size() / 2);
    if (md_html(markdown.data(), static_cast<MD_SIZE>(markdown.size()), append, &out, parser_flags,
                MD_HTML_FLAG_XHTML) != 0)
        return {};
    return out;
}

} // namespace kelvora::manual
