#include "publish/published_folder.hpp"

#include <fstream>
#include <system_error>

#include "base/text.hpp"

namespace kelvora::publish {

namespace fs = std::filesystem;

FileBytes read_bounded(const fs::path& file, std::uintmax_t max) {
    std::error_code ec;
    if (!fs::exists(file, ec)) return {};
    const auto size = fs::file_size(file, ec);
    if (ec) return {std::nullopt, "no se pudo leer " + path_utf8(file) + ": " + ec.message()};
    if (size > max)
        return {std::nullopt, path_utf8(file) + " pasa de " + std::to_string(max) + " bytes"};
    std::ifstream in(file, std::ios::binary);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size())))
        return {std::nullopt, "no se pudo leer " + path_utf8(file)};
    return {std::move(bytes), ""};
}

std::string write_published(const fs::path& file, std::string_view bytes) {
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    if (ec) return "no se pudo crear " + path_utf8(file.parent_path()) + ": " + ec.message();
    const fs::path tmp = file.string() + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) {
            fs::remove(tmp, ec);
            return "no se pudo escribir " + path_utf8(tmp);
        }
    }
    fs::rename(tmp, file, ec);
    if (ec) {
        const std::string why = ec.message();
        fs::remove(tmp, ec);
        return "no se pudo escribir " + path_utf8(file) + ": " + why;
    }
    return "";
}

} // namespace kelvora::publish
