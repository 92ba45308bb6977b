#pragma once
// Small text helpers shared by the portable code: UTF-8 checks, trimming, hex.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kelvora {

bool is_valid_utf8(std::string_view s);
// Number of Unicode code points in valid UTF-8 text.
std::size_t utf8_length(std::string_view s);
// The longest prefix of at most max_chars code points, never splitting a character.
std::string utf8_prefix(std::string_view s, std::size_t max_chars);
std::string trim(std::string_view s);
std::string to_lower_ascii(std::string_view s);
bool iequals_ascii(std::string_view a, std::string_view b);
std::string to_hex(const unsigned char* data, std::size_t n);
// Unsigned decimal with an optional leading '+'; nothing on any other character or overflow.
std::optional<std::uint64_t> parse_unsigned(std::string_view s, std::uint64_t max);
// Filesystem paths are built from UTF-8 on every target (the narrow path constructor
// would use the ANSI code page on Windows).
std::filesystem::path u8path(std::string_view utf8);
std::string path_utf8(const std::filesystem::path& p);

} // namespace kelvora
