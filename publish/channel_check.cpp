#include "publish/channel_check.hpp"

#include <chrono>
#include <cstdio>

#include "base/text.hpp"
#include "publish/build_record.hpp"
#include "update/manifest.hpp"
#include "update/signature.hpp"

namespace kelvora::publish {

namespace {

ChannelCheck failed(const Channel& ch, const std::string& why) {
    return {json(), "", "canal " + ch.name + ": " + why};
}

std::string utc_text(std::uint64_t since_1970) {
    using namespace std::chrono;
    const sys_seconds t{seconds(static_cast<std::int64_t>(since_1970))};
    const auto day = floor<days>(t);
    const year_month_day ymd{day};
    const hh_mm_ss hms{t - day};
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02ld:%02ld:%02ld UTC", int(ymd.year()),
                  unsigned(ymd.month()), unsigned(ymd.day()), long(hms.hours().count()),
                  long(hms.minutes().count()), long(hms.seconds().count()));
    return buf;
}

} // namespace

std::string channel_address_of(std::string_view package_url) {
    const auto slash = package_url.rfind('/');
    return std::string(package_url.substr(0, slash == std::string_view::npos ? 0 : slash + 1)) +
           "version.json";
}

ChannelCheck check_manifest(const Channel& ch, std::string_view document,
                            const std::string& public_key_hex) {
    // The updater judges the package address against its channel's; here the channel is
    // wherever the package lies beside it.
    std::string url;
    if (auto doc = parse_json(document); doc && doc->is_object())
        if (auto m = doc->find("manifest"); m != doc->end() && m->is_object())
            if (auto u = m->find("url"); u != m->end() && u->is_string()) url = *u;
    auto accepted = update::accept_manifest(document, public_key_hex, channel_address_of(url));
    if (!accepted.error.empty()) return failed(ch, accepted.error);
    const json& m = accepted.manifest;
    const auto published = m.find("published");
    if (published != m.end() && !published->is_number_unsigned())
        return failed(ch, "«published» no es un número entero de segundos");
    ChannelCheck ok{m, "", ""};
    ok.summary = "canal " + ch.name + ": v" + m["version"].get<std::string>();
    if (published != m.end()) ok.summary += ", publicada " + utc_text(published->get<std::uint64_t>());
    return ok;
}

ChannelCheck check_channel(const Channel& ch, std::string_view document,
                           const std::string& public_key_hex, const PackageReader& package) {
    ChannelCheck c = check_manifest(ch, document, public_key_hex);
    if (!c.error.empty()) return c;
    const json& m = c.manifest;
    const std::string url = m["url"];
    const std::string name = url.substr(url.rfind('/') + 1);
    if (name.empty() || name == "." || name == "..")
        return failed(ch, "la dirección del paquete no termina en un nombre de archivo: " + url);
    const auto bytes = package(name);
    if (!bytes) return failed(ch, "falta " + name + " junto a su version.json");
    // The updater's own order: size and hash, then the entry, then its first bytes.
    if (bytes->size() != m["size"].get<std::uint64_t>() ||
        update::sha256_hex(*bytes) != to_lower_ascii(m["sha256"].get<std::string>()))
        return failed(ch, name + ": la descarga llegó incompleta o alterada (no coincide su "
                          "huella SHA-256)");
    const auto entry = update::read_program_entry(*bytes, ch.kind, 2 * update::kMaxPackageSize);
    if (!entry.error.empty()) return failed(ch, name + ": " + entry.error);
    const auto record = read_build_record(entry.content, ch.kind.shown_name);
    if (!record.error.empty()) return failed(ch, name + ": " + record.error);
    const std::string version = m["version"];
    if (record.version != version)
        return failed(ch, name + " trae la v" + record.version + ", no la v" + version +
                          " que anuncia: el programa no pasaría su prueba al instalarse");
    if (record.key_hex != public_key_hex)
        return failed(ch, name + " trae un programa que acepta otra llave (" + record.key_hex +
                          "): después de instalarlo ya no aceptaría versiones firmadas con esta");
    c.summary += ", " + name + " (" + std::to_string(bytes->size()) + " bytes, SHA-256 " +
                 m["sha256"].get<std::string>() + "), firma válida";
    return c;
}

} // namespace kelvora::publish
