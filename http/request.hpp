#pragma once
#include <cstdint>
#include <map>
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

struct Response {
    int status = 200;
    std::string content_type;
    std::string body;
    bool body_too_large = false; // the body went past the limit and was not read
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
