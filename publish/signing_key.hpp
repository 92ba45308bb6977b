#pragma once
// The publisher's Ed25519 key pair: a folder of its own, private to the user, holding the
// private seed (never printed) and the public key as the build takes it.
#include <filesystem>
#include <string>

namespace kelvora::publish {

inline constexpr const char* kPrivateKeyFile = "llave_privada.txt";
inline constexpr const char* kPublicKeyFile = "llave_publica.txt";

struct SigningKey {
    std::string seed;       // 32 bytes; wiped when the key goes
    std::string public_key; // 32 bytes
    std::string error;      // empty when the key was read
    SigningKey() = default;
    SigningKey(const SigningKey&) = delete;
    SigningKey& operator=(const SigningKey&) = delete;
    SigningKey(SigningKey&&) = default;
    ~SigningKey();

    std::string public_hex() const;
    // The 64-byte Ed25519 signature of message.
    std::string sign(const std::string& message) const;
};

// Makes a new pair in folder, which must not exist yet; the public key on success, else
// the error in .error.
SigningKey create_signing_key(const std::filesystem::path& folder);

// Reads the pair of folder; refuses a private file other users can read.
SigningKey load_signing_key(const std::filesystem::path& folder);

} // namespace kelvora::publish
