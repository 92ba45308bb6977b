#pragma once
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

#include "base/json_file.hpp"

namespace kelvora {

// The switch rule: off only for "0", "no", "off" or "false" (trimmed, any case).
bool setting_is_on(std::string_view text);

// The settings object with every default and no file.
json default_settings();
// The defaults overlaid with the text of kelvora.ini (text that isn't UTF-8 gives the
// defaults).
json parse_settings_text(std::string_view text);
// kelvora.ini as the program writes it.
std::string settings_file_text(const json& settings);

// The settings object of one data directory: loaded once, copied out to readers, and
// replaced whole after each change has reached the disk.
class SettingsStore {
public:
    explicit SettingsStore(std::filesystem::path dir);

    json snapshot() const;
    std::string read(std::string_view section, std::string_view key) const;
    // Merges a change from the web client; the reply object of POST /api/ajustes.
    json save(const json& changes);

private:
    std::filesystem::path dir_;
    mutable std::mutex mutex_; // guards settings_
    std::mutex save_mutex_;    // one save at a time, so overlapping saves keep each other's keys
    json settings_;
};

// The signalling server's base address, never ending in "/".
std::string server_address(const SettingsStore& settings);
// The name this PC shows to others: the `nombre` setting, else the computer's name.
std::string display_name(const SettingsStore& settings);

} // namespace kelvora
