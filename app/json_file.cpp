#include "app/json_file.hpp"

#include <fstream>
#include <sstream>

#include "app/data_dir.hpp"
#include "app/text.hpp"
#include "platform/system.hpp"

namespace kelvora {

std::string to_compact(const json& v) {
    return v.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string to_pretty(const json& v) { return v.dump(2, ' ', false, json::error_handler_t::replace); }

std::optional<json> parse_json(std::string_view text) {
    if (!is_valid_utf8(text)) return std::nullopt;
    json v = json::parse(text, nullptr, false);
    if (v.is_discarded()) return std::nullopt;
    return v;
}

std::optional<std::string> read_file(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return std::move(ss).str();
}

bool write_file(const std::filesystem::path& file, std::string_view data) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    return !out.fail();
}

bool save_json_file_in(const std::filesystem::path& dir, const std::string& file_name,
                       const json& value) {
    const auto target = dir / u8path(file_name);
    auto tmp = target;
    tmp.replace_extension(".tmp");
    if (!write_file(tmp, to_pretty(value))) return false;
    return platform::replace_file(tmp, target);
}

std::optional<json> load_json_file_in(const std::filesystem::path& dir,
                                      const std::string& file_name) {
    auto text = read_file(dir / u8path(file_name));
    if (!text) return std::nullopt;
    return parse_json(*text);
}

bool save_json_file(const std::string& file_name, const json& value) {
    return save_json_file_in(data_directory(), file_name, value);
}

std::optional<json> load_json_file(const std::string& file_name) {
    return load_json_file_in(data_directory(), file_name);
}

} // namespace kelvora
