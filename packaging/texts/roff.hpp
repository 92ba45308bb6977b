#pragma once
// man(7) text from the manual's Markdown.
#include <string>
#include <string_view>

namespace kelvora::packaging {

// Text as roff input: backslashes escaped, and a line that would start with a control
// character guarded. In code, hyphens become minus signs (options are typed with them).
std::string roff_text(std::string_view text, bool code = false);

// A section title as man pages write them: ASCII and Latin-1 letters in capitals.
std::string upper_title(std::string_view utf8);

struct RoffManual {
    std::string intro;    // what comes before the first level-2 heading
    std::string sections; // every level-2 heading on, as .SH and .SS sections
};

// CommonMark with tables and strikethrough, as the manual is written: the level-1 title
// and raw HTML are left out; tables become tagged paragraphs, one per row.
RoffManual markdown_to_roff(std::string_view markdown);

} // namespace kelvora::packaging
