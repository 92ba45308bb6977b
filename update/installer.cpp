#include "update/installer.hpp"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "base/text.hpp"
#include "platform/process.hpp"
#include "platform/program_file.hpp"
#include "platform/system.hpp"
#include "platform/tray.hpp"
#include "update/manifest.hpp"
#include "update/package.hpp"
#include "update/signature.hpp"

namespace kelvora::update {

namespace fs = std::filesystem;

namespace {

bool windows() {
    return platform::host_os() == platform::Os::windows;
}

void remove_quietly(const fs::path& p) {
    std::error_code ec;
    fs::remove(p, ec);
}

bool present(const fs::path& p) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(p, ec));
}

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The second word of what `--version` printed, split at white space.
std::string second_word(const std::string& text) {
    std::vector<std::string> words;
    std::string w;
    for (char c : text + " ") {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
            if (!w.empty()) words.push_back(std::move(w));
            w.clear();
        } else {
            w.push_back(c);
        }
    }
    return words.size() >= 2 ? words[1] : std::string();
}

} // namespace

namespace {

// Read once, at start. Windows keeps naming the running program by the name it was started
// from, even after that file has been renamed (a swap cut short, taken back by its name at
// start), and Linux names it "<path> (deleted)" once a swap has replaced it: asked later,
// the OS would send a second update or the way back to the wrong file.
fs::path& program_file_slot() {
    static fs::path program = [] {
        const std::string exe = platform::executable_path();
        if (!exe.empty()) return u8path(exe);
        return windows() ? fs::path("Kelvora.exe") : fs::path("kelvora");
    }();
    return program;
}

} // namespace

fs::path running_program() {
    return program_file_slot();
}

ProgramPaths program_paths(const fs::path& exe) {
    const fs::path dir = exe.parent_path();
    std::string stem = path_utf8(windows() ? exe.stem() : exe.filename());
    if (stem.empty()) stem = "Kelvora";
    const std::string ext = windows() ? ".exe" : "";
    return {exe, dir / u8path(stem + ".old" + ext), dir / u8path(stem + ".new" + ext)};
}

namespace {

SwapProbe swap_probe;

void swap_step(std::string_view step) {
    if (swap_probe) swap_probe(step);
}

// Whether the staged file, read through the handle we hold, still has the fingerprint it
// was written with.
bool holds(platform::StagedFile& file, const std::string& digest) {
    ContentHash h;
    return file.read([&](std::string_view block) { h.update(block); }) && h.digest() == digest;
}

} // namespace

void set_swap_probe(SwapProbe probe) {
    swap_probe = std::move(probe);
}

std::unique_ptr<StagedWrite> stage_program() {
    const ProgramPaths paths = program_paths(running_program());
    remove_quietly(paths.staged);
    auto file = platform::create_staged_file(paths.staged, nullptr);
    if (!file) return nullptr;
    auto out = std::make_unique<StagedWrite>();
    out->file = std::move(file);
    return out;
}

bool program_folder_writable() {
    unsigned char r[8];
    if (!platform::random_bytes(r, sizeof r)) return false;
    const fs::path probe =
        running_program().parent_path() / u8path(".kelvora_prueba_" + to_hex(r, sizeof r) + ".tmp");
    auto file = platform::create_staged_file(probe, nullptr);
    return file && !file->write("x");
}

Installer::Installer(UpdateState& state, const Log& log, InstallHooks hooks)
    : state_(state), log_(log), hooks_(std::move(hooks)) {}

void Installer::report_failure(const std::string& version, const std::string& message) {
    log_.write("[ACTUALIZAR] no se pudo instalar la v" + version + ": " + message);
    state_.set_record("result", {{"ok", false}, {"version", version}, {"error", message}});
    state_.set_phase("idle", 0, "");
}

