#pragma once
// The rules of the access password: the generated form, what a person may set by hand,
// and how a password that a technician sends is compared.
#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace kelvora::records {

inline constexpr std::string_view kPasswordAlphabet = "ABCDEFGHJKMNPQRSTUVWXYZ23456789";
inline constexpr std::size_t kGeneratedPasswordLength = 8;

// The generated password for eight random bytes.
std::string password_from_bytes(const std::array<unsigned char, kGeneratedPasswordLength>& b);
// A new generated password from the secure random source.
std::string generate_password();

// Removes Unicode White_Space at both ends; text that isn't UTF-8 comes back unchanged.
std::string trim_white_space(std::string_view s);

// Why a password typed by hand (already trimmed) can't be used; nothing when it can.
std::optional<std::string> password_refusal(std::string_view trimmed);

// Whether supplied (already trimmed) opens the PC whose password is stored. A stored
// password of capitals and digits only is matched loosely (case and separators ignored).
// The comparison takes the same time wherever the texts first differ.
bool password_matches(std::string_view stored, std::string_view supplied);

} // namespace kelvora::records
