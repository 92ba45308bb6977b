#pragma once
// Anchors for the manual's headings and the table of contents built from them.
#include <string>
#include <string_view>

#include "base/json_file.hpp"

namespace kelvora::manual {

// The anchor of a heading's text: lower-cased, accented Spanish vowels and ñ folded to
// their base letter, every run of other characters one "-", none at either end.
std::string heading_slug(std::string_view text);

// A heading's plain text: its inner HTML without tags, the five escapes undone.
std::string heading_text(std::string_view inner_html);

struct Anchored {
    std::string html;
    // [{"id","title","sub":[{"id","title"}, ...]}, ...], one per level-2 heading.
    json toc = json::array();
};

// Gives every <h1>, <h2> and <h3> of the HTML a unique id and collects the level-2 and
// level-3 headings into a table of contents.
Anchored anchor_headings(std::string_view html);

} // namespace kelvora::manual
