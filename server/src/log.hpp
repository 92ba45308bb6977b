#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv {

using log_field = std::pair<std::string_view, std::string_view>;

// Writes one line to stderr: UTC time, "ev=<event>", then key=value pairs. Values are
// quoted when needed and stripped of control characters, so a peer's chosen name can
// never forge a line. Callers never pass passwords or keys.
void log_event(std::string_view event, std::initializer_list<log_field> fields = {});
void log_event(std::string_view event, const std::vector<log_field>& fields);

// The one place where I/O errors are reported.
void fail(std::string_view what, std::string_view message);

} // namespace kv
