#pragma once
// What the updater is doing, shown by the update screen, and its record in
// actualizacion.json.
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "base/json_file.hpp"

namespace kelvora::update {

// The version this program reports and the key its updates must be signed with. Release
// builds use release_trust(); a test build's own entry point may hand another.
struct Trust {
    std::string version;
    std::string public_key_hex;
};
Trust release_trust();

// Seconds since 1970-01-01 UTC, 0 when the clock reads before that.
std::uint64_t now_seconds();

class UpdateState {
public:
    UpdateState(std::filesystem::path data_dir, Trust trust);

    const Trust& trust() const { return trust_; }
    const std::filesystem::path& data_dir() const { return dir_; }

    // "checking", "downloading", "verifying", "waiting" or "installing".
    bool busy() const;
    // Moves to phase only when nothing is busy, as one step; false when something was.
    bool begin(const std::string& phase, const std::string& msg);
    void set_phase(const std::string& phase, int pct, const std::string& msg);
    void set_latest(const json& manifest);
    std::optional<json> latest() const;

    // actualizacion.json, changed one member at a time so others survive.
    json record() const;
    void set_record(const std::string& member, const json& value) const;
    // Several members in one write, so that a reader never sees half of a change.
    void set_records(const json& members) const;

    // The status object; auto_check is the `buscar_actualizaciones` switch, channel the
    // manifest address in use, can_install the program folder's write probe.
    json status(bool auto_check, const std::string& channel, bool can_install) const;
    // latest exists, its version is text, and it is newer than ours.
    bool available() const;

private:
    std::filesystem::path dir_;
    Trust trust_;
    mutable std::mutex mutex_;
    std::string phase_ = "idle";
    int pct_ = 0;
    std::string msg_;
    std::optional<json> latest_;
};

} // namespace kelvora::update
