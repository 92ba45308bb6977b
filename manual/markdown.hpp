#pragma once
// CommonMark to HTML through md4c.
#include <string>
#include <string_view>

namespace kelvora::manual {

// Which extensions are on: none is plain CommonMark; the manual adds pipe tables and
// strikethrough, nothing else.
enum class Extensions { none, tables_and_strikethrough };

std::string markdown_to_html(std::string_view markdown, Extensions ext);

} // namespace kelvora::manual
