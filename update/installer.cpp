#include "update/installer.hpp"

#include <chrono>
#include <fstream>
#include <system_error>
#include <thread>

#include "base/text.hpp"
#include "platform/process.hpp"
#include "platform/program_file.hpp"
#include "platform/system.hpp"
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

fs::path running_program() {
    const std::string exe = platform::executable_path();
    if (!exe.empty()) return u8path(exe);
    return windows() ? fs::path("Kelvora.exe") : fs::path("kelvora");
}

bool write_scratch_file(const fs::path& file, std::string_view data) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    return !out.fail();
}

ProgramPaths program_paths(const fs::path& exe, const fs::path& data_dir) {
    const fs::path dir = exe.parent_path();
    std::string stem = path_utf8(windows() ? exe.stem() : exe.filename());
    if (stem.empty()) stem = "Kelvora";
    const std::string ext = windows() ? ".exe" : "";
    return {exe, dir / u8path(stem + ".old" + ext), dir / u8path(stem + ".new" + ext),
            data_dir / "update" / (windows() ? "Kelvora.new.exe" : "kelvora.new")};
}

Installer::Installer(UpdateState& state, const Log& log, InstallHooks hooks)
    : state_(state), log_(log), hooks_(std::move(hooks)) {}

void Installer::report_failure(const std::string& version, const std::string& message) {
    log_.write("[ACTUALIZAR] no se pudo instalar la v" + version + ": " + message);
    state_.set_record("result", {{"ok", false}, {"version", version}, {"error", message}});
    state_.set_phase("idle", 0, "");
}

void Installer::install_package(const std::string& bytes, const json& manifest,
                                std::string sha256) {
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
    const ProgramEntry entry = read_program_entry(bytes, kind, 2 * kMaxPackageSize);
    if (!entry.error.empty()) return fail(entry.error);

    const ProgramPaths paths = program_paths(running_program(), state_.data_dir());
    std::error_code ec;
    fs::create_directories(paths.fresh.parent_path(), ec);
    remove_quietly(paths.fresh);
    if (!write_scratch_file(paths.fresh, entry.content))
        return fail("no se pudo guardar la versión descargada");
    // The stored copy must be runnable, as the program file it will become.
    fs::permissions(paths.fresh, fs::perms::owner_all, fs::perm_options::add, ec);

    if (auto why = test_run(paths.fresh, version); !why.empty()) return fail(why);

    while (hooks_.sessions_open()) {
        state_.set_phase("waiting", 100, "en cuanto termines las sesiones y llamadas abiertas");
        sleep_ms(hooks_.wait_interval_ms);
    }
    state_.set_phase("installing", 100, "instalando…");
    sleep_ms(hooks_.pause_before_swap_ms);

    if (auto why = swap_program(paths); !why.empty()) return fail(why);
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

std::string Installer::swap_program(const ProgramPaths& p) {
    const std::string name = this_program_kind().shown_name;
    remove_quietly(p.old);
    // The new file is copied in beside the program first and then renamed into place, so a
    // copy that fails or is cut short never leaves the program file missing or half
    // written.
    remove_quietly(p.staged);
    if (auto e = platform::copy_program_file(p.fresh, p.staged, p.exe)) {
        remove_quietly(p.staged);
        return "no se pudo copiar la versión nueva (" + *e + "); todo quedó como estaba";
    }
    if (auto e = platform::move_file(p.exe, p.old)) {
        remove_quietly(p.staged);
        return "no se pudo apartar el " + name + " actual (" + *e + ")";
    }
    if (auto e = platform::move_file(p.staged, p.exe)) {
        remove_quietly(p.staged);
        platform::move_file(p.old, p.exe);
        return "no se pudo copiar la versión nueva (" + *e + "); todo quedó como estaba";
    }
    std::vector<std::string> args{"--after-update", state_.trust().version,
                                  "--pid",          std::to_string(platform::current_pid()),
                                  "--port",         std::to_string(hooks_.port()),
                                  "--no-elevate"};
    args.insert(args.end(), hooks_.window_flags.begin(), hooks_.window_flags.end());
    std::string error;
    if (!platform::start_process(path_utf8(p.exe), args, {}, &error)) {
        remove_quietly(p.exe);
        platform::move_file(p.old, p.exe);
        return "la versión nueva no se pudo abrir (" + error + "); todo quedó como estaba";
    }
    remove_quietly(p.fresh);
    return "";
}

void finish_update(UpdateState& state, const Log& log, const std::string& from) {
    const std::string version = state.trust().version;
    log.write("[ACTUALIZAR] Kelvora se actualizó de la v" + from + " a la v" + version);
    state.set_records({{"result", {{"ok", true}, {"version", version}, {"from", from}}},
                       {"dismissed", nullptr}});
    const ProgramPaths paths = program_paths(running_program(), state.data_dir());
    if (present(paths.exe.parent_path() / "uninstall.exe"))
        platform::record_installed_version(version);
}

void cleanup_after_update(const ProgramPaths& paths, const fs::path& data_dir, int tries,
                          int interval_ms) {
    for (int i = 0; i < tries; ++i) {
        if (!present(paths.old)) break;
        std::error_code ec;
        if (fs::remove(paths.old, ec) && !ec) break;
        sleep_ms(interval_ms);
    }
    remove_quietly(paths.staged);
    std::error_code ec;
    fs::remove_all(data_dir / "update", ec);
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
    return home;
}

} // namespace kelvora::update
