#pragma once
// JSON text and the files the program keeps: every state file is replaced whole, through a
// temporary file that reaches the disk before it is renamed over the old one.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kelvora {

using json = nlohmann::json;

// Compact JSON text as replies carry it; text that isn't UTF-8 is replaced, never thrown.
std::string to_compact(const json& v);
// Pretty JSON with a two-space indent, as the state files hold it.
std::string to_pretty(const json& v);
// Parses text; nothing when it isn't valid UTF-8 JSON.
std::optional<json> parse_json(std::string_view text);

// Writes data through "<name without extension>.tmp", synced to the disk and renamed over
// the file, so a reader (or the next start after a power cut) sees the old content or the
// new one, never a torn one. True when every step worked; the old file stays otherwise.
bool save_file_atomically(const std::filesystem::path& file, std::string_view data);

// save_file_atomically with the pretty JSON of value.
bool save_json_file_in(const std::filesystem::path& dir, const std::string& file_name,
                       const json& value);
// Missing, unreadable or unparsable gives nothing.
std::optional<json> load_json_file_in(const std::filesystem::path& dir,
                                      const std::string& file_name);

// The whole content of a file; nothing when it can't be read.
std::optional<std::string> read_file(const std::filesystem::path& file);
// Makes file hold exactly data, in place.
bool write_file(const std::filesystem::path& file, std::string_view data);

} // namespace kelvora
