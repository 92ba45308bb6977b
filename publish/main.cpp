// kelvora-publish: the publisher's key, releases and their check. See the README's
// "Publicar una versión".
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "base/text.hpp"
#include "publish/release.hpp"
#include "publish/signing_key.hpp"
#include "update/manifest.hpp"

namespace {

using namespace kelvora;
using namespace kelvora::publish;

constexpr const char* kUsage = R"(Uso:
  kelvora-publish keygen CARPETA
      Crea una llave de publicación nueva en CARPETA (que no debe existir): la llave
      privada solo para tu usuario, nunca mostrada, y la pública, que se imprime tal como
      la toma la compilación (-DKELVORA_UPDATE_KEY=...).
  kelvora-publish public-key CARPETA
      Imprime la llave pública de la llave en CARPETA.
  kelvora-publish release --key CARPETA --version X.Y.Z --notes NOTAS.md
                          --linux PROGRAMA --windows PROGRAMA.exe --out PUBLICADA
                          [--url https://sitio/ruta/]
      Arma en PUBLICADA los paquetes y los version.json firmados de cada canal
      (version.json y Kelvora-X.Y.Z-windows.zip; linux/version.json y
      linux/kelvora-X.Y.Z-linux.zip). PUBLICADA se sirve tal cual en --url (por omisión,
      la dirección donde los programas buscan sus actualizaciones).
  kelvora-publish verify PUBLICADA (--key CARPETA | --public-key HEX)
      Revisa PUBLICADA como la revisarán los programas instalados.
)";

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

int refuse(const std::string& why) {
    std::fprintf(stderr, "kelvora-publish: %s\n", why.c_str());
    return 1;
}

int usage(const std::string& why) {
    std::fprintf(stderr, "kelvora-publish: %s\n\n%s", why.c_str(), kUsage);
    return 2;
}

// "--name value" pairs after the command; a positional argument goes under "".
struct Args {
    std::map<std::string, std::string> values;
    std::string error;
};

Args read_args(const std::vector<std::string>& args, const std::vector<std::string>& known) {
    Args a;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i].starts_with("--") ? args[i].substr(2) : "";
        if (!name.empty() && std::find(known.begin(), known.end(), name) == known.end()) {
            a.error = "opción desconocida: " + args[i];
            return a;
        }
        if (!name.empty() && ++i == args.size()) {
            a.error = "falta el valor de --" + name;
            return a;
        }
        if (a.values.count(name)) {
            a.error = name.empty() ? "sobra «" + args[i] + "»" : "--" + name + " va una sola vez";
            return a;
        }
        a.values[name] = args[i];
    }
    return a;
}

int keygen(const Args& a) {
    if (!a.values.count("") || a.values.size() != 1) return usage("keygen lleva una carpeta");
    const SigningKey k = create_signing_key(u8path(a.values.at("")));
    if (!k.error.empty()) return refuse(k.error);
    std::fprintf(stderr,
                 "Llave nueva en %s: %s solo la puede leer tu usuario; guarda una copia de "
                 "respaldo en un lugar seguro. La llave pública (para -DKELVORA_UPDATE_KEY):\n",
                 a.values.at("").c_str(), kPrivateKeyFile);
    say(k.public_hex());
    return 0;
}

int public_key(const Args& a) {
    if (!a.values.count("") || a.values.size() != 1) return usage("public-key lleva una carpeta");
    const SigningKey k = load_signing_key(u8path(a.values.at("")));
    if (!k.error.empty()) return refuse(k.error);
    say(k.public_hex());
    return 0;
}

int release(const Args& a) {
    for (const char* required : {"key", "version", "notes", "linux", "windows", "out"})
        if (!a.values.count(required)) return usage(std::string("falta --") + required);
    if (a.values.count("")) return usage("sobra «" + a.values.at("") + "»");
    ReleaseRequest r;
    r.key_folder = u8path(a.values.at("key"));
    r.version = a.values.at("version");
    r.notes = u8path(a.values.at("notes"));
    r.programs = {{"linux", u8path(a.values.at("linux"))}, {"windows", u8path(a.values.at("windows"))}};
    r.out = u8path(a.values.at("out"));
    r.base_url = a.values.count("url") ? a.values.at("url") : update::maker_update_folder();
    if (auto e = make_release(r, say); !e.empty()) return refuse(e);
    say("Listo: sube " + a.values.at("out") + " tal cual a " + r.base_url);
    return 0;
}

int verify(const Args& a) {
    if (!a.values.count("")) return usage("verify lleva la carpeta publicada");
    if (a.values.count("key") == a.values.count("public-key"))
        return usage("verify lleva --key o --public-key");
    std::string key_hex;
    if (a.values.count("key")) {
        const SigningKey k = load_signing_key(u8path(a.values.at("key")));
        if (!k.error.empty()) return refuse(k.error);
        key_hex = k.public_hex();
    } else {
        key_hex = a.values.at("public-key");
    }
    if (auto e = verify_folder(u8path(a.values.at("")), key_hex, say); !e.empty()) return refuse(e);
    say("La carpeta pasa la revisión de los programas.");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> all(argv + 1, argv + argc);
    if (all.empty() || all[0] == "--help" || all[0] == "-h") {
        std::printf("%s", kUsage);
        return all.empty() ? 2 : 0;
    }
    const std::string command = all[0];
    const std::vector<std::string> rest(all.begin() + 1, all.end());
    if (command == "keygen" || command == "public-key") {
        const Args a = read_args(rest, {});
        if (!a.error.empty()) return usage(a.error);
        return command == "keygen" ? keygen(a) : public_key(a);
    }
    if (command == "release") {
        const Args a = read_args(rest, {"key", "version", "notes", "linux", "windows", "out", "url"});
        return a.error.empty() ? release(a) : usage(a.error);
    }
    if (command == "verify") {
        const Args a = read_args(rest, {"key", "public-key"});
        return a.error.empty() ? verify(a) : usage(a.error);
    }
    return usage("orden desconocida: " + command);
}
