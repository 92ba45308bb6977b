#include "app/exit.hpp"

#include <system_error>

#include "app/app_window.hpp"
#include "app/data_dir.hpp"
#include "app/log.hpp"
#include "desktop/desktop.hpp"
#include "platform/process.hpp"
#include "platform/tray.hpp"
#include "records/records.hpp"

namespace kelvora {

namespace {

// Ending the sessions writes their end records; when this PC was the host, the registry
// also lets go of held input, restores the screen modes and closes the capture window.
void end_sessions() { records::end_all_sessions(); }

void remove_instance_file() {
    std::error_code ec;
    std::filesystem::remove(data_directory() / "instancia.json", ec);
}

} // namespace

void orderly_exit() {
    write_log("[APP] cerrando Kelvora");
    end_sessions();
    // Once more in any case: a crash of the page may have left input held without a session.
    desktop::release_held_input();
    desktop::restore_resolutions();
    desktop::close_capture_window();
    close_app_window();
    platform::tray_remove();
    remove_instance_file();
    platform::exit_process(0);
}

void update_exit() {
    write_log("[APP] cerrando para abrir la versión nueva");
    end_sessions();
    platform::tray_remove();
    remove_instance_file();
    platform::exit_process(0);
}

} // namespace kelvora
