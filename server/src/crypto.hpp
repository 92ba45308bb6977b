#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kv {

// Lower-case hex of SHA-256(text).
std::string sha256_hex(std::string_view text);

// `bytes` random bytes from OpenSSL's CSPRNG as lower-case hex.
std::string random_hex(std::size_t bytes);

// TURN REST API credentials as coturn's use-auth-secret checks them: the user name is
// "<expiry unix time>:<tag>", the credential base64(HMAC-SHA1(secret, user name)).
struct turn_credentials {
    std::string username;
    std::string credential;
};
turn_credentials make_turn_credentials(std::string_view secret, std::int64_t expiry,
                                       std::string_view tag);

} // namespace kv
