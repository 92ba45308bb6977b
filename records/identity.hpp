#pragma once
// The PC's support ID, identity key and access password, kept in identidad.json.
#include <array>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

#include "base/json_file.hpp"

namespace kelvora::records {

inline constexpr const char* kIdentityFile = "identidad.json";

// A support ID for 16 random bytes: always 9 digits, never beginning with 0.
std::string support_id_from_bytes(const std::array<unsigned char, 16>& b);
// The support ID as people read it ("123 456 789"); other texts unchanged.
std::string pretty_id(std::string_view id);

// The identity of one data directory. Constructing it loads identidad.json, making and
// saving whatever is missing or invalid; every method is safe to call from many threads.
class IdentityStore {
public:
    explicit IdentityStore(std::filesystem::path dir);

    // The support ID; empty only while the record is unusable.
    std::string id() const;
    // id, id_bonito, llave and clave (in clear, for the person at this PC).
    json identity_reply() const;
    // A new support ID with a new identity key; the password stays.
    json new_id();
    // A new generated password: {"ok":true,"clave":...}.
    json new_password();
    // A password typed by the person: {"ok":true,"clave":...} or a refusal.
    json set_password(std::string_view typed);
    // Whether a technician's password opens this PC: {"ok":<bool>}.
    json verify(std::string_view supplied);

private:
    void load();
    // Writes identidad.json from the record; the caller holds mutex_.
    bool save_locked();
    void log(std::string_view line) const;

    std::filesystem::path dir_;
    mutable std::mutex mutex_; // guards the three values and the file
    std::string id_;
    std::string key_;
    std::string password_;
};

} // namespace kelvora::records
