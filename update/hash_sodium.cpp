#include <sodium.h>

#include <cstdlib>

#include "base/text.hpp"
#include "update/signature.hpp"

namespace kelvora::update {

namespace {

void ensure_sodium() {
    // sodium_init is idempotent and thread-safe; without it the library's internals aren't set.
    static const bool ready = sodium_init() >= 0;
    if (!ready) std::abort();
}

} // namespace

struct Sha256::State {
    crypto_hash_sha256_state s;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    ensure_sodium();
    crypto_hash_sha256_init(&state_->s);
}

Sha256::~Sha256() = default;

void Sha256::update(std::string_view data) {
    crypto_hash_sha256_update(&state_->s, reinterpret_cast<const unsigned char*>(data.data()),
                              data.size());
}

std::string Sha256::hex() {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&state_->s, digest);
    return to_hex(digest, sizeof digest);
}

struct ContentHash::State {
    crypto_generichash_state s;
};

ContentHash::ContentHash() : state_(std::make_unique<State>()) {
    ensure_sodium();
    crypto_generichash_init(&state_->s, nullptr, 0, 32);
}

ContentHash::~ContentHash() = default;

void ContentHash::update(std::string_view data) {
    crypto_generichash_update(&state_->s, reinterpret_cast<const unsigned char*>(data.data()),
                              data.size());
}

std::string ContentHash::digest() {
    unsigned char out[32];
    crypto_generichash_final(&state_->s, out, sizeof out);
    return std::string(reinterpret_cast<const char*>(out), sizeof out);
}

} // namespace kelvora::update
