#include "publish/signing_key.hpp"

#include <sodium.h>

#include <cstdlib>
#include <system_error>

#include "base/json_file.hpp"
#include "base/text.hpp"
#include "platform/system.hpp"
#include "update/signature.hpp"

namespace kelvora::publish {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPrivateNote =
    "# Llave privada de publicación de Kelvora (semilla Ed25519).\n"
    "# Quien la tenga puede publicar versiones que todas las copias instaladas aceptan:\n"
    "# no la compartas, no la subas a ningún repositorio y guarda una copia de respaldo.\n";

// A key file is a few lines; anything longer is not one.
constexpr std::uintmax_t kMaxKeyFile = 4096;

void ensure_sodium() {
    if (sodium_init() < 0) std::abort();
}

const unsigned char* bytes(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

bool private_to_owner(const fs::path& p) {
    std::error_code ec;
    const auto perms = fs::status(p, ec).permissions();
    if (ec) return false;
    return (perms & (fs::perms::group_all | fs::perms::others_all)) == fs::perms::none;
}

// The public half of seed.
std::string public_of(const std::string& seed) {
    unsigned char pk[crypto_sign_PUBLICKEYBYTES];
    unsigned char sk[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(pk, sk, bytes(seed));
    sodium_memzero(sk, sizeof sk);
    return std::string(reinterpret_cast<char*>(pk), sizeof pk);
}

SigningKey failed(std::string why) {
    SigningKey k;
    k.error = std::move(why);
    return k;
}

} // namespace

SigningKey::~SigningKey() {
    if (!seed.empty()) sodium_memzero(seed.data(), seed.size());
}

std::string SigningKey::public_hex() const {
    return to_hex(bytes(public_key), public_key.size());
}

std::string SigningKey::sign(const std::string& message) const {
    unsigned char pk[crypto_sign_PUBLICKEYBYTES];
    unsigned char sk[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(pk, sk, bytes(seed));
    unsigned char sig[crypto_sign_BYTES];
    crypto_sign_detached(sig, nullptr, bytes(message), message.size(), sk);
    sodium_memzero(sk, sizeof sk);
    return std::string(reinterpret_cast<char*>(sig), sizeof sig);
}

SigningKey create_signing_key(const fs::path& folder) {
    ensure_sodium();
    std::error_code ec;
    // create_directory says whether it made the folder: an existing one, with a key that
    // may already sign releases, is never touched.
    if (!fs::create_directory(folder, ec)) {
        if (!ec)
            return failed(path_utf8(folder) +
                          " ya existe: para no perder una llave, keygen solo escribe en una "
                          "carpeta nueva");
        return failed("no se pudo crear " + path_utf8(folder) + ": " + ec.message());
    }
    if (!platform::make_private_directory(folder))
        return failed("no se pudo dejar " + path_utf8(folder) + " solo para tu usuario");

    SigningKey k;
    k.seed.resize(crypto_sign_SEEDBYTES);
    randombytes_buf(k.seed.data(), k.seed.size());
    k.public_key = public_of(k.seed);
    std::string text = std::string(kPrivateNote) + to_hex(bytes(k.seed), k.seed.size()) + "\n";
    const bool saved = platform::write_file_durably(folder / kPrivateKeyFile, text);
    sodium_memzero(text.data(), text.size());
    if (!saved) return failed("no se pudo escribir " + path_utf8(folder / kPrivateKeyFile));
    if (!platform::write_file_durably(folder / kPublicKeyFile, k.public_hex() + "\n"))
        return failed("no se pudo escribir " + path_utf8(folder / kPublicKeyFile));
    return k;
}

SigningKey load_signing_key(const fs::path& folder) {
    ensure_sodium();
    const fs::path file = folder / kPrivateKeyFile;
    std::error_code ec;
    if (!fs::is_regular_file(file, ec))
        return failed("no hay una llave en " + path_utf8(folder) + " (falta " + kPrivateKeyFile +
                      "; la crea «kelvora-publish keygen»)");
    if (!private_to_owner(file) || !private_to_owner(folder))
        return failed(path_utf8(folder) + " o su " + kPrivateKeyFile +
                      " los pueden leer otros usuarios: déjalos solo para ti (chmod 700 la "
                      "carpeta, chmod 600 el archivo) y, si alguien más pudo leerla, haz una "
                      "llave nueva");
    if (fs::file_size(file, ec) > kMaxKeyFile || ec)
        return failed(path_utf8(file) + " no es una llave de kelvora-publish");
    auto text = read_file(file);
    if (!text) return failed("no se pudo leer " + path_utf8(file));
    // The first line that is neither empty nor a comment holds the seed.
    std::string line;
    for (std::size_t pos = 0; pos < text->size() && (line.empty() || line[0] == '#');) {
        std::size_t end = text->find('\n', pos);
        if (end == std::string::npos) end = text->size();
        line = trim(std::string_view(*text).substr(pos, end - pos));
        pos = end + 1;
    }
    std::optional<std::string> seed;
    if (!line.empty() && line[0] != '#') seed = update::decode_hex(line);
    sodium_memzero(line.data(), line.size());
    sodium_memzero(text->data(), text->size());
    if (!seed || seed->size() != crypto_sign_SEEDBYTES)
        return failed(path_utf8(file) + " no es una llave de kelvora-publish");
    SigningKey k;
    k.seed = std::move(*seed);
    k.public_key = public_of(k.seed);
    return k;
}

} // namespace kelvora::publish
