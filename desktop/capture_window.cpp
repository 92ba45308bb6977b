#include "desktop/capture_window.hpp"

#include <algorithm>
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

// Looked for up to a minute: a busy PC may take that long to show a browser window.
constexpr int kHideTries = 240;
constexpr auto kHideWait = std::chrono::milliseconds(250);
// The windows started ahead: the first a moment after the main picture flows, the next
// ones a while apart.
constexpr auto kWarmFirst = std::chrono::seconds(2);
constexpr auto kWarmNext = std::chrono::seconds(3);

// The box only one window reads; the API reaches it only through that window. Each start
// of a browser gets a box of its own: a read the page of an ended window left waiting in
// the server would otherwise take the next window's "go" for the same screen.
std::string box_name(unsigned n, unsigned serial) {
    return "cap" + std::to_string(n) + "." + std::to_string(serial);
}

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

std::filesystem::path CaptureWindow::profile_for(unsigned n) const {
    // A browser started on a profile that another one runs hands its window over to that one
    // and ends: the window would show the other's screen. The usual second monitor keeps the
    // folder every window used before.
    if (n == 2) return profile_dir_;
    return profile_dir_.parent_path() /
           u8path(path_utf8(profile_dir_.filename()) + "_" + std::to_string(n));
}

void CaptureWindow::set_launch(CaptureLaunch launch) {
    std::lock_guard lock(mutex_);
    launch_ = std::move(launch);
}

void CaptureWindow::set_page(std::uint16_t port) {
    std::lock_guard lock(mutex_);
    page_port_ = port;
}

json CaptureWindow::request(const json& body) {
    if (http::flag_field(body, "off")) {
        let_go();
        return http::ok_reply();
    }
    if (http::flag_field(body, "cerrar")) {
        if (body.contains("pantalla"))
            close_screen(screen_number(body));
        else
            close();
        return http::ok_reply();
    }
    if (http::flag_field(body, "precalentar")) {
        warm();
        return http::ok_reply();
    }
    if (http::flag_field(body, "enlazar")) return link_ahead(screen_number(body));
    return start(screen_number(body));
}

std::optional<CaptureWindow::Window> CaptureWindow::launch(unsigned n, std::string* error) {
    const auto ticket = new_ticket();
    if (!ticket) {
        *error = "no se pudo preparar la ventana de captura";
        return std::nullopt;
    }
    const std::string page = "http://127.0.0.1:" + std::to_string(page_port_) +
                             "/captura?n=" + std::to_string(n) + "&c=" + *ticket;
    auto browser = launch_.browser ? launch_.browser() : std::nullopt;
    if (!browser) {
        *error = "sin navegador";
        return std::nullopt;
    }
    const auto os = platform::host_os();
    const auto count = launch_.monitor_count ? launch_.monitor_count() : 1;
    // Chromium on Linux takes its UI language, and so its screen names, from the environment.
    platform::Environment env;
    if (os == platform::Os::linux_x11) env.emplace_back("LANGUAGE", "en_US");
    auto child = platform::start_process(
        *browser,
        capture_window_arguments(page, path_utf8(profile_for(n)), capture_source_name(n, count), os),
        env, error, platform::ChildKind::browser);
    if (!child) {
        if (error->empty()) *error = "no se pudo abrir el navegador";
        return std::nullopt;
    }
    log_.write("[CAPTURA] ventana auxiliar para la pantalla " + std::to_string(n));
    hide_later(child->pid());
    return Window{std::move(child), *ticket, box_name(n, ++launches_), false};
}

void CaptureWindow::stop_shown() {
    auto it = windows_.find(shown_);
    if (it != windows_.end()) mailbox_.put(it->second.box, json{{"t", "stop"}});
    shown_ = 0;
}

json CaptureWindow::start(unsigned n) {
    std::unique_lock lock(mutex_);
    if (!warm_) {
        lock.unlock();
        close();
        lock.lock();
    }
    stop_shown();
    return talk_to(n, "go");
}

json CaptureWindow::talk_to(unsigned n, const char* word) {
    // What was said about the screen shown before is of no use to the next.
    mailbox_.clear("cap");
    mailbox_.clear("main");
    std::string error;
    Window* w = running_window(n, &error);
    if (!w) return http::refusal(error);
    shown_ = n;
    // A waiting page acts at this; a page still loading finds it when it first reads.
    mailbox_.put(w->box, json{{"t", word}});
    return http::ok_reply();
}

