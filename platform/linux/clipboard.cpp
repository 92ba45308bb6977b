// The X11 CLIPBOARD selection as UTF-8 text. X has no clipboard store: whoever owns the
// selection answers every paste, so our text is served by a thread with its own connection
// for as long as we own it. Reading asks the owner to convert to UTF8_STRING (STRING as a
// fallback) and waits for the answer.
#include "platform/clipboard.hpp"

#include <X11/Xatom.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/linux/x11_display.hpp"
#include "platform/report.hpp"

namespace kelvora::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kAnswerWait = std::chrono::milliseconds(1500);
constexpr std::size_t kMaxRead = 32u << 20;

struct Atoms {
    Atom clipboard, targets, utf8, text, incr, property;
    explicit Atoms(Display* d)
        : clipboard(XInternAtom(d, "CLIPBOARD", False)), targets(XInternAtom(d, "TARGETS", False)),
          utf8(XInternAtom(d, "UTF8_STRING", False)), text(XInternAtom(d, "TEXT", False)),
          incr(XInternAtom(d, "INCR", False)),
          property(XInternAtom(d, "KELVORA_PORTAPAPELES", False)) {}
};

struct WindowGuard {
    Display* d;
    Window w;
    ~WindowGuard() { XDestroyWindow(d, w); }
};

std::string latin1_to_utf8(const std::string& s) {
    std::string out;
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out.push_back(ch);
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// UTF-8 text as STRING wants it: Latin-1, with '?' for what Latin-1 lacks.
std::string utf8_to_latin1(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            out.push_back(s[i]);
        } else if ((c & 0xE0) == 0xC0 && i + 1 < s.size()) {
            const unsigned cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
            out.push_back(cp <= 0xFF ? static_cast<char>(cp) : '?');
            ++i;
        } else if ((c & 0xC0) != 0x80) {
            out.push_back('?');
        }
    }
    return out;
}

// Owns the selection while our text is on it. Each connection is a generation with its own
// serving thread; when the X server goes away the thread ends with it, and the next text
// is served on a new connection, as input reconnects.
class Owner {
public:
    bool put(const std::string& utf8);
    // Our own text, when we still own the selection.
    std::optional<std::string> own_text();

private:
    struct Connection {
        x11::DisplayPtr d;
        Window win = 0;
        std::optional<Atoms> atoms;
        std::atomic<bool> alive{true};
    };
    bool start();
    void serve(std::shared_ptr<Connection> c);
    void answer(Connection& c, const XSelectionRequestEvent& req);

    std::mutex mu_;
    std::shared_ptr<Connection> c_; // guarded by mu_, as are the two below
    std::string text_;
    bool owned_ = false;
};

bool Owner::start() {
    if (c_ && c_->alive && !x11::connection_lost(c_->d.get())) return true;
    if (c_) c_->alive = false;
    c_.reset();
    owned_ = false;
    auto c = std::make_shared<Connection>();
    c->d = x11::open_display();
    if (!c->d) {
        report("[X11] XOpenDisplay falló: no hay portapapeles");
        return false;
    }
    c->win = XCreateSimpleWindow(c->d.get(), DefaultRootWindow(c->d.get()), 0, 0, 1, 1, 0, 0, 0);
    c->atoms.emplace(c->d.get());
    try {
        std::thread([this, c] { serve(c); }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    c_ = std::move(c);
    return true;
}

bool Owner::put(const std::string& utf8) {
    std::lock_guard lock(mu_);
    if (!start()) return false;
    Display* d = c_->d.get();
    text_ = utf8;
    XSetSelectionOwner(d, c_->atoms->clipboard, c_->win, CurrentTime);
    owned_ = XGetSelectionOwner(d, c_->atoms->clipboard) == c_->win;
    if (!owned_) {
        report("[X11] XSetSelectionOwner: el servidor no nos dio CLIPBOARD");
        text_.clear();
    }
    return owned_;
}

std::optional<std::string> Owner::own_text() {
    std::lock_guard lock(mu_);
    if (!c_ || !owned_ || x11::connection_lost(c_->d.get()) ||
        XGetSelectionOwner(c_->d.get(), c_->atoms->clipboard) != c_->win)
        return std::nullopt;
    return text_;
}

void Owner::answer(Connection& c, const XSelectionRequestEvent& req) {
    XSelectionEvent reply{};
    reply.type = SelectionNotify;
    reply.requestor = req.requestor;
    reply.selection = req.selection;
    reply.target = req.target;
    reply.time = req.time;
    reply.property = None;
    // Obsolete clients leave the property out and mean the target's name.
    const Atom prop = req.property == None ? req.target : req.property;
    Display* d = c.d.get();
    const Atoms& atoms = *c.atoms;
    std::lock_guard lock(mu_);
    if (owned_ && c_.get() == &c && req.selection == atoms.clipboard) {
        // Without INCR a reply must fit in one request; larger text is refused, not cut.
        const std::size_t room =
            XExtendedMaxRequestSize(d) ? XExtendedMaxRequestSize(d) * 4 : XMaxRequestSize(d) * 4;
        if (req.target == atoms.targets) {
            const Atom list[] = {atoms.targets, atoms.utf8, XA_STRING, atoms.text};
            XChangeProperty(d, req.requestor, prop, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(list), 4);
            reply.property = prop;
        } else if ((req.target == atoms.utf8 || req.target == atoms.text ||
                    req.target == XA_STRING) &&
                   text_.size() + 1024 < room) {
            const bool latin1 = req.target == XA_STRING;
            const std::string data = latin1 ? utf8_to_latin1(text_) : text_;
            XChangeProperty(d, req.requestor, prop, latin1 ? XA_STRING : atoms.utf8, 8,
                            PropModeReplace, reinterpret_cast<const unsigned char*>(data.data()),
                            static_cast<int>(data.size()));
            reply.property = prop;
        }
    }
    XSendEvent(d, req.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
    XFlush(d);
}

void Owner::serve(std::shared_ptr<Connection> c) {
    Display* d = c->d.get();
    // Waits in poll rather than in XNextEvent: a connection whose server went away must
    // end this thread, not spin in Xlib.
    while (c->alive && !x11::connection_lost(d)) {
        if (XPending(d) == 0) {
            pollfd p{ConnectionNumber(d), POLLIN, 0};
            poll(&p, 1, 500);
            continue;
        }
        XEvent ev;
        XNextEvent(d, &ev);
        if (ev.type == SelectionRequest) {
            answer(*c, ev.xselectionrequest);
        } else if (ev.type == SelectionClear) {
            std::lock_guard lock(mu_);
            if (c_ == c) {
                owned_ = false;
                text_.clear();
            }
        }
    }
    c->alive = false;
}

Owner& owner() {
    static Owner* o = new Owner; // its threads run until the process ends
    return *o;
}

// Waits for an event of the given type on the window, up to the deadline.
bool wait_event(Display* d, Window w, int type, Clock::time_point deadline, XEvent& ev) {
    for (;;) {
        if (XCheckTypedWindowEvent(d, w, type, &ev)) return true;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p{ConnectionNumber(d), POLLIN, 0};
        poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 50)));
    }
}