void Installer::install_package(std::string bytes, const json& manifest, std::string sha256,
                                std::unique_ptr<StagedWrite> streamed, StageClock clock) {
    const std::string version = manifest.value("version", "");
    const auto fail = [&](const std::string& message) { report_failure(version, message); };
    state_.set_phase("verifying", 100, "revisando la firma digital…");

    const json size = manifest.value("size", json());
    const bool size_ok = size.is_number_unsigned() && size.get<std::uint64_t>() == bytes.size();
    if (size_ok && sha256.empty()) sha256 = sha256_hex(bytes);
    if (!size_ok || sha256 != to_lower_ascii(manifest.value("sha256", "")))
        return fail("la descarga llegó incompleta o alterada (no coincide su huella SHA-256)");

    const ProgramKind kind = this_program_kind();
    // A few kilobytes of Deflate can inflate to gigabytes: an entry past twice the largest
    // package allowed is no program of ours.
    ProgramEntry entry = read_program_entry(bytes, kind, 2 * kMaxPackageSize);
    std::string().swap(bytes);
    if (!entry.error.empty()) return fail(entry.error);
    clock.lap("zip");

    // The checked bytes go straight beside the program, into a file of our own making that
    // only we may change; nothing runnable is ever kept in the user's data folder. Unpacked
    // as the package arrived, they are there already.
    const ProgramPaths paths = program_paths(running_program());
    if (!entry.written || !streamed) {
        streamed.reset(); // a file written by halves goes
        streamed = stage_program();
        if (!streamed || !streamed->write(entry.content))
            return fail("no se pudo guardar la versión descargada");
    }
    std::string().swap(entry.content);
    const std::string digest = streamed->hash.digest();
    const std::unique_ptr<platform::StagedFile> staged = std::move(streamed->file);
    if (staged->seal(paths.exe)) return fail("no se pudo guardar la versión descargada");
    clock.lap("guardado");
    // Windows can't hold a file for writing and let it run: between the two handles it was
    // not ours alone, so what it holds is checked before it is ever run.
    if (!holds(*staged, digest)) return fail(kChanged);
    clock.lap("comprobación");

    if (auto why = test_run(paths.staged, version); !why.empty()) return fail(why);
    clock.lap("prueba");
    log_.write("[ACTUALIZAR] la v" + version + " está lista para instalar: " + clock.text());

    while (hooks_.sessions_open()) {
        state_.set_phase("waiting", 100, "en cuanto termines las sesiones y llamadas abiertas");
        sleep_ms(hooks_.wait_interval_ms);
    }
    state_.set_phase("installing", 100, "instalando…");
    sleep_ms(hooks_.pause_before_swap_ms);

    // The wait can last hours: what is put in place is checked again just before.
    if (!holds(*staged, digest) || !staged->is_at(paths.staged)) return fail(kChanged);
    if (auto why = swap_program(paths, *staged, version); !why.empty()) return fail(why);
    log_.write("[ACTUALIZAR] v" + state_.trust().version + " → v" + version +
               ": se abre la versión nueva");
    hooks_.update_exit();
}

std::string Installer::test_run(const fs::path& program, const std::string& version) {
    // About 15 seconds in all; the output is a version line, so a little is plenty.
    const auto run = platform::run_bounded(path_utf8(program), {"--version"}, 100, 150, 64 * 1024);
    if (!run.started)
        return "la versión descargada no arranca (" + run.error +
               "); quizá el antivirus la bloqueó";
    if (!run.ended)
        return "la versión descargada no respondió; quizá el antivirus la está revisando";
    const std::string output = is_valid_utf8(run.output) ? run.output : std::string();
    if (second_word(output) != version)
        return "la versión descargada no respondió bien (" + trim(output) + ")";
    return "";
}

std::string Installer::swap_program(const ProgramPaths& p, platform::StagedFile& staged,
                                    const std::string& version) {
    const std::string name = this_program_kind().shown_name;
    // One previous version is kept, the one this program is now; recorded first, so that a
    // swap cut short anywhere still knows it.
    remove_quietly(p.old);
    state_.set_record("anterior", {{"version", state_.trust().version}, {"desde", now_seconds()}});
    if (auto e = platform::keep_previous(p.exe, p.old)) {
        state_.set_record("anterior", nullptr);
        return "no se pudo apartar el " + name + " actual (" + *e + ")";
    }
    swap_step("apartado");
    const auto put_back = [&] {
        staged.release();
        std::error_code ec;
        if (present(p.exe) && fs::equivalent(p.old, p.exe, ec)) remove_quietly(p.old);
        else platform::replace_file(p.old, p.exe);
        state_.set_record("anterior", nullptr);
    };
    if (auto e = staged.put_at(p.exe)) {
        put_back();
        return "no se pudo copiar la versión nueva (" + *e + "); todo quedó como estaba";
    }
    if (!staged.is_at(p.exe)) {
        put_back();
        return std::string(kChanged);
    }
    swap_step("en_su_lugar");
    std::vector<std::string> args{"--after-update", state_.trust().version,
                                  "--pid",          std::to_string(platform::current_pid()),
                                  "--port",         std::to_string(hooks_.port()),
                                  "--no-elevate"};
    args.insert(args.end(), hooks_.window_flags.begin(), hooks_.window_flags.end());
    std::string error;
    // Started while we still hold the file, so what starts is what was checked.
    auto child = platform::start_process(path_utf8(p.exe), args, {}, &error);
    if (!child) {
        put_back();
        return "la versión nueva no se pudo abrir (" + error + "); todo quedó como estaba";
    }
    staged.release();
    // A version that ends at once never got going: this one stays. It waits for us to end
    // before it does anything more, so a short look settles it.
    for (int i = 0; i < hooks_.start_watch_ms / 100; ++i) {
        if (!child->running()) {
            put_back();
            log_.write("[ACTUALIZAR] la v" + version + " se cerró al arrancar: se volvió a la v" +
                       state_.trust().version);
            hooks_.notify("La versión nueva de Kelvora (v" + version +
                          ") no arrancó; sigues con la v" + state_.trust().version + ".");
            return "la versión nueva no se pudo abrir (se cerró al arrancar); todo quedó como "
                   "estaba";
        }
        sleep_ms(100);
    }
    return "";
}

