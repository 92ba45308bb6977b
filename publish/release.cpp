#include "publish/release.hpp"

#include <chrono>
#include <vector>

#include "base/json_file.hpp"
#include "base/text.hpp"
#include "base/version.hpp"
#include "publish/build_record.hpp"
#include "publish/channel_check.hpp"
#include "publish/channels.hpp"
#include "publish/package_zip.hpp"
#include "publish/published_folder.hpp"
#include "publish/release_notes.hpp"
#include "publish/signing_key.hpp"
#include "update/manifest.hpp"
#include "update/signature.hpp"

namespace kelvora::publish {

namespace fs = std::filesystem;

namespace {

// Release notes are a few pages of Markdown.
constexpr std::uintmax_t kMaxNotes = 1'000'000;

std::uint64_t now_seconds() {
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
    return s < 0 ? 0 : static_cast<std::uint64_t>(s);
}

// What out publishes now: the highest version and publication time of its channels.
struct Published {
    std::string version;
    std::uint64_t time = 0;
    std::string error;
};

Published published_now(const fs::path& out, const std::string& key_hex) {
    Published p;
    for (const auto& ch : channels()) {
        const fs::path file = out / ch.manifest_path();
        const auto doc = read_bounded(file, update::kManifestLimit);
        if (!doc.error.empty()) return {"", 0, doc.error};
        if (!doc.bytes) continue;
        const auto c = check_manifest(ch, *doc.bytes, key_hex);
        if (!c.error.empty())
            return {"", 0, path_utf8(file) + " ya publica una versión que esta llave no firmó o "
                           "que no se entiende (" + c.error + "): ¿es la carpeta o la llave "
                           "equivocada?"};
        const std::string v = c.manifest["version"];
        if (p.version.empty() || update::newer_version(v, p.version)) p.version = v;
        p.time = std::max(p.time, c.manifest.value("published", std::uint64_t{0}));
    }
    return p;
}

struct Built {
    const Channel* channel;
    std::string package_name, package, document;
};

// Reads a program and checks that it is this version of Kelvora for ch, trusting key_hex.
std::string program_error(const Channel& ch, const fs::path& file, const std::string& version,
                          const std::string& key_hex, std::string& bytes) {
    const std::string shown = path_utf8(file);
    auto read = read_bounded(file, update::kMaxPackageSize);
    if (!read.error.empty()) return read.error;
    if (!read.bytes) return "no existe " + shown;
    bytes = std::move(*read.bytes);
    if (!bytes.starts_with(ch.kind.magic))
        return shown + " no es el programa de " + ch.name + " (" + ch.kind.shown_name + ")";
    const auto record = read_build_record(bytes, shown);
    if (!record.error.empty()) return record.error;
    if (record.version != version)
        return shown + " es la v" + record.version + ", no la v" + version +
               ": compílalo con la versión nueva en base/version.hpp";
    if (record.key_hex != key_hex)
        return shown + " acepta otra llave de actualizaciones (" + record.key_hex +
               "), no la de esta llave (" + key_hex + "): compílalo con -DKELVORA_UPDATE_KEY=" +
               key_hex + " («make release» lo hace)";
    return "";
}

} // namespace

std::string make_release(const ReleaseRequest& r, const Say& say) {
    if (!update::is_release_version(r.version))
        return "la versión debe ser de tres números separados por puntos (como 1.3.2), no «" +
               r.version + "»";
    std::string base = r.base_url;
    if (!base.ends_with('/')) base += '/';
    if (!update::allowed_address(base + "version.json", base + "version.json"))
        return "la dirección de publicación debe empezar con https:// (o ser http://127.0.0.1:"
               "<puerto>/ para pruebas), no «" + r.base_url + "»";
    const SigningKey key = load_signing_key(r.key_folder);
    if (!key.error.empty()) return key.error;
    const std::string key_hex = key.public_hex();

    const Published before = published_now(r.out, key_hex);
    if (!before.error.empty()) return before.error;
    if (!before.version.empty() && !update::newer_version(r.version, before.version))
        return "la v" + r.version + " no es más nueva que la v" + before.version +
               " que ya publica " + path_utf8(r.out) + ": las copias instaladas no la tomarían";

    std::vector<std::string> programs;
    for (const auto& ch : channels()) {
        const auto it = r.programs.find(ch.name);
        if (it == r.programs.end()) return "falta el programa de " + ch.name;
        std::string bytes;
        if (auto e = program_error(ch, it->second, r.version, key_hex, bytes); !e.empty()) return e;
        programs.push_back(std::move(bytes));
    }

    const auto notes = read_bounded(r.notes, kMaxNotes);
    if (!notes.error.empty()) return notes.error;
    if (!notes.bytes) return "no existen las notas de la versión " + path_utf8(r.notes);
    const Changes changes = changes_up_to(*notes.bytes, r.version);
    if (!changes.error.empty()) return changes.error;

    // Programs refuse a manifest older than one they accepted: a clock behind the last
    // release would publish one nobody takes.
    const std::uint64_t published = now_seconds();
    if (published <= before.time)
        return "el reloj de esta máquina marca una hora anterior a la de la versión publicada: "
               "corrígelo antes de publicar";

    std::vector<Built> built;
    for (std::size_t i = 0; i < channels().size(); ++i) {
        const Channel& ch = channels()[i];
        Built b{&ch, ch.package_name(r.version), "", ""};
        auto zipped = zip_program(ch.kind.shown_name, programs[i], published);
        if (!zipped.error.empty()) return zipped.error;
        if (zipped.bytes.size() > update::kMaxPackageSize)
            return b.package_name + " pasa de " + std::to_string(update::kMaxPackageSize) +
                   " bytes, más de lo que el programa descarga";
        b.package = std::move(zipped.bytes);
        const std::string folder_url = base + ch.kind.channel_folder;
        const json manifest{{"app", kAppName},
                            {"version", r.version},
                            {"size", b.package.size()},
                            {"sha256", update::sha256_hex(b.package)},
                            {"url", folder_url + b.package_name},
                            {"published", published},
                            {"changes", changes.entries}};
        // Signed over the very text the updater rebuilds from the manifest it reads.
        const std::string sig = key.sign(update::signed_text(manifest));
        const auto* s = reinterpret_cast<const unsigned char*>(sig.data());
        b.document = to_pretty(json{{"manifest", manifest}, {"sig", to_hex(s, sig.size())}}) + "\n";
        if (b.document.size() > update::kManifestLimit)
            return "el version.json de " + ch.name + " pasaría de " +
                   std::to_string(update::kManifestLimit) + " bytes: acorta las notas";
        const auto check = check_channel(ch, b.document, key_hex, [&](const std::string& name) {
            return name == b.package_name ? std::optional(b.package) : std::nullopt;
        });
        if (!check.error.empty()) return "la versión armada no pasa la revisión: " + check.error;
        built.push_back(std::move(b));
    }

    // Each package goes before the manifest that names it, so a program never reads a
    // manifest whose package is not there yet.
    for (const auto& b : built) {
        const fs::path folder = (r.out / b.channel->manifest_path()).parent_path();
        if (auto e = write_published(folder / b.package_name, b.package); !e.empty()) return e;
        if (auto e = write_published(r.out / b.channel->manifest_path(), b.document); !e.empty())
            return e;
        say(path_utf8(r.out / b.channel->manifest_path()) + ": v" + r.version + ", " +
            b.package_name);
    }
    return verify_folder(r.out, key_hex, say);
}

std::string verify_folder(const fs::path& out, const std::string& public_key_hex,
                          const Say& say) {
    const std::string key_hex = to_lower_ascii(trim(public_key_hex));
    const auto key = update::decode_hex(key_hex);
    if (!key || key->size() != 32 || !update::usable_public_key(*key))
        return "la llave pública debe tener 64 caracteres hexadecimales";
    std::vector<std::string> bases;
    for (const auto& ch : channels()) {
        const fs::path file = out / ch.manifest_path();
        const auto doc = read_bounded(file, update::kManifestLimit);
        if (!doc.error.empty()) return doc.error;
        if (!doc.bytes) return "falta " + path_utf8(file);
        const fs::path folder = file.parent_path();
        const auto c = check_channel(ch, *doc.bytes, key_hex, [&](const std::string& name) {
            return read_bounded(folder / u8path(name), update::kMaxPackageSize + 1024).bytes;
        });
        if (!c.error.empty()) return c.error;
        say(c.summary);
        // Every channel hangs from the same address as the folder does.
        const std::string url = c.manifest["url"];
        const std::string dir = channel_address_of(url);
        const std::string tail = ch.manifest_path();
        if (!dir.ends_with(tail))
            return "canal " + ch.name + ": su paquete se publica en " + url +
                   ", fuera de la carpeta de este canal";
        bases.push_back(dir.substr(0, dir.size() - tail.size()));
    }
    for (const auto& b : bases)
        if (b != bases.front())
            return "los canales apuntan a direcciones distintas: " + bases.front() + " y " + b;
    return "";
}

} // namespace kelvora::publish
