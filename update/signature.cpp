#include "update/signature.hpp"

#include <sodium.h>

#include <cstdlib>

#include "base/text.hpp"

namespace kelvora::update {

namespace {

// sodium_init is idempotent and thread-safe; without it the library's internals aren't set.
void ensure_sodium() {
    static const bool ready = sodium_init() >= 0;
    if (!ready) std::abort();
}

const unsigned char* bytes(std::string_view s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

std::optional<std::string> decode_hex(std::string_view text) {
    const std::string t = trim(text);
    if (t.size() % 2 != 0) return std::nullopt;
    std::string out;
    out.reserve(t.size() / 2);
    for (std::size_t i = 0; i < t.size(); i += 2) {
        const int hi = hex_value(t[i]), lo = hex_value(t[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi * 16 + lo));
    }
    return out;
}

bool usable_public_key(std::string_view key) {
    ensure_sodium();
    return key.size() == crypto_sign_PUBLICKEYBYTES &&
           crypto_core_ed25519_is_valid_point(bytes(key)) == 1;
}

bool verify_ed25519_strict(std::string_view public_key, std::string_view message,
                           std::string_view signature) {
    ensure_sodium();
    if (public_key.size() != crypto_sign_PUBLICKEYBYTES || signature.size() != crypto_sign_BYTES)
        return false;
    // libsodium's verification (without ED25519_COMPAT, as Debian builds it) already refuses
    // S >= L, an R or a key of small order and a non-canonical key, and compares R by its
    // encoding: the strict rule.
    return crypto_sign_verify_detached(bytes(signature), bytes(message), message.size(),
                                       bytes(public_key)) == 0;
}

std::string sha256_hex(std::string_view data) {
    Sha256 h;
    h.update(data);
    return h.hex();
}

} // namespace kelvora::update
