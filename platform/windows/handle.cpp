#include "platform/windows/handle.hpp"

#include <string>

#include "platform/report.hpp"

namespace kelvora::platform::win {

void report_failure(const char* call, unsigned long code) {
    report("[WIN] " + std::string(call) + " falló (código " + std::to_string(code) + ")");
}

void report_last_error(const char* call) {
    report_failure(call, GetLastError());
}

} // namespace kelvora::platform::win
