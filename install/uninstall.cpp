#include "install/uninstall.hpp"

#include <chrono>
#include <string>
#include <thread>

#include "install/start_with_os.hpp"
#include "platform/integration.hpp"
#include "platform/process.hpp"
#include "platform/protect.hpp"
#include "platform/shell.hpp"
#include "platform/system.hpp"

namespace kelvora::install {

namespace fs = std::filesystem;

namespace {

std::string question() {
    const bool windows = platform::host_os() == platform::Os::windows;
    return std::string("¿Quitar Kelvora de esta PC?\n\n") +
           "Se borran el ID, los ajustes, el historial, los accesos directos, " +
           (windows ? "el inicio con Windows" : "el inicio al abrir sesión") +
           " y el propio programa.\n" +
           (windows ? "No se toca Microsoft Edge ni otros programas."
                    : "No se toca tu navegador ni otros programas.");
}

constexpr const char* kNoDataRoot =
    "No se puede desinstalar: no se sabe dónde guarda Kelvora sus datos en esta sesión "
    "(falta la carpeta del usuario). No se borró nada.";

// The copy an update set aside, beside the program: "Kelvora.old.exe", "kelvora.old".
fs::path set_aside_copy(const fs::path& program) {
    return program.parent_path() /
           (program.stem().string() + ".old" + program.extension().string());
}

} // namespace

bool start_uninstall(const Log& log) {
    std::string error;
    auto child = platform::start_process(
        program_file(), {"--uninstall", "--pid", std::to_string(platform::current_pid())}, {},
        &error);
    if (!child) log.write("[ACCESOS] no se pudo abrir la desinstalación: " + error);
    return child != nullptr;
}

void uninstall(const Log& log, const fs::path& data_dir, std::optional<std::uint32_t> pid_to_end,
               const UninstallHooks& hooks) {
    const fs::path program = fs::path(program_file());
    if (auto uninstaller = platform::installer_uninstaller(program.string())) {
        std::string error;
        if (!platform::start_process(*uninstaller, {}, {}, &error))
            log.write("[ACCESOS] no se pudo abrir " + *uninstaller + ": " + error);
        return;
    }
    // Without an absolute place for its data (no LOCALAPPDATA or HOME), the program runs on
    // a folder relative to wherever it was started: removing that could take whatever the
    // current directory holds under that name.
    if (!data_dir.is_absolute()) {
        log.write("[ACCESOS] desinstalación rechazada: la carpeta de datos no tiene ruta "
                  "absoluta (" + data_dir.string() + ")");
        platform::show_message("Desinstalar Kelvora", kNoDataRoot, false);
        return;
    }
    if (!platform::show_message("Desinstalar Kelvora", question(), true)) {
        log.write("[ACCESOS] desinstalación cancelada");
        return;
    }
    if (pid_to_end) platform::kill_process(*pid_to_end);
    if (hooks.close_app_window) hooks.close_app_window();
    if (hooks.restore_resolutions) hooks.restore_resolutions();
    set_start_with_os(log, false);
    remove_shortcuts();
    // The ended copy and its browser let go of their files.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // The data directory is ours; the "Kelvora" folder around it goes only when nothing
    // else is left in it (a folder of that name may hold someone else's files too).
    // Written while the log still has its folder.
    if (std::string problem; !platform::remove_admin_profiles(&problem))
        log.write("[ACCESOS] desinstalación: quedan perfiles del navegador: " + problem);
    std::error_code ec;
    fs::remove_all(data_dir, ec);
    if (const fs::path folder = data_dir.parent_path(); folder.filename() == "Kelvora")
        fs::remove(folder, ec);
    platform::remove_user_key();
    fs::remove(set_aside_copy(program), ec);
    platform::remove_program_file(program.string());
    platform::show_message("Kelvora", "Listo: Kelvora se quitó de esta PC.", false);
}

} // namespace kelvora::install
