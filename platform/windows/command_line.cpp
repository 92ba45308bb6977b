#include "platform/windows/command_line.hpp"

namespace kelvora::platform::win {

// Backslashes are literal except in front of a quote, where each pair stands for one
// backslash; so a run of them is doubled before an escaped quote and before the closing
// quote, and left alone elsewhere.
std::wstring quote_argument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            out.append(backslashes * 2 + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}

std::wstring command_line(const std::wstring& program, const std::vector<std::wstring>& args) {
    std::wstring line = L"\"" + program + L"\"";
    for (const auto& a : args) {
        line.push_back(L' ');
        line += quote_argument(a);
    }
    return line;
}

} // namespace kelvora::platform::win
