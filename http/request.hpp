#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvora::http {

struct Request {
    std::string method;                         // upper case, as sent
    std::string target;                         // path and query
    std::map<std::string, std::string> headers; // names in lower case, first value wins
    std::string body;
    bool body_too_large = false; // the body went past the limit and was not read

    // The value of a header (name in lower case); empty when missing.
    std::string header(const std::string& lower_name) const;
};

// A body written as it is made, with chunked transfer encoding.
class BodySource {
public:
    virtual ~BodySource() = default;
    // Blocks until the next piece is ready; nothing when the body has ended. Destroying the
    // source (the client went away, a write failed) tells its maker to stop.
    virtual std::optional<std::string> next() = 0;
};

struct Response {
    Response() = default;
    Response(int status_, std::string type, std::string body_)
        : status(status_), content_type(std::move(type)), body(std::move(body_)) {}

    int status = 200;
    std::string content_type;
    std::string body;
    // Headers of this response besides the content type and the fixed ones.
    std::vector<std::pair<std::string, std::string>> headers;
    // When set, the body comes from here instead of `body`.
    std::shared_ptr<BodySource> stream;
};

// Headers every response carries, besides the content type and length.
const std::vector<std::pair<std::string, std::string>>& security_headers();

// Path and query of a request target, split at the first '?'.
std::pair<std::string, std::string> split_target(std::string_view target);
// The rest of the first '&'-separated part of the query that begins with "name=";
// empty when there is none.
std::string query_value(std::string_view query, std::string_view name);
// The language of a query: its "lang=" value, or "es" without one.
std::string query_language(std::string_view query);

// The Host and Origin values that belong to this server, and nothing else.
bool host_allowed(std::string_view host, std::uint16_t port);
bool origin_allowed(std::string_view origin, std::uint16_t port);

} // namespace kelvora::http