struct XFreeData {
    void operator()(unsigned char* p) const {
        if (p) XFree(p);
    }
};

// Takes the property off the window whole; nothing on failure.
bool take_property(Display* d, Window w, Atom prop, Atom& type, std::string& out) {
    int format;
    unsigned long count, after;
    unsigned char* raw = nullptr;
    if (XGetWindowProperty(d, w, prop, 0, static_cast<long>(kMaxRead / 4), True, AnyPropertyType,
                           &type, &format, &count, &after, &raw) != Success)
        return false;
    std::unique_ptr<unsigned char, XFreeData> data(raw);
    if (!raw) return type == None ? false : true;
    out.assign(reinterpret_cast<const char*>(raw), count * static_cast<unsigned long>(format / 8));
    return true;
}

// A large answer arrives in pieces, each put on the property after we delete the last.
std::optional<std::string> read_incr(Display* d, Window w, Atom prop, Clock::time_point deadline) {
    std::string all;
    for (;;) {
        XEvent ev;
        do {
            if (!wait_event(d, w, PropertyNotify, deadline, ev)) return std::nullopt;
        } while (ev.xproperty.atom != prop || ev.xproperty.state != PropertyNewValue);
        Atom type;
        std::string piece;
        if (!take_property(d, w, prop, type, piece)) return std::nullopt;
        if (piece.empty()) return all;
        if (all.size() + piece.size() > kMaxRead) return std::nullopt;
        all += piece;
        deadline = Clock::now() + kAnswerWait;
    }
}

ClipboardText convert_from_owner(Display* d, Window w, const Atoms& a, Atom target) {
    XDeleteProperty(d, w, a.property);
    XConvertSelection(d, a.clipboard, target, a.property, w, CurrentTime);
    XFlush(d);
    const auto deadline = Clock::now() + kAnswerWait;
    const ClipboardText failed{ClipboardText::Kind::failed, {}};
    XEvent ev;
    if (!wait_event(d, w, SelectionNotify, deadline, ev)) return failed;
    // The owner answered that it has nothing of that type (a picture, say).
    if (ev.xselection.property == None) return {};
    Atom type = None;
    std::string data;
    if (!take_property(d, w, a.property, type, data)) return failed;
    if (type == a.incr) {
        XFlush(d);
        auto whole = read_incr(d, w, a.property, Clock::now() + kAnswerWait);
        if (!whole) return failed;
        data = std::move(*whole);
    }
    if (const auto nul = data.find('\0'); nul != std::string::npos) data.resize(nul);
    if (target == XA_STRING) data = latin1_to_utf8(data);
    return {ClipboardText::Kind::text, std::move(data)};
}

class XClipboard final : public OpenClipboard {
public:
    ClipboardText read_text() override {
        if (auto own = owner().own_text()) return {ClipboardText::Kind::text, *own};
        auto d = x11::open_display();
        if (!d) return {ClipboardText::Kind::failed, {}};
        const Atoms a(d.get());
        if (XGetSelectionOwner(d.get(), a.clipboard) == None) return {};
        WindowGuard w{
            d.get(), XCreateSimpleWindow(d.get(), DefaultRootWindow(d.get()), 0, 0, 1, 1, 0, 0, 0)};
        XSelectInput(d.get(), w.w, PropertyChangeMask);
        auto got = convert_from_owner(d.get(), w.w, a, a.utf8);
        if (got.kind == ClipboardText::Kind::none)
            got = convert_from_owner(d.get(), w.w, a, XA_STRING);
        return got;
    }
    bool write_text(const std::string& utf8) override { return owner().put(utf8); }
};

} // namespace

std::unique_ptr<OpenClipboard> open_clipboard() {
    return std::make_unique<XClipboard>();
}

} // namespace kelvora::platform
