#pragma once
// Reading request fields: a field of the wrong type counts as missing, and a body that
// isn't an object has no fields.
#include <cstdint>
#include <optional>
#include <string>

#include "base/json_file.hpp"

namespace kelvora::http {

// The text of a string field; empty when missing or not a string.
std::string text_field(const json& body, const char* name);
// A boolean field; false when missing or not a boolean.
bool flag_field(const json& body, const char* name);
// An integral number field; nothing when missing, not a number or not integral.
std::optional<std::int64_t> int_field(const json& body, const char* name);
// A number field of any kind; nothing when missing or not a number.
std::optional<double> number_field(const json& body, const char* name);

json ok_reply();
json refusal(const std::string& msg);

} // namespace kelvora::http
