#include "http/request.hpp"

#include <optional>

namespace kelvora::http {

std::string Request::header(const std::string& lower_name) const {
    auto it = headers.find(lower_name);
    return it == headers.end() ? std::string() : it->second;
}

const std::vector<std::pair<std::string, std::string>>& security_headers() {
    static const std::vector<std::pair<std::string, std::string>> h = {
        {"Cache-Control", "no-store"},
        {"X-Frame-Options", "DENY"},
        {"Content-Security-Policy", "frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
    };
    return h;
}

std::pair<std::string, std::string> split_target(std::string_view target) {
    const auto q = target.find('?');
    if (q == std::string_view::npos) return {std::string(target), ""};
    return {std::string(target.substr(0, q)), std::string(target.substr(q + 1))};
}

// The rest of the first '&'-separated part of the query that begins with "name=".
static std::optional<std::string> first_param(std::string_view query, std::string_view name) {
    const std::string prefix = std::string(name) + "=";
    std::size_t pos = 0;
    while (pos <= query.size()) {
        std::size_t amp = query.find('&', pos);
        if (amp == std::string_view::npos) amp = query.size();
        const std::string_view part = query.substr(pos, amp - pos);
        if (part.starts_with(prefix)) return std::string(part.substr(prefix.size()));
        pos = amp + 1;
    }
    return std::nullopt;
}

std::string query_value(std::string_view query, std::string_view name) {
    return first_param(query, name).value_or("");
}

std::string query_language(std::string_view query) {
    return first_param(query, "lang").value_or("es");
}

bool host_allowed(std::string_view host, std::uint16_t port) {
    const std::string p = std::to_string(port);
    return host == "127.0.0.1:" + p || host == "localhost:" + p;
}

bool origin_allowed(std::string_view origin, std::uint16_t port) {
    const std::string p = std::to_string(port);
    return origin == "http://127.0.0.1:" + p || origin == "http://localhost:" + p;
}

} // namespace kelvora::http
