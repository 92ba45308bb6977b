#pragma once
// The two checks that tie an update to its publisher: strict Ed25519 over the manifest and
// SHA-256 over the package.
#include <optional>
#include <string>
#include <string_view>

namespace kelvora::update {

// Hexadecimal text as the manifest carries it: trimmed at both ends, even length, digits of
// either case. Nothing on anything else.
std::optional<std::string> decode_hex(std::string_view text);

// A 32-byte public key that reads as a point of the main subgroup, not of small order.
bool usable_public_key(std::string_view key);

// RFC 8032 verification, strict: a key or an R of small order, a non-canonical key, R or
// S, and any length other than 32 and 64 bytes are refused; R is compared by encoding.
bool verify_ed25519_strict(std::string_view public_key, std::string_view message,
                           std::string_view signature);

// Lower-case hexadecimal SHA-256.
std::string sha256_hex(std::string_view data);

} // namespace kelvora::update
