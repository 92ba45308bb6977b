#include "platform/shell.hpp"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/linux/x11_display.hpp"
#include "platform/process.hpp"
#include "platform/report.hpp"

namespace kelvora::platform {

std::optional<std::string> find_on_path(const std::string& name) {
    auto path = env("PATH");
    if (!path) return std::nullopt;
    std::size_t pos = 0;
    while (pos <= path->size()) {
        std::size_t colon = path->find(':', pos);
        if (colon == std::string::npos) colon = path->size();
        std::string dir = path->substr(pos, colon - pos);
        pos = colon + 1;
        if (dir.empty()) continue;
        std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

std::optional<std::string> registry_app_path(const std::string&) {
    return std::nullopt;
}

bool is_file(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

namespace {

// The WM_CLASS class names of the Chromium family; app windows keep the browser's class.
bool is_chromium_class(const std::string& cls) {
    static const char* const known[] = {"chromium", "google-chrome", "microsoft-edge",
                                        "brave-browser"};
    std::string lower = cls;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* k : known)
        if (lower.starts_with(k)) return true;
    return false;
}

bool is_app_window(Display* d, Window w, const std::string& prefix) {
    XClassHint hint{};
    if (!XGetClassHint(d, w, &hint)) return false;
    const bool chromium = hint.res_class && is_chromium_class(hint.res_class);
    if (hint.res_name) XFree(hint.res_name);
    if (hint.res_class) XFree(hint.res_class);
    return chromium && x11::window_title(d, w).starts_with(prefix);
}

void send_client_message(Display* d, Window target, Window about, const char* type, long l0,
                         long l1 = 0,
                         long mask = SubstructureRedirectMask | SubstructureNotifyMask) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = about;
    e.xclient.message_type = XInternAtom(d, type, False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = l0;
    e.xclient.data.l[1] = l1;
    XSendEvent(d, target, False, mask, &e);
}

bool has_window_manager(Display* d) {
    return x11::list_property(d, DefaultRootWindow(d), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW)
        .has_value();
}

std::optional<std::string> first_on_path(std::initializer_list<const char*> names) {
    for (const char* n : names)
        if (auto p = find_on_path(n)) return p;
    return std::nullopt;
}

} // namespace

bool show_message(const std::string& caption, const std::string& text, bool question) {
    if (auto zenity = find_on_path("zenity")) {
        std::vector<std::string> args = {question ? "--question" : "--info", "--title=" + caption,
                                         "--text=" + text, "--no-markup"};
        // As on Windows, a question defaults to No: Enter alone must not say yes.
        if (question) args.push_back("--default-cancel");
        auto r = run_hidden(*zenity, args);
        if (r.started) return question && r.exit_code == 0;
    }
    // No dialog program: the message goes where a person running us from a terminal sees it.
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    report("[APP] " + caption + ": " + text);
    return false;
}

std::optional<WindowId> find_browser_window(const std::string& title_prefix) {
    auto d = x11::open_display();
    if (!d) return std::nullopt;
    for (Window w : x11::top_level_windows(d.get()))
        if (is_app_window(d.get(), w, title_prefix)) return static_cast<WindowId>(w);
    return std::nullopt;
}

bool raise_window(WindowId id) {
    auto d = x11::open_display();
    if (!d) return false;
    const Window w = static_cast<Window>(id);
    if (has_window_manager(d.get())) {
        // Source 2 (a pager) asks the window manager to obey rather than flash the window;
        // activation also de-iconifies.
        send_client_message(d.get(), DefaultRootWindow(d.get()), w, "_NET_ACTIVE_WINDOW", 2,
                            CurrentTime);
    } else {
        XMapRaised(d.get(), w);
        XSetInputFocus(d.get(), w, RevertToParent, CurrentTime);
    }
    XFlush(d.get());
    return true;
}

void close_window(WindowId id) {
    auto d = x11::open_display();
    if (!d) return;
    const Window w = static_cast<Window>(id);
    // WM_DELETE_WINDOW straight to the client works with and without a window manager.
    send_client_message(d.get(), w, w, "WM_PROTOCOLS",
                        static_cast<long>(XInternAtom(d.get(), "WM_DELETE_WINDOW", False)),
                        CurrentTime, NoEventMask);
    XFlush(d.get());
}

bool open_sound_settings() {
    auto tool = first_on_path({"pavucontrol", "gnome-control-center"});
    if (!tool) return false;
    std::vector<std::string> args;
    if (tool->ends_with("gnome-control-center")) args.push_back("sound");
    std::string error;
    return start_process(*tool, args, {}, &error) != nullptr;
}

// Linux desktops keep microphone permissions in the sound settings.
bool open_microphone_privacy() {
    return open_sound_settings();
}

} // namespace kelvora::platform
