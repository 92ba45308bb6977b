#include "update/updater.hpp"

#include <chrono>
#include <ctime>
#include <system_error>
#include <thread>

#include "base/text.hpp"
#include "update/download_pipe.hpp"
#include "update/fetch.hpp"
#include "update/manifest.hpp"
#include "update/signature.hpp"
#include "update/system_package.hpp"

namespace kelvora::update {

namespace fs = std::filesystem;

namespace {

std::uint64_t unsigned_member(const json& obj, const char* name) {
    auto it = obj.find(name);
    return it != obj.end() && it->is_number_unsigned() ? it->get<std::uint64_t>() : 0;
}

} // namespace

Updater::Updater(UpdateState& state, const Log& log, UpdaterHooks hooks, InstallHooks install)
    : state_(state), log_(log), hooks_(std::move(hooks)),
      installer_(state, log, std::move(install)),
      by_system_(managed_by_system(running_program(), platform::host_os())) {}

std::string Updater::channel() const {
    return channel_address(hooks_.channel_setting());
}

json Updater::status() const {
    json s = state_.status(hooks_.auto_on(), channel(), can_install_);
    const auto previous = previous_version(state_, program_paths(running_program()));
    s["anterior"] = previous ? json(*previous) : json();
    if (by_system_) s["portable"] = false;
    // Days since a check last succeeded (or since checks began failing, when none ever
    // did): an update channel that is blocked or frozen shows here.
    const json rec = state_.record();
    std::uint64_t since = unsigned_member(rec, "ultima_buena");
    if (!since) since = unsigned_member(rec, "fallando_desde");
    const std::uint64_t now = now_seconds();
    s["dias_sin_buscar"] = since ? json(now > since ? (now - since) / 86400 : 0) : json();
    return s;
}

json Updater::action(const json& body) {
    const auto a = body.is_object() ? body.find("action") : body.end();
    const std::string name = a != body.end() && a->is_string() ? a->get<std::string>() : "";
    auto refuse = [&](const std::string& msg) {
        json s = status();
        s["ok"] = false;
        s["msg"] = msg;
        return s;
    };
    if (by_system_ && (name == "check" || name == "install")) {
        return refuse("Esta copia de Kelvora la instaló el sistema: se actualiza con el "
                      "gestor de paquetes (por ejemplo, «sudo apt upgrade»).");
    } else if (name == "check") {
        // The busy test and the change of phase are one step: two clicks start one check.
        if (state_.begin("checking", "")) std::thread([this] { check(true); }).detach();
    } else if (name == "install") {
        if (state_.busy()) return refuse("Ya se está actualizando.");
        if (!state_.available())
            return refuse(
                "No hay una versión nueva de Kelvora. Presiona «Buscar actualizaciones».");
        // Probed only now, with a name nobody can guess or plant.
        can_install_ = program_folder_writable();
        if (!can_install_)
            return refuse(platform::host_os() == platform::Os::windows
                              ? "Kelvora no puede cambiar su .exe en esta carpeta. Descárgalo "
                                "del sitio o muévelo a otra carpeta (Escritorio, Descargas)."
                              : "Kelvora no puede cambiar su programa en esta carpeta. "
                                "Descárgalo del sitio o muévelo a una carpeta tuya (por "
                                "ejemplo, Descargas).");
        if (!state_.begin("downloading", "Descargando…")) return refuse("Ya se está actualizando.");
        std::thread([this] { install(); }).detach();
    } else if (name == "dismiss") {
        const auto l = state_.latest();
        state_.set_record("dismissed", l ? l->value("version", json()) : json());
    } else if (name == "seen") {
        state_.set_record("result", nullptr);
    } else if (name == "revert") {
        if (state_.busy()) return refuse("Ya se está actualizando.");
        if (installer_.hooks().sessions_open())
            return refuse("Termina primero las sesiones y llamadas abiertas.");
        if (auto why = go_back(state_, log_, installer_.hooks()); !why.empty())
            return refuse(why);
        // The page is answered first; then this copy ends and the previous one takes over.
        std::thread([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            installer_.hooks().update_exit();
        }).detach();
    } else if (name == "auto") {
        const auto on = body.find("on");
        hooks_.save_auto(on != body.end() && on->is_boolean() && on->get<bool>());
    } else {
        return refuse("acción desconocida");
    }
    json s = status();
    s["ok"] = true;
    return s;
}

void Updater::check(bool manual) {
    const std::string canal = channel();
    const std::string current = state_.trust().version;
    ManifestCheck accepted;
    if (!allowed_address(canal, canal)) {
        accepted.error = "dirección no permitida";
    } else {
        const Fetched f = fetch(canal, kManifestLimit, current);
        accepted = f.error.empty() ? accept_manifest(f.body, state_.trust().public_key_hex, canal)
                                   : ManifestCheck{json(), f.error};
    }
    const json rec = state_.record();
    if (accepted.error.empty()) accepted.error = freshness_error(accepted.manifest, rec);
    const std::uint64_t now = now_seconds();
    json members = {{"last_check", now}};
    if (accepted.error.empty()) {
        members.update(freshness_record(accepted.manifest, rec));
        members["ultima_buena"] = now;
        members["fallando_desde"] = nullptr;
    } else if (!unsigned_member(rec, "ultima_buena") && !unsigned_member(rec, "fallando_desde")) {
        members["fallando_desde"] = now;
    }
    state_.set_records(members);
    if (!accepted.error.empty()) {
        log_.write("[ACTUALIZAR] no se pudo buscar: " + accepted.error);
        state_.set_phase(manual ? "error" : "idle", 0,
                         "No se pudo buscar actualizaciones: " + accepted.error);
        return;
    }
    state_.set_latest(accepted.manifest);
    const std::string version = accepted.manifest["version"].get<std::string>();
    log_.write("[ACTUALIZAR] en el canal está la v" + version + " (tengo la v" + current + ")");
    if (newer_version(version, current)) {
        state_.set_phase(manual ? "done" : "idle", 0, "Hay una versión nueva: v" + version);
        const json dismissed = state_.record().value("dismissed", json());
        if (!manual && !(dismissed.is_string() && dismissed.get<std::string>() == version))
            hooks_.notify("Hay una versión nueva de Kelvora (v" + version +
                          "). Ábrelo para actualizar.");
    } else {
        state_.set_phase(manual ? "done" : "idle", 0,
                         "Tienes la versión más reciente (v" + current + ").");
    }
}

void Updater::install() {
    const auto latest = state_.latest();
    if (!latest) {
        state_.set_phase("idle", 0, "");
        return;
    }
    const std::string version =
        latest->value("version", json()).is_string() ? (*latest)["version"].get<std::string>() : "";
    const std::uint64_t size = unsigned_member(*latest, "size");
    const std::string url =
        latest->value("url", json()).is_string() ? (*latest)["url"].get<std::string>() : "";
    log_.write("[ACTUALIZAR] descargando la v" + version + " de " + url);
    const std::string msg = "descargando la v" + version + "…";
    state_.set_phase("downloading", 0, msg);
    if (!allowed_address(url, channel()))
        return installer_.report_failure(version, "dirección no permitida");
    // Hashed and unpacked while it arrives, on a thread of their own, the program straight
    // into its staged file: the checks after the download find their work done. What was
    // unpacked is only taken once the hash of every byte matched.
    StageClock clock;
    auto streamed = stage_program();
    ProgramStream::Sink sink;
    if (streamed) sink = [&w = *streamed](std::string_view block) { return w.write(block); };
    DownloadPipe pipe(this_program_kind(), 2 * kMaxPackageSize, std::move(sink));
    Fetched f = fetch(url, size + 1024, state_.trust().version,
                      [&](std::string_view so_far, std::uint64_t length) {
                          pipe.arrived(so_far);
                          const std::uint64_t whole = length ? length : size ? size : 1;
                          const auto pct = std::min<std::uint64_t>(so_far.size() * 100 / whole, 99);
                          state_.set_phase("downloading", static_cast<int>(pct), msg);
                      });
    if (!f.error.empty()) {
        pipe.abandon();
        return installer_.report_failure(version, f.error);
    }
    clock.lap("descarga");
    const std::string sha256 =
        pipe.finish(f.body, to_lower_ascii(latest->value("sha256", json()).is_string()
                                               ? (*latest)["sha256"].get<std::string>()
                                               : std::string()));
    clock.lap("huella");
    installer_.install_package(std::move(f.body), *latest, sha256, std::move(streamed),
                               std::move(clock));
}

void Updater::start_automatic_checks() {
    if (by_system_) return;
    std::thread([this] {
        std::this_thread::sleep_for(std::chrono::seconds(12));
        for (;;) {
            // A time stamp from the future (a clock set back, an edited file) counts as old:
            // else no automatic check would run until the clock caught up with it.
            const std::uint64_t last = unsigned_member(state_.record(), "last_check");
            const std::uint64_t now = now_seconds();
            if (hooks_.auto_on() && (now < last || now - last > 72'000) &&
                state_.begin("checking", ""))
                check(false);
            std::this_thread::sleep_for(std::chrono::hours(1));
        }
    }).detach();
}

} // namespace kelvora::update
