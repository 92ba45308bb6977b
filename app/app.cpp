#include "app/app.hpp"

#include <chrono>
#include <system_error>
#include <thread>

#include "app/browser_candidates.hpp"
#include "app/routes.hpp"
#include "base/version.hpp"
#include "desktop/routes.hpp"
#include "install/routes.hpp"
#include "install/start_with_os.hpp"
#include "manual/routes.hpp"
#include "platform/downloads.hpp"
#include "platform/process.hpp"
#include "platform/tray.hpp"
#include "records/routes.hpp"
#include "records/state.hpp"
#include "transfer/routes.hpp"
#include "update/installer.hpp"
#include "update/routes.hpp"

namespace kelvora {

App::App(std::filesystem::path data_dir, update::Trust trust, std::vector<std::string> window_flags)
    : data_dir_(std::move(data_dir)), log_(data_dir_), settings_(data_dir_),
      desktop_(data_dir_, log_), identity_(data_dir_), recents_(data_dir_),
      // Ending a host session gives the desktop back.
      activity_(data_dir_, records::DesktopHooks{[this] { desktop_.release_held_input(); },
                                                 [this] { desktop_.restore_resolutions(); },
                                                 [this] { desktop_.close_capture_window(); }}),
      gate_([this] { return activity_.control_granted(); }),
      window_(data_dir_ / "ventana", log_, [this] { return desktop_.monitor_list().size(); }),
      update_state_(data_dir_, std::move(trust)),
      updater_(
          update_state_, log_,
          {[this] { return settings_.read("general", "canal_actualizaciones"); },
           [this] { return setting_is_on(settings_.read("general", "buscar_actualizaciones")); },
           [this](bool on) {
               settings_.save({{"general", {{"buscar_actualizaciones", on ? "si" : "no"}}}});
           },
           [](const std::string& text) { platform::tray_notify("Kelvora", text); }},
          {[this] { return activity_.busy(); }, [this] { return port(); }, std::move(window_flags),
           [this] { update_exit(); },
           [](const std::string& text) { platform::tray_notify("Kelvora", text); }}),
      files_(platform::downloads_folder, log_) {
    desktop_.capture_window().set_launch(
        {[] { return choose_browser(system_browser_lookups(), platform::host_os()); },
         [this] { return desktop_.monitor_list().size(); }});
    app::register_routes(router_, *this);
    records::register_routes(router_, identity_, activity_, recents_, [this](json& reply) {
        reply["nombre"] = display_name(settings_);
        reply["servidor"] = server_address(settings_);
    });
    desktop::register_routes(router_, desktop_, gate_);
    update::register_routes(router_, updater_);
    install::register_routes(router_, log_);
    manual::register_routes(router_);
    transfer::register_routes(router_, files_);
}

void App::set_port(std::uint16_t port) {
    port_ = port;
    window_.set_url("http://127.0.0.1:" + std::to_string(port) + "/");
}

json App::state_record() {
    json s = {
        {"app", kAppName},
        {"version", update_state_.trust().version},
        {"nombre", display_name(settings_)},
        {"servidor", server_address(settings_)},
        {"admin", platform::is_admin()},
        {"portatil", true},
        {"monitores", desktop_.monitor_list()},
        {"idioma", settings_.read("general", "idioma")},
        {"disponible", setting_is_on(settings_.read("recibir", "disponible"))},
        {"inicio_windows", install::start_with_os_enabled()},
        {"actualizacion", updater_.status()},
    };
    records::add_state_fields(s, identity_, recents_, activity_);
    return s;
}

void App::remove_instance_file() {
    std::error_code ec;
    std::filesystem::remove(data_dir_ / "instancia.json", ec);
}

void App::begin_exit(const char* line) {
    // The API, the tray, the window watch and a signal may all ask at once; the desktop
    // is put back once, and the others wait for the process to end.
    if (exiting_.exchange(true))
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
    log_.write(line);
    // Ending the sessions writes their end records; when this PC was the host, the
    // registry also lets go of held input, restores the screen modes and closes the
    // capture window.
    activity_.end_all();
    // A file half received is of no use to anyone; its .part goes with the sessions.
    files_.abandon_all();
}

void App::orderly_exit() {
    begin_exit("[APP] cerrando Kelvora");
    // Closed by the user within its first minute: no crash of a new version.
    update::first_minute_over(updater_.state());
    // Once more in any case: a crash of the page may have left input held without a session.
    desktop_.release_held_input();
    desktop_.restore_resolutions();
    desktop_.close_capture_window();
    window_.close();
    platform::tray_remove();
    remove_instance_file();
    platform::exit_process(0);
}

void App::update_exit() {
    begin_exit("[APP] cerrando para abrir la versión nueva");
    platform::tray_remove();
    remove_instance_file();
    platform::exit_process(0);
}

} // namespace kelvora
