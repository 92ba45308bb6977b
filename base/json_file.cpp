#include "base/json_file.hpp"

#include <fstream>
#include <sstream>

#include "base/text.hpp"
#include "platform/system.hpp"

namespace kelvora {

std::string to_compact(const json& v) {
    return v.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string to_pretty(const json& v) {
    return v.dump(2, ' ', false, json::error_handler_t::replace);
}

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
    return platform::write_file_durably(file, data);
}

bool save_file_atomically(const std::filesystem::path& file, std::string_view data) {
    auto tmp = file;
    tmp.replace_extension(".tmp");
    if (platform::write_file_durably(tmp, data) && platform::replace_file(tmp, file)) return true;
    std::error_code ec;
    if (!std::filesystem::is_directory(tmp, ec)) std::filesystem::remove(tmp, ec);
    return false;
}

bool save_json_file_in(const std::filesystem::path& dir, const std::string& file_name,
                       const json& value) {
    return save_file_atomically(dir / u8path(file_name), to_pretty(value));
}

std::optional<json> load_json_file_in(const std::filesystem::path& dir,
                                      const std::string& file_name) {
    auto text = read_file(dir / u8path(file_name));
    if (!text) return std::nullopt;
    return parse_json(*text);
}

} // namespace kelvora