CaptureWindow::Window* CaptureWindow::running_window(unsigned n, std::string* error) {
    auto it = windows_.find(n);
    if (it != windows_.end() && !it->second.child->running()) {
        mailbox_.clear(it->second.box);
        windows_.erase(it); // its handles go; the process is gone already
        it = windows_.end();
    }
    if (it == windows_.end()) {
        auto w = launch(n, error);
        if (!w) return nullptr;
        it = windows_.emplace(n, std::move(*w)).first;
    }
    return &it->second;
}

json CaptureWindow::link_ahead(unsigned n) {
    std::lock_guard lock(mutex_);
    // Only between switches: a shown screen (or another link being set up) keeps the boxes.
    if (!warm_) return http::refusal("sin ventanas de antemano");
    if (shown_ != 0) return http::refusal("hay una pantalla a la vista");
    return talk_to(n, "link");
}

void CaptureWindow::warm() {
    unsigned generation;
    {
        std::lock_guard lock(mutex_);
        if (warm_) return;
        warm_ = true;
        generation = generation_;
    }
    try {
        std::thread([this, generation] {
            // After the main picture is flowing, one browser at a time, so that the
            // session's own start has the machine first.
            std::this_thread::sleep_for(kWarmFirst);
            std::size_t count;
            {
                std::lock_guard lock(mutex_);
                count = launch_.monitor_count ? launch_.monitor_count() : 1;
            }
            const unsigned last = static_cast<unsigned>(
                std::min<std::size_t>({count, kMaxScreen, 1 + kMaxWarmWindows}));
            for (unsigned n = 2; n <= last; ++n) {
                {
                    std::lock_guard lock(mutex_);
                    if (!warm_ || generation_ != generation) return;
                    if (windows_.contains(n)) continue;
                    std::string error;
                    if (auto w = launch(n, &error))
                        windows_.emplace(n, std::move(*w));
                    else
                        log_.write("[CAPTURA] no se pudo abrir de antemano la ventana de la pantalla " +
                                   std::to_string(n) + ": " + error);
                }
                std::this_thread::sleep_for(kWarmNext);
            }
        }).detach();
    } catch (const std::system_error&) {
        // Without the thread each switch starts its window, as without warming.
    }
}

void CaptureWindow::let_go() {
    {
        std::lock_guard lock(mutex_);
        if (warm_) {
            stop_shown();
            mailbox_.clear("cap");
            mailbox_.clear("main");
            return;
        }
    }
    close();
}

// The window appears a moment after the process starts; it is looked for a while. On X
// the browser's notice window comes only once the capture runs, so the search goes on
// for it after the window itself was found.
void CaptureWindow::hide_later(std::uint32_t pid) {
    const unsigned generation = generation_;
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
    std::map<unsigned, Window> gone;
    {
        std::lock_guard lock(mutex_);
        gone.swap(windows_);
        shown_ = 0;
        warm_ = false;
        ++generation_;
    }
    for (auto& [n, w] : gone) {
        w.child->end_tree();
        log_.write("[CAPTURA] se cerró la ventana auxiliar");
    }
    mailbox_.clear();
}

void CaptureWindow::close_screen(unsigned n) {
    Window gone;
    {
        std::lock_guard lock(mutex_);
        auto it = windows_.find(n);
        if (it == windows_.end()) return;
        gone = std::move(it->second);
        windows_.erase(it);
        if (shown_ == n) {
            shown_ = 0;
            mailbox_.clear("cap");
            mailbox_.clear("main");
        }
    }
    gone.child->end_tree();
    log_.write("[CAPTURA] se cerró la ventana auxiliar");
    mailbox_.clear(gone.box);
}

std::string CaptureWindow::capture_box() {
    std::lock_guard lock(mutex_);
    auto it = windows_.find(shown_);
    return it != windows_.end() ? it->second.box : "cap";
}

std::optional<std::string> CaptureWindow::page(const std::string& ticket) {
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(windows_.begin(), windows_.end(),
                               [&](const auto& w) { return same_secret(ticket, w.second.ticket); });
        if (it == windows_.end() || it->second.page_served) return std::nullopt;
        it->second.page_served = true;
    }
    std::string html(http::find_web_asset("captura.html"));
    const auto at = html.find(kTicketMark);
    if (at == std::string::npos) return std::nullopt;
    return html.replace(at, std::string_view(kTicketMark).size(), ticket);
}

std::optional<std::string> CaptureWindow::box_of(const std::string& ticket) {
    std::lock_guard lock(mutex_);
    for (const auto& [n, w] : windows_)
        if (w.page_served && same_secret(ticket, w.ticket)) return w.box;
    return std::nullopt;
}

bool CaptureWindow::shows(const std::string& ticket) {
    std::lock_guard lock(mutex_);
    auto it = windows_.find(shown_);
    return it != windows_.end() && it->second.page_served && same_secret(ticket, it->second.ticket);
}

} // namespace kelvora::desktop
