#include "app/app_window.hpp"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "app/data_dir.hpp"
#include "app/log.hpp"
#include "app/runtime.hpp"
#include "app/text.hpp"
#include "desktop/desktop.hpp"
#include "platform/shell.hpp"

namespace kelvora {

namespace {

constexpr const char* kTitlePrefix = "Kelvora";

std::mutex browser_mutex;
std::unique_ptr<platform::ChildProcess> browser_process; // guarded by browser_mutex
std::atomic<bool> opening{false};

} // namespace

std::string capture_source_name(std::size_t monitor_count) {
    return monitor_count > 1 ? "Screen 1" : "Entire screen";
}

std::vector<std::string> app_window_arguments(const std::string& url, const std::string& profile_dir,
                                              const std::string& capture_source, bool minimized) {
    std::vector<std::string> a = {
        "--app=" + url,
        "--user-data-dir=" + profile_dir,
        "--window-size=1440,920",
        "--auto-select-desktop-capture-source=" + capture_source,
        "--lang=en-US",
        "--no-first-run",
        "--no-default-browser-check",
        "--disable-extensions",
        "--disable-sync",
        "--disable-background-networking",
        "--disk-cache-size=8388608",
        "--disable-backgrounding-occluded-windows",
        "--disable-renderer-backgrounding",
        "--disable-background-timer-throttling",
        "--autoplay-policy=no-user-gesture-required",
        "--disable-features=Translate,msEdgeSidebarV2,CalculateNativeWinOcclusion,"
        "WebRtcHideLocalIpsWithMdns",
    };
    if (minimized) a.push_back("--start-minimized");
    return a;
}

std::unique_ptr<platform::ChildProcess> open_app_window(const std::string& url, bool minimized) {
    auto browser = platform::find_browser();
    if (!browser) {
        write_log("[VENTANA] no encontré Microsoft Edge ni Chrome");
        platform::show_message("Kelvora",
                               "Kelvora necesita Microsoft Edge (viene con Windows) o Google "
                               "Chrome para abrir su ventana.",
                               false);
        return nullptr;
    }
    const auto profile = path_utf8(data_directory() / "ventana");
    const auto source = capture_source_name(desktop::monitor_list().size());
    std::string error;
    auto p = platform::start_process(*browser, app_window_arguments(url, profile, source, minimized),
                                     &error);
    if (!p) {
        write_log("[VENTANA] no se pudo abrir " + *browser + ": " + error);
        return nullptr;
    }
    write_log("[VENTANA] abierta con " + *browser);
    return p;
}

bool app_window_exists() { return platform::find_browser_window(kTitlePrefix).has_value(); }

bool raise_app_window() {
    auto w = platform::find_browser_window(kTitlePrefix);
    return w && platform::raise_window(*w);
}

void show_app_window() {
    if (raise_app_window()) return;
    if (opening.exchange(true)) return;
    keep_browser_process(
        open_app_window("http://127.0.0.1:" + std::to_string(server_port()) + "/", false));
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::seconds(4));
        opening = false;
    }).detach();
}

void close_app_window() {
    if (auto w = platform::find_browser_window(kTitlePrefix)) platform::close_window(*w);
}

void keep_browser_process(std::unique_ptr<platform::ChildProcess> p) {
    if (!p) return;
    std::lock_guard lock(browser_mutex);
    browser_process = std::move(p);
}

bool browser_process_running() {
    std::lock_guard lock(browser_mutex);
    return browser_process && browser_process->running();
}

} // namespace kelvora
