#include "platform/windows/handle.hpp"

#include <string>

#include "platform/report.hpp"
#include "platform/windows/wide.hpp"

namespace kelvora::platform::win {

std::string system_text(unsigned long code) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::unique_ptr<wchar_t, decltype(&LocalFree)> owned(text, &LocalFree);
    std::string msg = n ? narrow(std::wstring_view(text, n)) : std::string();
    while (!msg.empty() && (msg.back() == '\n' || msg.back() == '\r' || msg.back() == ' '))
        msg.pop_back();
    return msg;
}

void report_failure(const char* call, unsigned long code) {
    report("[WIN] " + std::string(call) + " falló (código " + std::to_string(code) + ")");
}

void report_last_error(const char* call) {
    report_failure(call, GetLastError());
}

} // namespace kelvora::platform::win
