#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace kv {

using json = nlohmann::json;

// A frame is one JSON object whose string `t` names it. Nesting is capped before parsing
// so a hostile frame cannot exhaust the stack of the recursive serializer later.
std::optional<json> parse_frame(std::string_view text);

// The members of a frame that a relayed signal needs, as their exact JSON text (empty when
// absent), checked as parse_frame checks the frame but without building it. False when
// the text is not such an object, and also when only the parser can judge it (escaped
// member names, one of these names given twice, numbers it would have to convert): the
// caller then takes the parser's path.
struct raw_frame {
    std::string_view t, sid, data;
};
bool scan_frame(std::string_view text, raw_frame& out);

// Compact JSON; invalid UTF-8 in relayed text is replaced rather than thrown on.
std::string dump(const json& j);
// The JSON text of member `data`; empty when absent.
std::string data_text(const json& j);

// A string member, cut to `max` bytes; empty when absent or not a string.
std::string text_field(const json& j, const char* key, std::size_t max = 128);
// A display name: at most 32 Unicode characters, as the page lets the user type them
// (a 32-character name can take 128 bytes).
std::string name_field(const json& j, const char* key);
bool bool_field(const json& j, const char* key);

bool valid_id(std::string_view id);     // 9 decimal digits
bool valid_code(std::string_view code); // 6 letters or digits

// Reasons are passed on only from the sets the clients know; anything else becomes the
// set's catch-all, so a peer cannot push arbitrary text into the other side's UI.
std::string deny_reason(std::string_view r);    // badkey denied timeout cancelled busy unavailable
std::string decline_reason(std::string_view r); // busy limit offline timeout unavailable other
std::string end_reason(std::string_view why);   // failed stopped other
std::string left_reason(std::string_view why);  // bye closed failed stopped

} // namespace kv
