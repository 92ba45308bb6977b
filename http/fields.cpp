#include "http/fields.hpp"

#include <cmath>

namespace kelvora::http {

static const json* member(const json& body, const char* name) {
    if (!body.is_object()) return nullptr;
    auto it = body.find(name);
    return it == body.end() ? nullptr : &*it;
}

std::string text_field(const json& body, const char* name) {
    const json* v = member(body, name);
    return v && v->is_string() ? v->get<std::string>() : std::string();
}

bool flag_field(const json& body, const char* name) {
    const json* v = member(body, name);
    return v && v->is_boolean() && v->get<bool>();
}

std::optional<std::int64_t> int_field(const json& body, const char* name) {
    const json* v = member(body, name);
    if (!v || !v->is_number()) return std::nullopt;
    if (v->is_number_integer()) {
        if (v->is_number_unsigned() && v->get<std::uint64_t>() > INT64_MAX) return std::nullopt;
        return v->get<std::int64_t>();
    }
    const double d = v->get<double>();
    if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > 9.0e15) return std::nullopt;
    return static_cast<std::int64_t>(d);
}

std::optional<double> number_field(const json& body, const char* name) {
    const json* v = member(body, name);
    if (!v || !v->is_number()) return std::nullopt;
    return v->get<double>();
}

json ok_reply() { return {{"ok", true}}; }

json refusal(const std::string& msg) { return {{"ok", false}, {"msg", msg}}; }

} // namespace kelvora::http
