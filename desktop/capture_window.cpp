#include "desktop/capture_window.hpp"

#include <chrono>
#include <system_error>
#include <thread>

#include "base/text.hpp"
#include "http/fields.hpp"
#include "http/web_assets.hpp"
#include "platform/capture_window.hpp"
#include "platform/system.hpp"

namespace kelvora::desktop {

namespace {

constexpr int kHideTries = 40;
constexpr auto kHideWait = std::chrono::milliseconds(250);

// Where the capture page takes its ticket.
constexpr const char* kTicketMark = "__TICKET__";

std::optional<std::string> new_ticket() {
    unsigned char bytes[16];
    if (!platform::random_bytes(bytes, sizeof bytes)) return std::nullopt;
    return to_hex(bytes, sizeof bytes);
}

// Compared in full whatever differs, so the time taken says nothing about the ticket.
bool same_secret(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

} // namespace

std::string capture_source_name(unsigned n, std::size_t monitor_count) {
    return monitor_count > 1 ? "Screen " + std::to_string(n) : "Entire screen";
}

unsigned screen_number(const json& body) {
    auto it = body.is_object() ? body.find("pantalla") : body.end();
    if (it == body.end() || !it->is_number_unsigned()) return 1;
    const auto n = it->get<std::uint64_t>();
    if (n == 0) return 1;
    return n > kMaxScreen ? kMaxScreen : static_cast<unsigned>(n);
}

std::vector<std::string> capture_window_arguments(const std::string& page,
                                                  const std::string& profile_dir,
                                                  const std::string& source, platform::Os os) {
    std::vector<std::string> a = {
        "--app=" + page,
        "--user-data-dir=" + profile_dir,
        "--auto-select-desktop-capture-source=" + source,
        "--lang=en-US",
        "--window-position=-32000,-32000",
        "--window-size=320,200",
        "--no-first-run",
        "--no-default-browser-check",
        "--disable-extensions",
        "--disable-sync",
        "--disable-background-networking",
        "--disable-backgrounding-occluded-windows",
        "--disable-renderer-backgrounding",
        "--disable-background-timer-throttling",
        "--disable-features=Translate,msEdgeSidebarV2,CalculateNativeWinOcclusion,"
        "WebRtcHideLocalIpsWithMdns",
    };
    // A Wayland-native window would be out of reach of the X calls that hide it, and its
    // screens would not carry the names above.
    if (os == platform::Os::linux_x11) a.push_back("--ozone-platform=x11");
    return a;
}

CaptureWindow::CaptureWindow(std::filesystem::path profile_dir, Mailbox& mailbox, const Log& log)
    : profile_dir_(std::move(profile_dir)), mailbox_(mailbox), log_(log) {}

void CaptureWindow::set_launch(CaptureLaunch launch) {
    std::lock_guard lock(mutex_);
    launch_ = std::move(launch);
}

void CaptureWindow::set_page(std::uint16_t port) {
    std::lock_guard lock(mutex_);
    page_port_ = port;
}

json CaptureWindow::request(const json& body) {
    if (body.is_object() && body.contains("off") && body["off"] == true) {
        close();
        return http::ok_reply();
    }
    return start(screen_number(body));
}

json CaptureWindow::start(unsigned n) {
    close();
    const auto ticket = new_ticket();
    if (!ticket) return http::refusal("no se pudo preparar la ventana de captura");
    CaptureLaunch launch;
    std::string page;
    {
        std::lock_guard lock(mutex_);
        launch = launch_;
        page = "http://127.0.0.1:" + std::to_string(page_port_) +
               "/captura?n=" + std::to_string(n) + "&c=" + *ticket;
    }
    auto browser = launch.browser ? launch.browser() : std::nullopt;
    if (!browser) return http::refusal("sin navegador");
    const auto os = platform::host_os();
    const auto count = launch.monitor_count ? launch.monitor_count() : 1;
    // Chromium on Linux takes its UI language, and so its screen names, from the environment.
    platform::Environment env;
    if (os == platform::Os::linux_x11) env.emplace_back("LANGUAGE", "en_US");
    std::string error;
    auto child = platform::start_process(
        *browser,
        capture_window_arguments(page, path_utf8(profile_dir_), capture_source_name(n, count), os),
        env, &error);
    if (!child) return http::refusal(error.empty() ? "no se pudo abrir el navegador" : error);
    log_.write("[CAPTURA] ventana auxiliar para la pantalla " + std::to_string(n));
    const auto pid = child->pid();
    {
        std::lock_guard lock(mutex_);
        child_ = std::move(child);
        screen_ = n;
        ticket_ = *ticket;
        page_served_ = false;
    }
    hide_later(pid);
    return http::ok_reply();
}

// The window appears a moment after the process starts; it is looked for a while. On X
// the browser's notice window comes only once the capture runs, so the search goes on
// for it after the window itself was found.
void CaptureWindow::hide_later(std::uint32_t pid) {
    const unsigned generation = ++generation_;
    const bool companion = platform::host_os() == platform::Os::linux_x11;
    try {
        std::thread([this, pid, generation, companion] {
            bool window = false;
            for (int i = 0; i < kHideTries && generation_ == generation; ++i) {
                std::this_thread::sleep_for(kHideWait);
                if (generation_ != generation) return;
                const auto look =
                    platform::tuck_away_capture_window(kCaptureTitle, pid, companion && window);
                window = window || look.window;
                if (window && (!companion || look.companion)) return;
            }
        }).detach();
    } catch (const std::system_error&) {
        // Without the thread the window stays where the browser put it, off the screen.
    }
}

void CaptureWindow::close() {
    std::unique_ptr<platform::ChildProcess> child;
    {
        std::lock_guard lock(mutex_);
        child = std::move(child_);
        screen_ = 0;
        ticket_.clear();
    }
    if (child) {
        ++generation_;
        child->end_tree();
        log_.write("[CAPTURA] se cerró la ventana auxiliar");
    }
    mailbox_.clear();
}

std::optional<std::string> CaptureWindow::page(const std::string& ticket) {
    {
        std::lock_guard lock(mutex_);
        if (ticket_.empty() || page_served_ || !same_secret(ticket, ticket_)) return std::nullopt;
        page_served_ = true;
    }
    std::string html(http::find_web_asset("captura.html"));
    const auto at = html.find(kTicketMark);
    if (at == std::string::npos) return std::nullopt;
    return html.replace(at, std::string_view(kTicketMark).size(), ticket);
}

bool CaptureWindow::holds(const std::string& ticket) {
    std::lock_guard lock(mutex_);
    return !ticket_.empty() && page_served_ && same_secret(ticket, ticket_);
}

} // namespace kelvora::desktop
