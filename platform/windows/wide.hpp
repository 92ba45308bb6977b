#pragma once
// UTF-8 <-> UTF-16 for the wide Win32 calls. Invalid input never fails: bad sequences
// become U+FFFD, as the system's own conversion does.
#include <string>
#include <string_view>

namespace kelvora::platform::win {

std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view utf16);

} // namespace kelvora::platform::win
