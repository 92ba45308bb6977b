#include "platform/windows/handle.hpp"

#include <cstdio>

namespace kelvora::platform::win {

void report_failure(const char* call, unsigned long code) {
    std::fprintf(stderr, "[WIN] %s falló (código %lu)\n", call, code);
}

void report_last_error(const char* call) {
    report_failure(call, GetLastError());
}

} // namespace kelvora::platform::win
