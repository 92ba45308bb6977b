#include "install/start_with_os.hpp"

#include <filesystem>

#include "base/text.hpp"
#include "http/web_assets.hpp"
#include "platform/integration.hpp"
#include "platform/system.hpp"
#include "update/installer.hpp"

namespace kelvora::install {

namespace {

// What the user and the log read, in the words of the system they use.
struct Words {
    const char* shortcuts_made;
    const char* autostart_task;
    const char* autostart_plain_ok;
    const char* autostart_failed_log;
    const char* autostart_plain_msg;
    const char* autostart_writable_log;
    const char* autostart_writable_msg;
    const char* autostart_failed_msg;
    const char* autostart_off;
};

const Words& words() {
    static const Words windows{
        "[ACCESOS] creados en el Escritorio y el menú Inicio",
        "[INICIO] tarea programada creada (con permisos de administrador)",
        "[INICIO] inicio con Windows sin administrador: ok",
        "[INICIO] inicio con Windows sin administrador: falló",
        "Se abrirá al iniciar Windows (sin permisos de administrador: abre Kelvora como "
        "administrador para que también los tenga).",
        "[INICIO] inicio con Windows sin administrador: ok (la carpeta del programa no está "
        "protegida)",
        "Se abrirá al iniciar Windows sin permisos de administrador: cualquier programa de tu "
        "usuario puede cambiar la carpeta de Kelvora. Instálalo en Archivos de programa para "
        "que se abra con ellos.",
        "No se pudo activar el inicio con Windows.",
        "[INICIO] inicio con Windows quitado",
    };
    static const Words linux{
        "[ACCESOS] creados en el escritorio y el menú de aplicaciones",
        "[INICIO] se abrirá al iniciar sesión",
        "[INICIO] se abrirá al iniciar sesión",
        "[INICIO] abrir al iniciar sesión: falló",
        "",
        "[INICIO] se abrirá al iniciar sesión",
        "",
        "No se pudo hacer que Kelvora se abra al iniciar sesión.",
        "[INICIO] abrir al iniciar sesión: quitado",
    };
    return platform::host_os() == platform::Os::windows ? windows : linux;
}

} // namespace

std::string program_file() {
    // The same path the updates act on, so shortcuts and autostart follow a name taken back.
    return path_utf8(update::running_program());
}

bool create_shortcuts(const Log& log) {
    const std::string program = program_file();
    const bool ok = platform::create_shortcuts(
        {program, std::filesystem::path(program).parent_path().string(), "Kelvora · soporte remoto",
         std::string(http::find_web_asset("img/kelvora.svg"))});
    log.write(ok ? words().shortcuts_made : "[ACCESOS] no se pudieron crear");
    return ok;
}

void remove_shortcuts() {
    platform::remove_shortcuts();
}

AutostartReply set_start_with_os(const Log& log, bool on) {
    const Words& w = words();
    if (!on) {
        const bool ok = platform::disable_autostart();
        log.write(w.autostart_off);
        return {ok, ""};
    }
    switch (platform::enable_autostart(program_file())) {
    case platform::AutostartOn::complete:
        log.write(w.autostart_task);
        return {true, ""};
    case platform::AutostartOn::without_admin_rights:
        log.write(w.autostart_plain_ok);
        return {true, w.autostart_plain_msg};
    case platform::AutostartOn::without_admin_rights_folder_writable:
        log.write(w.autostart_writable_log);
        return {true, w.autostart_writable_msg};
    case platform::AutostartOn::failed:
        break;
    }
    log.write(w.autostart_failed_log);
    return {false, w.autostart_failed_msg};
}

bool start_with_os_enabled() {
    return platform::autostart_enabled();
}

void set_start_with_os_from_command_line(const Log& log, bool on) {
    set_start_with_os(log, on);
}

void cleanup_from_command_line(const Log& log) {
    set_start_with_os(log, false);
    remove_shortcuts();
}

} // namespace kelvora::install
