#pragma once
// The two checks that tie an update to its publisher: strict Ed25519 over the manifest and
// SHA-256 over the package.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// SHA-256 fed block by block, so a download is hashed while it arrives. Two builds of it
// (update/hash_*.cpp): libcrypto's, which uses the processor's SHA instructions, where the
// build has that library, and libsodium's (portable C, several times slower) in the
// Windows build.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void update(std::string_view data);
    // Lower-case hexadecimal; ends the hashing.
    std::string hex();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The staged program's own fingerprint, taken as it is written and again, through the
// handle held, before it is run and before it is put in place: the fastest strong hash of
// the build, SHA-256 with libcrypto, BLAKE2b with libsodium.
class ContentHash {
public:
    ContentHash();
    ~ContentHash();
    ContentHash(const ContentHash&) = delete;
    ContentHash& operator=(const ContentHash&) = delete;
    void update(std::string_view data);
    // The digest, as an opaque text; ends the hashing.
    std::string digest();

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace kelvora::update
