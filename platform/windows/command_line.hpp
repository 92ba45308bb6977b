#pragma once
// Building a CreateProcessW command line that the child's CommandLineToArgvW (or its C
// runtime) splits back into exactly the arguments given.
#include <string>
#include <vector>

namespace kelvora::platform::win {

std::wstring quote_argument(const std::wstring& arg);
// The program, always quoted (its path may hold spaces and can't hold quotes), then each
// argument quoted only where it needs to be.
std::wstring command_line(const std::wstring& program, const std::vector<std::wstring>& args);

} // namespace kelvora::platform::win
