#include <openssl/evp.h>

#include <cstdlib>

#include "base/text.hpp"
#include "update/signature.hpp"

namespace kelvora::update {

struct Sha256::State {
    EVP_MD_CTX* ctx = nullptr;
    ~State() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    state_->ctx = EVP_MD_CTX_new();
    // Only out of memory: as a failed allocation anywhere else.
    if (!state_->ctx || EVP_DigestInit_ex(state_->ctx, EVP_sha256(), nullptr) != 1) std::abort();
}

Sha256::~Sha256() = default;

void Sha256::update(std::string_view data) {
    if (EVP_DigestUpdate(state_->ctx, data.data(), data.size()) != 1) std::abort();
}

std::string Sha256::hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(state_->ctx, digest, &size) != 1) std::abort();
    return to_hex(digest, size);
}

// SHA-256 here too: with the processor's SHA instructions it is faster than BLAKE2b.
struct ContentHash::State {
    Sha256 h;
};

ContentHash::ContentHash() : state_(std::make_unique<State>()) {}

ContentHash::~ContentHash() = default;

void ContentHash::update(std::string_view data) {
    state_->h.update(data);
}

std::string ContentHash::digest() {
    return state_->h.hex();
}

} // namespace kelvora::update
