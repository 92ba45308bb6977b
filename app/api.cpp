// The endpoints of the application shell: the state record, version, settings, the
// client's log lines, opening things outside, notices, the window and exit.
#include <chrono>
#include <thread>

#include "app/app_window.hpp"
#include "app/data_dir.hpp"
#include "app/exit.hpp"
#include "app/log.hpp"
#include "app/settings.hpp"
#include "app/text.hpp"
#include "app/version.hpp"
#include "desktop/desktop.hpp"
#include "http/fields.hpp"
#include "http/router.hpp"
#include "http/routes.hpp"
#include "install/start_with_os.hpp"
#include "platform/process.hpp"
#include "platform/shell.hpp"
#include "platform/tray.hpp"
#include "records/records.hpp"
#include "update/update_state.hpp"

namespace kelvora::app {

namespace {

constexpr std::size_t kDiagMaxChars = 1500;

json state_record() {
    json s = {
        {"app", kAppName},
        {"version", kVersion},
        {"nombre", display_name()},
        {"servidor", server_address()},
        {"admin", platform::is_admin()},
        {"portatil", true},
        {"monitores", desktop::monitor_list()},
        {"idioma", read_setting("general", "idioma")},
        {"disponible", setting_is_on(read_setting("recibir", "disponible"))},
        {"inicio_windows", install::start_with_os_enabled()},
        {"actualizacion", update::update_status()},
    };
    records::add_state_fields(s);
    return s;
}

bool open_outside(const json& body) {
    const std::string what = http::text_field(body, "what");
    if (what == "url") {
        const std::string url = http::text_field(body, "url");
        if (!url.starts_with("https://") && !url.starts_with("http://") &&
            !url.starts_with("mailto:"))
            return false;
        return platform::shell_open(url);
    }
    if (what == "log") return platform::shell_open(path_utf8(data_directory() / "kelvora.log"));
    if (what == "datos") return platform::shell_open(path_utf8(data_directory()));
    if (what == "sitio") return platform::shell_open(kProductSite);
    if (what == "sonido") return platform::open_sound_settings();
    if (what == "privmic") return platform::open_microphone_privacy();
    return false;
}

} // namespace

void register_routes(http::Router& r) {
    r.view("/api/version", [](const http::ViewRequest&) {
        return json{{"app", kAppName}, {"version", kVersion}, {"pid", platform::current_pid()}};
    });
    r.view("/api/estado", [](const http::ViewRequest&) { return state_record(); });
    r.post("/api/estado", [](const json&) { return state_record(); });
    r.view("/api/ajustes", [](const http::ViewRequest&) { return settings().snapshot(); });
    r.post("/api/ajustes", [](const json& body) { return save_settings(body); });

    r.post("/api/diag", [](const json& body) {
        write_log(utf8_prefix(http::text_field(body, "texto"), kDiagMaxChars));
        return http::ok_reply();
    });
    r.post("/api/abrir", [](const json& body) { return json{{"ok", open_outside(body)}}; });
    r.post("/api/aviso", [](const json& body) {
        std::string title = "Kelvora";
        if (auto it = body.find("titulo"); it != body.end() && it->is_string())
            title = it->get<std::string>();
        platform::tray_notify(title, http::text_field(body, "texto"));
        return http::ok_reply();
    });
    r.post("/api/salir", [](const json&) {
        std::thread([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            orderly_exit();
        }).detach();
        return http::ok_reply();
    });
    r.view("/api/show", [](const http::ViewRequest&) { return json{{"ok", raise_app_window()}}; });
    r.view("/api/ventana", [](const http::ViewRequest&) {
        show_app_window();
        return http::ok_reply();
    });
}

} // namespace kelvora::app