void finish_update(UpdateState& state, const Log& log, const std::string& from) {
    const std::string version = state.trust().version;
    log.write("[ACTUALIZAR] Kelvora se actualizó de la v" + from + " a la v" + version);
    // What this start already noted there (its crash watch) stays.
    json prev = state.record().value("anterior", json());
    if (!prev.is_object()) prev = json::object();
    prev["version"] = from;
    prev["desde"] = now_seconds();
    state.set_records({{"result", {{"ok", true}, {"version", version}, {"from", from}}},
                       {"dismissed", nullptr},
                       {"anterior", prev}});
    const ProgramPaths paths = program_paths(running_program());
    if (present(paths.exe.parent_path() / "uninstall.exe"))
        platform::record_installed_version(version);
}

void mark_proven(UpdateState& state) {
    json prev = state.record().value("anterior", json());
    if (!prev.is_object() || prev.value("probada", false)) return;
    prev["probada"] = true;
    state.set_record("anterior", prev);
}

void cleanup_after_update(UpdateState& state, const ProgramPaths& paths, int tries,
                          int interval_ms) {
    // The previous version stays while the way back is offered: until this one has proven
    // itself and some days have passed. Without a record it is a swap's leftover.
    const json prev = state.record().value("anterior", json());
    std::error_code ec;
    // A swap cut short right after keeping the previous version leaves it as a second name
    // of the program file itself: nothing to go back to.
    const bool itself = present(paths.old) && fs::equivalent(paths.old, paths.exe, ec);
    const bool keep = prev.is_object() && !itself &&
                      !(prev.value("probada", false) &&
                        now_seconds() > prev.value("desde", std::uint64_t{0}) +
                                            kKeepPreviousSeconds);
    if (!keep) {
        for (int i = 0; i < tries; ++i) {
            if (!present(paths.old)) break;
            std::error_code ec;
            if (fs::remove(paths.old, ec) && !ec) break;
            sleep_ms(interval_ms);
        }
        if (prev.is_object()) state.set_record("anterior", nullptr);
    }
    remove_quietly(paths.staged);
    fs::remove_all(state.data_dir() / "update", ec);
}

std::optional<std::string> previous_version(const UpdateState& state, const ProgramPaths& paths) {
    const json prev = state.record().value("anterior", json());
    if (!prev.is_object() || !prev.value("version", json()).is_string() || !present(paths.old))
        return std::nullopt;
    return prev["version"].get<std::string>();
}

namespace {

// A member of the record that is true; anything else read from the file counts as false.
bool flag(const json& record, const char* name) {
    const auto it = record.find(name);
    return it != record.end() && it->is_boolean() && it->get<bool>();
}

// The running file goes aside (Windows won't replace it in place) and the previous one
// takes its name; on failure everything is as before and the reason is returned (empty
// when the system gave none).
std::optional<std::string> previous_into_place(const ProgramPaths& p) {
    remove_quietly(p.staged);
    if (auto e = platform::keep_previous(p.exe, p.staged)) return *e;
    if (!platform::replace_file(p.old, p.exe)) {
        platform::replace_file(p.staged, p.exe);
        return std::string();
    }
    return std::nullopt;
}

} // namespace

