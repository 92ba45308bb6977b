#include "records/identity.hpp"

#include <cstdint>
#include <cstdlib>
#include <optional>

#include "base/log.hpp"
#include "base/text.hpp"
#include "http/fields.hpp"
#include "platform/protect.hpp"
#include "platform/system.hpp"
#include "records/password.hpp"

namespace kelvora::records {

namespace {

constexpr std::size_t kMinStoredKeyBytes = 32;
// The note at the top of identidad.json, naming what seals the password on this system.
std::string file_note(platform::Os os) {
    return std::string(
               "No compartas este archivo: la llave demuestra que este ID es de esta PC. ") +
           (os == platform::Os::windows
                ? "La contraseña va cifrada con tu cuenta de Windows."
                : "La contraseña va cifrada con una llave de tu usuario en este sistema.");
}

template <std::size_t N> std::array<unsigned char, N> random_array() {
    std::array<unsigned char, N> b;
    // Without a secure random source no identity can be trusted; there is no recovery.
    if (!platform::random_bytes(b.data(), b.size())) std::abort();
    return b;
}

std::string new_identity_key() {
    const auto b = random_array<32>();
    return to_hex(b.data(), b.size());
}

bool is_support_id(std::string_view id) {
    if (id.size() != 9) return false;
    for (char c : id)
        if (c < '0' || c > '9') return false;
    return true;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<platform::Blob> from_hex(std::string_view s) {
    if (s.size() % 2 != 0) return std::nullopt;
    platform::Blob out;
    out.reserve(s.size() / 2);
    for (std::size_t i = 0; i < s.size(); i += 2) {
        const int hi = hex_value(s[i]), lo = hex_value(s[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<unsigned char>(hi * 16 + lo));
    }
    return out;
}

// The password sealed in clave_cif, when it opens here and is usable text.
std::optional<std::string> stored_password(const json& doc) {
    auto it = doc.find("clave_cif");
    if (it == doc.end() || !it->is_string()) return std::nullopt;
    const auto blob = from_hex(it->get_ref<const std::string&>());
    if (!blob || blob->empty()) return std::nullopt;
    auto clear = platform::unprotect_for_user(*blob);
    if (!clear || clear->empty() || !is_valid_utf8(*clear)) return std::nullopt;
    return clear;
}

} // namespace

std::string support_id_from_bytes(const std::array<unsigned char, 16>& b) {
    std::uint64_t n = 0;
    for (int i = 0; i < 8; ++i)
        n = (n << 8) | b[i];
    return std::to_string(n % 900000000 + 100000000);
}

std::string pretty_id(std::string_view id) {
    if (id.size() != 9) return std::string(id);
    return std::string(id.substr(0, 3)) + " " + std::string(id.substr(3, 3)) + " " +
           std::string(id.substr(6, 3));
}

IdentityStore::IdentityStore(std::filesystem::path dir) : dir_(std::move(dir)) {
    load();
}

void IdentityStore::log(std::string_view line) const {
    write_log_to(dir_, line);
}

void IdentityStore::load() {
    std::lock_guard lock(mutex_);
    json doc = load_json_file_in(dir_, kIdentityFile).value_or(json::object());
    if (!doc.is_object()) doc = json::object();
    id_ = http::text_field(doc, "id");
    key_ = http::text_field(doc, "llave");
    const auto password = stored_password(doc);
    const bool valid = is_support_id(id_) && key_.size() >= kMinStoredKeyBytes;
    if (valid && password) {
        password_ = *password;
        return;
    }
    if (!valid) {
        id_ = support_id_from_bytes(random_array<16>());
        key_ = new_identity_key();
        log("[ID] ID nuevo para esta PC: " + id_);
    }
    if (password) {
        password_ = *password;
    } else {
        log("[ID] la app asignó la contraseña de esta PC");
        password_ = generate_password();
    }
    save_locked();
}

bool IdentityStore::save_locked() {
    std::string sealed;
    if (auto blob = platform::protect_for_user(password_))
        sealed = to_hex(blob->data(), blob->size());
    const json doc = {{"_nota", file_note(platform::host_os())},
                      {"clave_cif", sealed},
                      {"creada", time_stamp_now()},
                      {"id", id_},
                      {"llave", key_}};
    return save_json_file_in(dir_, kIdentityFile, doc);
}

std::string IdentityStore::id() const {
    std::lock_guard lock(mutex_);
    return id_;
}

json IdentityStore::identity_reply() const {
    std::lock_guard lock(mutex_);
    return {{"id", id_}, {"id_bonito", pretty_id(id_)}, {"llave", key_}, {"clave", password_}};
}

json IdentityStore::new_id() {
    std::string id;
    {
        std::lock_guard lock(mutex_);
        id_ = support_id_from_bytes(random_array<16>());
        key_ = new_identity_key();
        save_locked();
        id = id_;
    }
    log("[ID] se creó un ID nuevo: " + id);
    return http::ok_reply();
}

json IdentityStore::new_password() {
    log("[ID] la app asignó una contraseña nueva (a mano)");
    std::lock_guard lock(mutex_);
    password_ = generate_password();
    save_locked();
    return {{"ok", true}, {"clave", password_}};
}

json IdentityStore::set_password(std::string_view typed) {
    const std::string password = trim_white_space(typed);
    if (auto why = password_refusal(password)) return http::refusal(*why);
    json reply;
    {
        std::lock_guard lock(mutex_);
        // When the file can't be written the new password still holds for this run.
        password_ = password;
        if (save_locked()) reply = {{"ok", true}, {"clave", password_}};
    }
    if (reply.is_null()) return http::refusal("No se pudo guardar la contraseña.");
    log("[ID] la persona cambió la contraseña de esta PC");
    return reply;
}

json IdentityStore::verify(std::string_view supplied) {
    const std::string candidate = trim_white_space(supplied);
    bool match;
    {
        std::lock_guard lock(mutex_);
        match = password_matches(password_, candidate);
    }
    if (!match) log("[SESION] alguien intentó entrar con una contraseña equivocada");
    return {{"ok", match}};
}

} // namespace kelvora::records
