#pragma once
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

// Writes value through "<name without extension>.tmp" renamed over the file, so a reader
// sees the old document or the new one, never a torn one. True when both steps worked.
bool save_json_file_in(const std::filesystem::path& dir, const std::string& file_name,
                       const json& value);
// Missing, unreadable or unparsable gives nothing.
std::optional<json> load_json_file_in(const std::filesystem::path& dir,
                                      const std::string& file_name);

// The same in the data directory.
bool save_json_file(const std::string& file_name, const json& value);
std::optional<json> load_json_file(const std::string& file_name);

// Whole-file helpers used by the state files.
std::optional<std::string> read_file(const std::filesystem::path& file);
bool write_file(const std::filesystem::path& file, std::string_view data);

} // namespace kelvora
