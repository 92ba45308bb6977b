#pragma once
#include <cstdint>
#include <string>

#include "base/json_file.hpp"
#include "base/log.hpp"
#include "http/request.hpp"
#include "http/router.hpp"

namespace kelvora::http {

// The largest POST body read; a longer one is refused without running anything.
inline constexpr std::size_t kMaxBody = 4'000'000;

// A JSON reply with status 200.
Response json_reply(const json& value);

// What the local server does with one request: the Host, token and Origin checks, the
// embedded files and the API. Built once per run; the pages are prepared here, so
// serving them is a copy.
class RequestHandler {
public:
    RequestHandler(std::string token, std::uint16_t port, const Router& router, const Log& log);

    // Authorised POSTs may run long (a long poll, a command); the server runs them on its
    // pool so a slow one holds up nothing else.
    bool runs_long(const Request& r) const;
    // Never throws: a handler's exception becomes a 500 reply and a log line.
    Response handle(const Request& r) const;

private:
    Response handle_checked(const Request& r) const;
    Response handle_post(const std::string& path, const std::string& query,
                         const Request& r) const;
    Response handle_get(const std::string& path, const std::string& query) const;
    Response handle_guest_post(const std::string& path, const Request& r) const;

    std::string token_;
    std::uint16_t port_;
    const Router& router_;
    const Log& log_;
    std::string index_page_;
};

} // namespace kelvora::http
