#include "app/app_window.hpp"

#include <chrono>
#include <system_error>
#include <thread>

#include "app/browser_candidates.hpp"
#include "base/text.hpp"
#include "platform/sharing_notice.hpp"
#include "platform/shell.hpp"

namespace kelvora {

namespace {

constexpr const char* kTitlePrefix = "Kelvora";

} // namespace

std::string capture_source_name(std::size_t monitor_count) {
    return monitor_count > 1 ? "Screen 1" : "Entire screen";
}

std::vector<std::string> app_window_arguments(const std::string& url,
                                              const std::string& profile_dir,
                                              const std::string& capture_source, bool minimized,
                                              platform::Os os) {
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
        // A remote screen is shown the moment it is decoded: no page setting reliably stops
        // the receiver's jitter buffer from holding each frame back by 30 to 60 ms.
        "--force-fieldtrials=WebRTC-ForcePlayoutDelay/min_ms:0,max_ms:0/",
    };
    // A Wayland-native window is invisible to the EWMH search that finds, raises and
    // closes the app window; on X it is one of the rest.
    if (os == platform::Os::linux_x11) a.push_back("--ozone-platform=x11");
    if (minimized) a.push_back("--start-minimized");
    return a;
}

AppWindow::AppWindow(std::filesystem::path profile_dir, const Log& log,
                     std::function<std::size_t()> monitor_count)
    : profile_dir_(std::move(profile_dir)), log_(log), monitor_count_(std::move(monitor_count)) {}

void AppWindow::set_url(std::string url) {
    std::lock_guard lock(mutex_);
    url_ = std::move(url);
}

bool AppWindow::open(bool minimized) {
    const auto os = platform::host_os();
    auto browser = choose_browser(system_browser_lookups(), os);
    if (!browser) {
        log_.write("[VENTANA] no encontré Microsoft Edge ni Chrome");
        if (os == platform::Os::windows) {
            platform::show_message("Kelvora",
                                   "Kelvora necesita Microsoft Edge (viene con Windows) o Google "
                                   "Chrome para abrir su ventana.",
                                   false);
        } else {
            platform::show_message("Kelvora",
                                   "Kelvora necesita Chromium, Google Chrome, Microsoft Edge o "
                                   "Brave para abrir su ventana. Instala uno con el gestor de "
                                   "paquetes de tu sistema.",
                                   false);
        }
        return false;
    }
    std::string url;
    {
        std::lock_guard lock(mutex_);
        url = url_;
    }
    const auto source = capture_source_name(monitor_count_());
    std::string error;
    // Chromium on Linux takes its UI language from the environment, not from --lang; the
    // screen names the capture picks by are the English ones.
    platform::Environment env;
    if (os == platform::Os::linux_x11) env.emplace_back("LANGUAGE", "en_US");
    auto p = platform::start_process(
        *browser, app_window_arguments(url, path_utf8(profile_dir_), source, minimized, os), env,
        &error, platform::ChildKind::browser);
    if (!p) {
        log_.write("[VENTANA] no se pudo abrir " + *browser + ": " + error);
        return false;
    }
    log_.write("[VENTANA] abierta con " + *browser);
    const std::uint32_t pid = p->pid();
    {
        std::lock_guard lock(mutex_);
        browser_ = std::move(p);
    }
    watch_sharing_notices(pid);
    return true;
}

// The page captures its own screen, and the browser marks that with a notice window on
// that very screen: the helped PC's picture would show it to the technician.
void AppWindow::watch_sharing_notices(std::uint32_t pid) {
    std::lock_guard watch_lock(watch_mutex_);
    try {
        notice_watch_ = std::jthread([this, pid](std::stop_token stop) {
            platform::keep_sharing_notices_away(pid, kTitlePrefix, [&] {
                if (stop.stop_requested()) return false;
                std::lock_guard lock(mutex_);
                return browser_ && browser_->pid() == pid && browser_->running();
            });
        });
    } catch (const std::system_error&) {
        // Without the thread the notice shows in the picture, as the browser placed it.
    }
}

bool AppWindow::exists() {
    return platform::find_browser_window(kTitlePrefix).has_value();
}

bool AppWindow::raise() {
    auto w = platform::find_browser_window(kTitlePrefix);
    return w && platform::raise_window(*w);
}

void AppWindow::show() {
    if (raise()) return;
    if (opening_.exchange(true)) return;
    open(false);
    std::thread([this] {
        std::this_thread::sleep_for(std::chrono::seconds(4));
        opening_ = false;
    }).detach();
}

void AppWindow::close() {
    if (auto w = platform::find_browser_window(kTitlePrefix)) platform::close_window(*w);
}

bool AppWindow::browser_running() {
    std::lock_guard lock(mutex_);
    return browser_ && browser_->running();
}

} // namespace kelvora