std::string go_back(UpdateState& state, const Log& log, const InstallHooks& hooks) {
    const ProgramPaths p = program_paths(running_program());
    const auto previous = previous_version(state, p);
    if (!previous) return "Ya no se guarda la versión anterior.";
    const std::string current = state.trust().version;
    if (auto e = previous_into_place(p))
        return "No se pudo volver a la versión anterior" + (e->empty() ? "" : " (" + *e + ")") +
               ".";
    state.set_records({{"anterior", nullptr}, {"dismissed", current}});
    std::vector<std::string> args{"--after-update", current,
                                  "--pid",          std::to_string(platform::current_pid()),
                                  "--port",         std::to_string(hooks.port()),
                                  "--no-elevate"};
    args.insert(args.end(), hooks.window_flags.begin(), hooks.window_flags.end());
    std::string error;
    if (!platform::start_process(path_utf8(p.exe), args, {}, &error)) {
        platform::replace_file(p.exe, p.old);
        platform::replace_file(p.staged, p.exe);
        return "No se pudo volver a la versión anterior (" + error + ").";
    }
    log.write("[ACTUALIZAR] se vuelve de la v" + current + " a la v" + *previous);
    return "";
}

bool roll_back_after_crashes(UpdateState& state, const Log& log,
                             const std::vector<std::string>& window_flags) {
    json prev = state.record().value("anterior", json());
    const ProgramPaths p = program_paths(running_program());
    if (!prev.is_object() || flag(prev, "probada") || !previous_version(state, p)) return false;
    // Read from disk, so only a small count is trusted.
    const json counted = prev.value("caidas", json());
    int crashes = counted.is_number_unsigned() ? static_cast<int>(std::min<std::uint64_t>(
                                                     counted.get<std::uint64_t>(), 2))
                                               : 0;
    if (flag(prev, "en_marcha")) ++crashes;
    if (crashes < 2) {
        prev["caidas"] = crashes;
        prev["en_marcha"] = true;
        state.set_record("anterior", prev);
        return false;
    }
    const std::string current = state.trust().version;
    const std::string previous = *previous_version(state, p);
    if (auto e = previous_into_place(p)) {
        log.write("[ACTUALIZAR] la v" + current + " se cerró dos veces en su primer minuto, " +
                  "pero no se pudo volver a la v" + previous + (e->empty() ? "" : " (" + *e + ")"));
        prev["caidas"] = crashes;
        prev["en_marcha"] = true;
        state.set_record("anterior", prev);
        return false;
    }
    std::vector<std::string> args{"--no-elevate"};
    args.insert(args.end(), window_flags.begin(), window_flags.end());
    std::string error;
    if (!platform::start_process(path_utf8(p.exe), args, {}, &error)) {
        platform::replace_file(p.exe, p.old);
        platform::replace_file(p.staged, p.exe);
        log.write("[ACTUALIZAR] la v" + current + " se cerró dos veces en su primer minuto, " +
                  "pero la v" + previous + " no se pudo abrir (" + error + ")");
        return false;
    }
    const std::string why = "se cerró dos veces en su primer minuto; se volvió a la v" + previous;
    state.set_records({{"anterior", nullptr},
                       {"dismissed", current},
                       {"result", {{"ok", false}, {"version", current}, {"error", why}}}});
    log.write("[ACTUALIZAR] la v" + current + " " + why);
    platform::tray_notify("Kelvora", "La versión nueva de Kelvora (v" + current +
                                         ") se cerró dos veces al poco de abrirse; sigues con la v" +
                                         previous + ".");
    return true;
}

void first_minute_over(UpdateState& state) {
    json prev = state.record().value("anterior", json());
    if (!prev.is_object() || !flag(prev, "en_marcha")) return;
    prev["en_marcha"] = false;
    state.set_record("anterior", prev);
}

fs::path recover_interrupted_swap(const fs::path& exe, const Log& log) {
    const std::string ext = windows() ? ".exe" : "";
    const std::string file = path_utf8(exe.filename());
    const std::string tail = ".old" + ext;
    if (file.size() <= tail.size() || !iequals_ascii(file.substr(file.size() - tail.size()), tail))
        return exe;
    const fs::path home =
        exe.parent_path() / u8path(file.substr(0, file.size() - tail.size()) + ext);
    if (present(home)) return exe;
    if (platform::move_file(exe, home)) return exe;
    log.write("[ACTUALIZAR] una actualización quedó a medias: " + path_utf8(home) +
              " vuelve a ser el programa");
    program_file_slot() = home;
    return home;
}

} // namespace kelvora::update
