#include "manual/texts.hpp"

namespace kelvora::manual {

std::string_view built_in_text(std::string_view name) {
    for (const auto& t : built_in_texts())
        if (t.name == name) return t.data;
    return {};
}

} // namespace kelvora::manual
