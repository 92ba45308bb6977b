#include "publish/build_record.hpp"

#include "update/manifest.hpp"
#include "update/update_key.hpp"

namespace kelvora::publish {

namespace {

// The record that starts at program[at], or nothing when the bytes there only look
// like the start of one.
std::optional<BuildRecord> record_at(std::string_view program, std::size_t at) {
    std::string_view rest = program.substr(at + update::kBuildRecordStart.size());
    const auto key_at = rest.substr(0, 64).find(update::kBuildRecordKey);
    if (key_at == std::string_view::npos) return std::nullopt;
    const std::string version(rest.substr(0, key_at));
    if (!update::is_release_version(version)) return std::nullopt;
    rest.remove_prefix(key_at + update::kBuildRecordKey.size());
    if (rest.size() < update::kUpdateKeyHexSize + 1 || rest[update::kUpdateKeyHexSize] != '\0')
        return std::nullopt;
    const std::string key(rest.substr(0, update::kUpdateKeyHexSize));
    if (key.find_first_not_of("0123456789abcdef") != std::string::npos) return std::nullopt;
    return BuildRecord{version, key, ""};
}

} // namespace

BuildRecord read_build_record(std::string_view program, const std::string& shown_name) {
    std::optional<BuildRecord> found;
    for (auto at = program.find(update::kBuildRecordStart); at != std::string_view::npos;
         at = program.find(update::kBuildRecordStart, at + 1)) {
        auto r = record_at(program, at);
        if (!r) continue;
        if (found && (found->version != r->version || found->key_hex != r->key_hex))
            return {"", "", shown_name + " trae dos marcas de compilación distintas: no se sabe "
                            "qué llave acepta"};
        found = std::move(r);
    }
    if (!found)
        return {"", "", shown_name + " no trae la marca de compilación de Kelvora (versión y "
                        "llave de actualizaciones): ¿es un programa de Kelvora compilado con "
                        "este árbol?"};
    return *found;
}

} // namespace kelvora::publish
