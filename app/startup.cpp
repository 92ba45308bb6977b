#include "app/startup.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "app/app.hpp"
#include "app/command_line.hpp"
#include "app/data_dir.hpp"
#include "app/single_instance.hpp"
#include "app/tray_picture.hpp"
#include "base/json_file.hpp"
#include "base/log.hpp"
#include "base/text.hpp"
#include "base/version.hpp"
#include "http/server.hpp"
#include "install/start_with_os.hpp"
#include "install/uninstall.hpp"
#include "platform/process.hpp"
#include "platform/report.hpp"
#include "platform/shell.hpp"
#include "platform/system.hpp"
#include "platform/tray.hpp"
#include "update/installer.hpp"

namespace kelvora {

namespace {

// The running program once it is built; an exit request before that has nothing to undo.
std::atomic<App*> running_app{nullptr};

std::string make_session_token() {
    unsigned char bytes[16];
    // Without a secure random source the local server would have no lock; no recovery.
    if (!platform::random_bytes(bytes, sizeof bytes)) std::abort();
    return to_hex(bytes, sizeof bytes);
}

std::string join_with_spaces(const std::vector<std::string>& args) {
    std::string out;
    for (const auto& a : args) {
        if (!out.empty()) out.push_back(' ');
        out += a;
    }
    return out;
}

// The window watch: ends the program about 6 s after the app window went away, or about
// a minute after start when none ever appeared, but never while the browser we started
// still runs.
[[noreturn]] void watch_app_window(App& app) {
    bool seen = false;
    int k = 0;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const bool window = app.window().exists();
        if (window || app.window().browser_running()) {
            seen = seen || window;
            k = 0;
            continue;
        }
        if ((seen && k > 1) || (!seen && k > 28)) app.orderly_exit();
        ++k;
    }
}

} // namespace

int kelvora_main(const std::vector<std::string>& args) {
    return kelvora_main(args, update::release_trust());
}

int kelvora_main(const std::vector<std::string>& args, const update::Trust& trust) {
    platform::declare_dpi_awareness();
    platform::on_exit_request([] {
        if (App* app = running_app.load()) app->orderly_exit();
        platform::exit_process(0);
    });
    const auto dir = data_directory();
    const Options opt = parse_options(args);
    if (opt.version) {
        std::printf("Kelvora %s (%s)\n", trust.version.c_str(), kBuildDate);
        std::fflush(stdout);
        return 0;
    }

    const Log log(dir);
    platform::set_report_sink([log](const std::string& line) { log.write(line); });

    if (opt.uninstall) {
        install::uninstall(
            log, dir, opt.pid,
            {[&] { AppWindow(dir / "ventana", log, [] { return std::size_t{1}; }).close(); },
             [&] { desktop::Desktop(dir, log).restore_resolutions(); }});
        return 0;
    }
    if (opt.autostart) {
        install::set_start_with_os_from_command_line(log, *opt.autostart == "on");
        return 0;
    }
    if (opt.cleanup) {
        desktop::Desktop(dir, log).restore_resolutions();
        install::cleanup_from_command_line(log);
        return 0;
    }
    if (opt.after_update && opt.pid) platform::wait_for_process_exit(*opt.pid, 30000);

    const bool admin = platform::is_admin();
    if (!admin && !opt.no_elevate) {
        std::vector<std::string> relaunch = args;
        relaunch.push_back("--no-elevate");
        switch (platform::relaunch_elevated(install::program_file(), join_with_spaces(relaunch))) {
        case platform::Elevation::started:
            return 0;
        case platform::Elevation::declined:
            log.write("[APP] sin permisos de administrador (no se aceptó el aviso de Windows)");
            break;
        case platform::Elevation::never:
            break;
        }
    }

    if (auto port = instance_port(load_json_file_in(dir, "instancia.json")))
        if (running_copy_answered(*port)) return 0;

    log.write(std::string("[APP] Kelvora v") + trust.version + " · admin " +
              (admin ? "true" : "false") + " · " + install::program_file());
    // Built once and never destroyed: the server's and the tray's threads use it until the
    // process ends.
    // A swap cut short leaves us as <stem>.old with no program file: take its name back.
    update::recover_interrupted_swap(update::running_program(), log);
    std::vector<std::string> window_flags;
    for (const auto& a : args)
        if (a == "--no-window" || a == "--no-tray") window_flags.push_back(a);
    {
        // A new version that keeps falling over as it starts gives way to the previous one.
        update::UpdateState state(dir, trust);
        if (update::roll_back_after_crashes(state, log, window_flags)) return 0;
    }
    auto& app = *new App(dir, trust, window_flags);
    running_app = &app;
    app.desktop().restore_resolutions();

    auto server = http::LocalServer::bind({8810, 8811, 8812, 0});
    if (!server) {
        platform::show_message("Kelvora", "No se pudo abrir el servidor local de Kelvora.", false);
        return 0;
    }
    app.set_port(server->port());
    const std::string token = make_session_token();
    app.desktop().capture_window().set_page(app.port());
    save_json_file_in(
        dir, "instancia.json",
        json{{"port", app.port()}, {"pid", platform::current_pid()}, {"version", trust.version}});
    server->start(
        std::make_shared<http::RequestHandler>(token, app.port(), app.router(), app.log()),
        app.log());
    // The server lives as long as the process; its threads hold on to it.
    (void)server.release();

    if (opt.after_update)
        update::finish_update(app.updater().state(), app.log(), *opt.after_update);
    // Also after an update: what the swap left behind goes, once the old process let go;
    // a version that has run a while has proven itself.
    std::thread([&app] {
        auto& state = app.updater().state();
        update::cleanup_after_update(state, update::program_paths(update::running_program()));
        std::this_thread::sleep_for(std::chrono::seconds(update::kFirstMinuteSeconds));
        update::first_minute_over(state);
        std::this_thread::sleep_for(
            std::chrono::seconds(update::kProvenAfterSeconds - update::kFirstMinuteSeconds));
        update::mark_proven(state);
    }).detach();
    app.updater().start_automatic_checks();

    if (!opt.no_tray)
        std::thread([&app] {
            if (!platform::run_tray({[&app] { app.window().show(); },
                                     [&app] { app.orderly_exit(); }, logo_pictures()}))
                app.log().write(
                    "[APP] sin icono en la bandeja: el escritorio no ofrece dónde ponerlo");
        }).detach();

    if (opt.no_window)
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));

    if (opt.after_update) {
        if (opt.port && *opt.port == app.port() && app.window().exists()) {
            app.log().write("[APP] la ventana de la versión anterior se recarga con la nueva");
            watch_app_window(app);
        }
        app.window().close();
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
    }
    app.window().open(opt.startup);
    watch_app_window(app);
}

} // namespace kelvora
