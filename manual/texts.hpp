#pragma once
// The manuals and the release notes, compiled into the executable from manual/texts/.
#include <string_view>
#include <vector>

namespace kelvora::manual {

struct Text {
    std::string_view name; // the file name, e.g. "manual_es.md"
    std::string_view data;
};

const std::vector<Text>& built_in_texts();
// Empty when there is no such text.
std::string_view built_in_text(std::string_view name);

} // namespace kelvora::manual
