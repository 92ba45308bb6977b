#include "app/routes.hpp"

#include <chrono>
#include <thread>

#include "app/app.hpp"
#include "base/log.hpp"
#include "base/text.hpp"
#include "base/version.hpp"
#include "http/fields.hpp"
#include "platform/process.hpp"
#include "platform/shell.hpp"
#include "platform/tray.hpp"

namespace kelvora::app {

namespace {

constexpr std::size_t kDiagMaxChars = 1500;

bool open_outside(const json& body, const std::filesystem::path& data_dir) {
    const std::string what = http::text_field(body, "what");
    if (what == "url") {
        const std::string url = http::text_field(body, "url");
        if (!url.starts_with("https://") && !url.starts_with("http://") &&
            !url.starts_with("mailto:"))
            return false;
        return platform::shell_open(url);
    }
    if (what == "log") return platform::shell_open(path_utf8(data_dir / "kelvora.log"));
    if (what == "datos") return platform::shell_open(path_utf8(data_dir));
    if (what == "sitio") return platform::shell_open(kProductSite);
    if (what == "sonido") return platform::open_sound_settings();
    if (what == "privmic") return platform::open_microphone_privacy();
    return false;
}

} // namespace

void register_routes(http::Router& r, App& app) {
    r.view("/api/version", [](const http::ViewRequest&) {
        return json{{"app", kAppName}, {"version", kVersion}, {"pid", platform::current_pid()}};
    });
    r.view("/api/estado", [&app](const http::ViewRequest&) { return app.state_record(); });
    r.post("/api/estado", [&app](const json&) { return app.state_record(); });
    r.view("/api/ajustes", [&app](const http::ViewRequest&) { return app.settings().snapshot(); });
    r.post("/api/ajustes", [&app](const json& body) { return app.settings().save(body); });

    r.post("/api/diag", [&app](const json& body) {
        app.log().write(utf8_prefix(http::text_field(body, "texto"), kDiagMaxChars));
        return http::ok_reply();
    });
    r.post("/api/abrir", [&app](const json& body) {
        return json{{"ok", open_outside(body, app.data_dir())}};
    });
    r.post("/api/aviso", [](const json& body) {
        std::string title = "Kelvora";
        if (auto it = body.find("titulo"); it != body.end() && it->is_string())
            title = it->get<std::string>();
        platform::tray_notify(title, http::text_field(body, "texto"));
        return http::ok_reply();
    });
    r.post("/api/salir", [&app](const json&) {
        std::thread([&app] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            app.orderly_exit();
        }).detach();
        return http::ok_reply();
    });
    r.view("/api/show", [&app](const http::ViewRequest&) {
        return json{{"ok", app.window().raise()}};
    });
    r.view("/api/ventana", [&app](const http::ViewRequest&) {
        app.window().show();
        return http::ok_reply();
    });
}

} // namespace kelvora::app
