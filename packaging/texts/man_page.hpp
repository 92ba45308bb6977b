#pragma once
// kelvora(1): the command line, the files and the manual, in English or Spanish.
#include <string>
#include <string_view>

namespace kelvora::packaging {

// lang "en" or "es"; manual is that language's manual (manual/texts/manual_<lang>.md).
std::string kelvora_man_page(std::string_view lang, std::string_view manual);

} // namespace kelvora::packaging
