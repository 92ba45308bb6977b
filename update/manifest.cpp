#include "update/manifest.hpp"

#include "base/text.hpp"
#include "base/version.hpp"
#include "update/signature.hpp"

namespace kelvora::update {

namespace {

constexpr std::string_view kLocalHttp = "http://127.0.0.1:";

bool starts_with(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// "http://127.0.0.1:" followed by a port number and the end or a path.
bool local_http(std::string_view url) {
    if (!starts_with(url, kLocalHttp)) return false;
    const auto rest = url.substr(kLocalHttp.size());
    const auto end = rest.find('/');
    const auto port = rest.substr(0, end);
    return !port.empty() && port.find_first_not_of("0123456789") == std::string_view::npos &&
           port.size() <= 5;
}

std::optional<std::uint64_t> version_part(std::string_view part) {
    if (part.empty() || part.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    return parse_unsigned(part, UINT32_MAX);
}

std::vector<std::string_view> split_dots(std::string_view v) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto dot = v.find('.');
        parts.push_back(v.substr(0, dot));
        if (dot == std::string_view::npos) return parts;
        v.remove_prefix(dot + 1);
    }
}

bool package_size_ok(const json& size) {
    if (size.is_number_unsigned())
        return size.get<std::uint64_t>() >= 1 && size.get<std::uint64_t>() <= kMaxPackageSize;
    if (size.is_number_integer()) {
        const auto n = size.get<std::int64_t>();
        return n >= 1 && static_cast<std::uint64_t>(n) <= kMaxPackageSize;
    }
    return false;
}

// Printing or checking a value walks it recursively; a hostile document nested a million
// levels deep must be refused before that.
bool shallow(const json& v, int depth) {
    if (depth > 64) return false;
    if (v.is_structured())
        for (const auto& child : v)
            if (!shallow(child, depth + 1)) return false;
    return true;
}

} // namespace

std::string channel_address(std::string_view setting) {
    if (starts_with(setting, "https://") || local_http(setting)) return std::string(setting);
    return std::string(kProductSite) + "kelvora/version.json";
}

bool allowed_address(std::string_view url, std::string_view channel) {
    if (url.size() <= 7) return false;
    if (starts_with(url, "https://")) return true;
    return local_http(url) && local_http(channel);
}

std::string signed_text(const json& manifest) {
    // nlohmann's objects keep their members in byte order, and its compact output escapes
    // only the quotation mark, the reverse solidus and control characters (\u00xx in lower
    // case), writing every other character as itself. Parsed text is valid UTF-8, so the
    // replacement handler never acts; it only keeps this from ever throwing.
    return manifest.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool is_release_version(const json& v) {
    if (!v.is_string()) return false;
    const auto parts = split_dots(v.get_ref<const std::string&>());
    if (parts.size() != 3) return false;
    for (auto p : parts)
        if (!version_part(p)) return false;
    return true;
}

bool newer_version(std::string_view candidate, std::string_view current) {
    const auto a = split_dots(candidate), b = split_dots(current);
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        const auto x = version_part(a[i]).value_or(0), y = version_part(b[i]).value_or(0);
        if (x != y) return x > y;
    }
    return a.size() > b.size();
}

namespace {

std::optional<std::uint64_t> unsigned_of(const json& obj, const char* name) {
    const auto it = obj.find(name);
    if (it == obj.end() || !it->is_number_integer()) return std::nullopt;
    // A whole number written without a sign parses as unsigned; one built in memory may be
    // signed: both count while they are not negative.
    if (it->is_number_unsigned()) return it->get<std::uint64_t>();
    const auto v = it->get<std::int64_t>();
    if (v < 0) return std::nullopt;
    return static_cast<std::uint64_t>(v);
}

std::optional<std::string> version_of(const json& obj, const char* name) {
    const auto it = obj.find(name);
    if (it == obj.end() || !is_release_version(*it)) return std::nullopt;
    return it->get<std::string>();
}

} // namespace

std::string freshness_error(const json& manifest, const json& record) {
    if (manifest.contains("published") && !unsigned_of(manifest, "published"))
        return "la fecha de publicación no es válida";
    const auto published = unsigned_of(manifest, "published");
    const auto last = unsigned_of(record, "publicado");
    if (published && last && *published < *last)
        return "el archivo de versión es más viejo que el último que se aceptó";
    const auto seen = version_of(record, "version_vista");
    const std::string version = manifest.value("version", "");
    if (seen && newer_version(*seen, version))
        return "el canal ofrece la v" + version + ", más vieja que la v" + *seen +
               " que ya había ofrecido";
    return "";
}

json freshness_record(const json& manifest, const json& record) {
    json out = json::object();
    const auto published = unsigned_of(manifest, "published");
    const auto last = unsigned_of(record, "publicado");
    if (published && (!last || *published > *last)) out["publicado"] = *published;
    const auto seen = version_of(record, "version_vista");
    const std::string version = manifest.value("version", "");
    if (!seen || newer_version(version, *seen)) out["version_vista"] = version;
    return out;
}

ManifestCheck accept_manifest(std::string_view body, std::string_view public_key_hex,
                              std::string_view channel) {
    auto refuse = [](const char* why) { return ManifestCheck{json(), why}; };
    const auto doc = parse_json(body);
    if (!doc || !doc->is_object() || !doc->contains("manifest") ||
        !(*doc)["manifest"].is_object() || !shallow(*doc, 0))
        return refuse("el archivo de versión no es válido");
    const json& m = (*doc)["manifest"];
    const auto sig_member = doc->find("sig");
    std::optional<std::string> sig;
    if (sig_member != doc->end() && sig_member->is_string())
        sig = decode_hex(sig_member->get_ref<const std::string&>());
    if (!sig || sig->size() != 64) return refuse("el archivo de versión no trae firma");
    const auto key = decode_hex(public_key_hex);
    if (!key || !usable_public_key(*key)) return refuse("llave interna inválida");
    if (!verify_ed25519_strict(*key, signed_text(m), *sig))
        return refuse("la firma digital no coincide (no es una versión oficial de Kelvora)");
    if (m.value("app", json()) != "kelvora") return refuse("esa actualización no es de Kelvora");
    if (!is_release_version(m.value("version", json()))) return refuse("número de versión raro");
    const json sha = m.value("sha256", json());
    const auto digest = sha.is_string() ? decode_hex(sha.get_ref<const std::string&>())
                                        : std::optional<std::string>();
    if (!package_size_ok(m.value("size", json())) || !digest || digest->size() != 32)
        return refuse("datos de descarga incompletos");
    const json url = m.value("url", json());
    if (!url.is_string() || !allowed_address(url.get_ref<const std::string&>(), channel))
        return refuse("dirección de descarga no permitida");
    return {m, ""};
}

} // namespace kelvora::update
