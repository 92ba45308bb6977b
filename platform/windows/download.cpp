#include "platform/download.hpp"

#include <windows.h>

#include <wininet.h>

#include <memory>

#include "platform/windows/wide.hpp"

namespace kelvora::platform {

namespace {

struct InternetCloser {
    void operator()(void* h) const { InternetCloseHandle(static_cast<HINTERNET>(h)); }
};
using InternetHandle = std::unique_ptr<void, InternetCloser>;

// A numeric header; a missing one reads as 0.
std::uint64_t number_header(HINTERNET request, DWORD which) {
    // 32 bits are plenty: a package is at most 200 MB. Wine has no 64-bit form of this.
    DWORD value = 0;
    DWORD size = sizeof value;
    if (!HttpQueryInfoW(request, which | HTTP_QUERY_FLAG_NUMBER, &value, &size, nullptr))
        return 0;
    return value;
}

} // namespace

FetchResult http_get(const std::string& url, const std::string& user_agent,
                     const FetchBlock& on_block) {
    InternetHandle session(InternetOpenW(win::widen(user_agent).c_str(),
                                         INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session) return {FetchStep::no_session, GetLastError()};
    DWORD timeout = 25000;
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                         INTERNET_OPTION_RECEIVE_TIMEOUT})
        InternetSetOptionW(session.get(), option, &timeout, sizeof timeout);
    InternetHandle request(InternetOpenUrlW(session.get(), win::widen(url).c_str(), nullptr, 0,
                                            INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                                INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_UI |
                                                INTERNET_FLAG_NO_COOKIES,
                                            0));
    if (!request) return {FetchStep::no_connect, GetLastError()};
    const auto status = number_header(request.get(), HTTP_QUERY_STATUS_CODE);
    if (status != 200) return {FetchStep::status, static_cast<unsigned long>(status)};
    const auto length = number_header(request.get(), HTTP_QUERY_CONTENT_LENGTH);
    std::string block(65536, '\0');
    for (;;) {
        DWORD n = 0;
        if (!InternetReadFile(request.get(), block.data(), static_cast<DWORD>(block.size()), &n))
            return {FetchStep::cut, GetLastError()};
        if (n == 0) return {FetchStep::done, 0};
        if (!on_block(std::string_view(block.data(), n), length)) return {FetchStep::stopped, 0};
    }
}

} // namespace kelvora::platform
