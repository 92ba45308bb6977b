#include "crypto.hpp"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <stdexcept>

namespace kv {
namespace {

std::string to_hex(const unsigned char* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out(n * 2, '0');
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = digits[p[i] >> 4];
        out[2 * i + 1] = digits[p[i] & 15];
    }
    return out;
}

} // namespace

std::string sha256_hex(std::string_view text) {
    unsigned char md[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), md);
    return to_hex(md, sizeof md);
}

std::string random_hex(std::size_t bytes) {
    unsigned char buf[64];
    if (bytes > sizeof buf) bytes = sizeof buf;
    // RAND_bytes only fails when the system RNG cannot be seeded; an ID drawn from a
    // failed source would be guessable, so that is fatal by design.
    if (RAND_bytes(buf, static_cast<int>(bytes)) != 1) throw std::runtime_error("RAND_bytes");
    return to_hex(buf, bytes);
}

turn_credentials make_turn_credentials(std::string_view secret, std::int64_t expiry,
                                       std::string_view tag) {
    turn_credentials c;
    c.username = std::to_string(expiry) + ":" + std::string(tag);
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int mac_len = 0;
    HMAC(EVP_sha1(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(c.username.data()), c.username.size(), mac,
         &mac_len);
    std::string b64(4 * ((mac_len + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), mac,
                            static_cast<int>(mac_len));
    b64.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    c.credential = std::move(b64);
    return c;
}

} // namespace kv
