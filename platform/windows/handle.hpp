#pragma once
// Ownership of kernel handles, the system's words for an error code, and the one line a
// backend writes when an OS call fails.
// Included only by backend files: it brings in <windows.h>.
#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>

namespace kelvora::platform::win {

struct HandleCloser {
    void operator()(HANDLE h) const {
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};
// A kernel handle (process, thread, pipe end, file), closed when it goes out of scope.
using UniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

// The system's own words for an error code (GetLastError's or an HRESULT), without the
// line break it ends with; empty when it has none.
std::string system_text(unsigned long code);

// Reports "<call> falló (código <code>)"; code is GetLastError's or an HRESULT.
void report_failure(const char* call, unsigned long code);
// The same with GetLastError().
void report_last_error(const char* call);

} // namespace kelvora::platform::win
