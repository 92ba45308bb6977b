// Synthetic input through XTest on one long-lived connection. Keys go by physical code
// (evdev + 8). A typed character goes through the key that already carries it (with Shift
// when it is on the shifted level), and only a character the layout lacks goes through a
// spare key code bound to its keysym.
//
// An Xlib client loads its key map the first time it looks a key up, and hears of later
// changes only from then on: a key rebound while it is loading (between its reading the
// map and its asking for map changes) stays empty for it for good, and every press of it
// reads as NoSymbol. The first key a client looks up is often one of the text being typed,
// so the spare keys a request needs are bound before any of its key events: the client's
// loading starts after them and reads them. Only a text that needs more spare keys than
// there are binds some in the middle.
//
// A client reads a rebound key's new map only when it gets to the key, which on a busy
// machine can be seconds after we typed. Whatever the key carries at that moment is what
// the client types: so a spare key keeps its character long after its last press, a text
// whose characters fit the spare keys never changes a key it has used, and a key is taken
// for another character only once it has been left alone for a good while.
//
// A request's records go out together, written out once at the end and not waited for:
// the server handles one connection's requests in order, so a binding is in place before
// the press that follows it, and nothing needs a trip of its own.
#include "platform/input.hpp"

#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "platform/linux/evdev_keys.hpp"
#include "platform/linux/x11_display.hpp"
#include "platform/report.hpp"

namespace kelvora::platform {

namespace {

using Clock = std::chrono::steady_clock;

// A spare key is taken for another character only this long after its last press, and
// given back (left with no character) after this long unused.
constexpr auto kRebindAfter = std::chrono::seconds(10);
constexpr auto kUnbindAfter = std::chrono::seconds(120);
// What one request may spend waiting for spare keys. A text with more characters outside
// the layout than there are spare keys (a page of Chinese) would otherwise hold every other
// input for minutes; past this its keys are rebound at once, at the risk that a slow
// client reads one of them late as the character that followed.
constexpr auto kRebindWaitPerRequest = std::chrono::seconds(2);
// Empty key codes left to other programs that type this way (xdotool takes one).
constexpr std::size_t kSpareLeftOver = 1;

// Latin-1 keysyms equal their code points; every other character has its Unicode keysym.
KeySym keysym_of(char32_t cp) {
    return (cp >= 0x20 && cp <= 0x7E) || (cp >= 0xA0 && cp <= 0xFF)
               ? static_cast<KeySym>(cp)
               : static_cast<KeySym>(0x01000000 | cp);
}

// The character of a UTF-16 surrogate pair.
char32_t pair_code(char16_t high, char16_t low) {
    return 0x10000 + ((static_cast<char32_t>(high) - 0xD800) << 10) + (low - 0xDC00);
}

struct SpareKey {
    KeyCode code = 0;
    KeySym bound = NoSymbol;
    Clock::time_point used{};
};

class XInput {
public:
    std::size_t send(std::span<const InputRecord> recs);
    VirtualScreen screen();

private:
    bool connect();
    int one(const InputRecord& r);
    int key(const InputRecord& r);
    int unicode(const InputRecord& r);
    int wheel(const InputRecord& r);
    KeyCode spare_for(KeySym sym);
    SpareKey* free_spare();
    KeyCode bind(KeySym sym);
    void take(SpareKey& key, KeySym sym);
    void bind_ahead(std::span<const InputRecord> recs);
    struct LayoutKey {
        KeyCode code = 0;
        bool shifted = false;
    };
    LayoutKey layout_key(KeySym sym);
    bool press_on_layout(KeySym sym);
    bool plain_state();
    bool is_spare(KeyCode code) const;
    void find_spare_keys();
    void set_keysym(KeyCode code, KeySym sym);
    void unbinder();
    void drop_events();

    std::mutex mu_;
    std::condition_variable cv_;
    x11::DisplayPtr d_;
    std::vector<SpareKey> spare_;
    bool spare_searched_ = false;
    bool unbinder_started_ = false;
    int keysyms_per_code_ = 0;
    std::set<unsigned> down_; // key codes we pressed and haven't released
    char16_t pending_high_ = 0;
    KeyCode typing_ = 0;       // the key a typed character holds down
    KeyCode typing_shift_ = 0; // the Shift held down with it, if any
    int wheel_rest_[2] = {0, 0};
    std::optional<bool> plain_; // the keyboard's state, asked once per batch
    Clock::duration rebind_wait_left_{}; // what this batch may still wait for spare keys
};

bool XInput::connect() {
    if (d_ && !x11::connection_lost(d_.get())) return true;
    // A new server has new key codes: the spare keys are looked up again, and it holds
    // no key of ours down.
    spare_.clear();
    down_.clear();
    spare_searched_ = false;
    d_ = x11::open_display();
    if (!d_) {
        report("[X11] XOpenDisplay falló: no hay pantalla para la entrada");
        return false;
    }
    int ev, err, major, minor;
    if (!XTestQueryExtension(d_.get(), &ev, &err, &major, &minor)) {
        report("[X11] XTestQueryExtension: el servidor no tiene XTEST");
        d_.reset();
        return false;
    }
    XTestGrabControl(d_.get(), True);
    return true;
}

VirtualScreen XInput::screen() {
    std::lock_guard lock(mu_);
    if (!connect()) return {};
    Window root;
    int x, y;
    unsigned w, h, border, depth;
    // Asked afresh: the connection's cached screen size goes stale after a RandR change.
    if (!XGetGeometry(d_.get(), DefaultRootWindow(d_.get()), &root, &x, &y, &w, &h, &border,
                      &depth))
        return {};
    return {0, 0, static_cast<int>(w), static_cast<int>(h)};
}

void XInput::find_spare_keys() {
    spare_searched_ = true;
    int min_code, max_code;
    XDisplayKeycodes(d_.get(), &min_code, &max_code);
    const int count = max_code - min_code + 1;
    KeySym* syms =
        XGetKeyboardMapping(d_.get(), static_cast<KeyCode>(min_code), count, &keysyms_per_code_);
    if (!syms) return;
    std::vector<KeyCode> empty;
    for (int k = 0; k < count; ++k) {
        bool none = true;
        for (int c = 0; c < keysyms_per_code_; ++c)
            none = none && syms[k * keysyms_per_code_ + c] == NoSymbol;
        if (none) empty.push_back(static_cast<KeyCode>(min_code + k));
    }
    XFree(syms);
    // The highest codes are the least likely to be on a real keyboard; the lowest stay free
    // for others.
    for (std::size_t i = empty.size(); i > kSpareLeftOver; --i)
        spare_.push_back({empty[i - 1]});
    if (spare_.empty()) report("[X11] no hay teclas libres para escribir texto");
}

void XInput::set_keysym(KeyCode code, KeySym sym) {
    std::vector<KeySym> row(static_cast<std::size_t>(keysyms_per_code_), sym);
    XChangeKeyboardMapping(d_.get(), code, keysyms_per_code_, row.data(), 1);
}

bool XInput::is_spare(KeyCode code) const {
    for (const auto& s : spare_)
        if (s.code == code) return true;
    return false;
}

// The spare key that already carries sym, if one does.
KeyCode XInput::spare_for(KeySym sym) {
    for (auto& s : spare_)
        if (s.bound == sym) {
            s.used = Clock::now();
            return s.code;
        }
    return 0;
}

// A free key, else the one left alone longest.
SpareKey* XInput::free_spare() {
    if (!spare_searched_) find_spare_keys();
    if (spare_.empty()) return nullptr;
    SpareKey* pick = &spare_.front();
    for (auto& s : spare_) {
        if (s.bound == NoSymbol) return &s;
        if (s.used < pick->used) pick = &s;
    }
    return pick;
}

KeyCode XInput::bind(KeySym sym) {
    SpareKey* pick = free_spare();
    if (!pick) return 0;
    if (pick->bound != NoSymbol) {
        // Every spare key carries a character typed a moment ago that a slow client may not
        // have read yet: what was typed so far goes out, and the text waits for the oldest.
        const auto wait = std::min<Clock::duration>(pick->used + kRebindAfter - Clock::now(),
                                                    rebind_wait_left_);
        if (wait > Clock::duration::zero()) {
            XSync(d_.get(), True);
            std::this_thread::sleep_for(wait);
            rebind_wait_left_ -= wait;
        }
    }
    take(*pick, sym);
    return pick->code;
}

void XInput::take(SpareKey& key, KeySym sym) {
    set_keysym(key.code, sym);
    key.bound = sym;
    key.used = Clock::now();
    if (!unbinder_started_) {
        unbinder_started_ = true;
        std::thread([this] { unbinder(); }).detach();
    }
    cv_.notify_all();
}

// Binds the characters of the request that will need a spare key, as far as keys are free
// without waiting, before any of its key events goes out.
void XInput::bind_ahead(std::span<const InputRecord> recs) {
    char16_t high = 0;
    for (const auto& r : recs) {
        if (r.kind != InputRecord::Kind::unicode || r.up) continue;
        const char16_t u = r.code;
        if (u >= 0xD800 && u <= 0xDBFF) {
            high = u;
            continue;
        }
        char32_t cp = u;
        if (u >= 0xDC00 && u <= 0xDFFF) {
            if (!high) continue;
            cp = pair_code(high, u);
        }
        const KeySym sym = keysym_of(cp);
        if (spare_for(sym) || layout_key(sym).code) continue;
        SpareKey* pick = free_spare();
        if (!pick || (pick->bound != NoSymbol && Clock::now() - pick->used < kRebindAfter))
            break; // the rest are bound as they come, waiting for keys
        take(*pick, sym);
    }
}

void XInput::unbinder() {
    std::unique_lock lock(mu_);
    for (;;) {
        Clock::time_point next = Clock::time_point::max();
        bool changed = false;
        for (auto& s : spare_) {
            if (s.bound == NoSymbol) continue;
            if (Clock::now() - s.used >= kUnbindAfter && s.code != typing_) {
                set_keysym(s.code, NoSymbol);
                s.bound = NoSymbol;
                changed = true;
            } else {
                next = std::min(next, s.used + kUnbindAfter);
            }
        }
        if (changed && d_) XSync(d_.get(), True);
        if (next == Clock::time_point::max())
            cv_.wait(lock);
        else
            cv_.wait_until(lock, next);
    }
}

int XInput::key(const InputRecord& r) {
    const int evdev = linux_keys::evdev_code(r.code, r.virtual_key, r.extended);
    if (evdev == 0) return 0;
    const auto code = static_cast<unsigned>(evdev + 8);
    plain_.reset(); // a modifier may change the level of what is typed next
    if (r.up) {
        down_.erase(code);
        return XTestFakeKeyEvent(d_.get(), code, False, CurrentTime) != 0;
    }
    // The server drops a second press of a key that is down, so a held key would type once.
    // The technician's repeats go out as X's own repeat: a release and a press.
    if (!down_.insert(code).second) XTestFakeKeyEvent(d_.get(), code, False, CurrentTime);
    return XTestFakeKeyEvent(d_.get(), code, True, CurrentTime) != 0;
}

int XInput::unicode(const InputRecord& r) {
    const char16_t u = r.code;
    if (u >= 0xD800 && u <= 0xDBFF) {
        // The first half of a pair types nothing by itself; the second half types both.
        if (!r.up) pending_high_ = u;
        return 1;
    }
    char32_t cp = u;
    if (u >= 0xDC00 && u <= 0xDFFF) {
        if (!pending_high_) return 0;
        cp = pair_code(pending_high_, u);
        if (r.up) pending_high_ = 0;
    }
    if (r.up) {
        if (!typing_) return 0;
        int ok = XTestFakeKeyEvent(d_.get(), typing_, False, CurrentTime) != 0;
        if (typing_shift_)
            ok &= XTestFakeKeyEvent(d_.get(), typing_shift_, False, CurrentTime) != 0;
        typing_ = typing_shift_ = 0;
        return ok;
    }
    const KeySym sym = keysym_of(cp);
    KeyCode code = spare_for(sym);
    if (!code) {
        if (press_on_layout(sym)) return 1;
        code = bind(sym);
    }
    if (!code) return 0;
    typing_ = code;
    return XTestFakeKeyEvent(d_.get(), code, True, CurrentTime) != 0;
}

// Only from a plain state is the level of a key known: Shift, Caps Lock or the third level
// held by the technician, or another layout group, would change the character. Nothing of
// ours changes it within a batch, so it is asked once.
bool XInput::plain_state() {
    if (!plain_) {
        XkbStateRec state;
        plain_ = XkbGetState(d_.get(), XkbUseCoreKbd, &state) == Success && state.group == 0 &&
                 !(state.mods & (ShiftMask | LockMask | Mod5Mask));
    }
    return *plain_;
}

// The layout's key for sym, with whether Shift goes with it; no key when the character
// can't be typed on the layout now.
XInput::LayoutKey XInput::layout_key(KeySym sym) {
    const KeyCode code = XKeysymToKeycode(d_.get(), sym);
    // Our own spare keys are told apart by what we bound them to, never by our copy of
    // the map, which may lag behind it.
    if (!code || down_.count(code) || is_spare(code)) return {};
    if (!plain_state()) return {};
    if (XkbKeycodeToKeysym(d_.get(), code, 0, 0) == sym) return {code, false};
    if (XkbKeycodeToKeysym(d_.get(), code, 0, 1) == sym) return {code, true};
    return {};
}

bool XInput::press_on_layout(KeySym sym) {
    const LayoutKey key = layout_key(sym);
    if (!key.code) return false;
    KeyCode shift = 0;
    if (key.shifted) {
        shift = XKeysymToKeycode(d_.get(), XK_Shift_L);
        if (!shift || down_.count(shift)) return false;
        XTestFakeKeyEvent(d_.get(), shift, True, CurrentTime);
    }
    typing_ = key.code;
    typing_shift_ = shift;
    return XTestFakeKeyEvent(d_.get(), key.code, True, CurrentTime) != 0;
}

int XInput::wheel(const InputRecord& r) {
    // X scrolls by whole notches (buttons 4/5 up/down, 6/7 left/right) while the amounts
    // come in 1/120 notches; the rest carries over to the next turn.
    int& rest = wheel_rest_[r.horizontal ? 1 : 0];
    rest += r.amount;
    const int notches = rest / 120;
    rest -= notches * 120;
    const unsigned forward = r.horizontal ? 7 : 4, back = r.horizontal ? 6 : 5;
    const unsigned button = notches > 0 ? forward : back;
    int ok = 1;
    for (int i = 0; i < (notches > 0 ? notches : -notches); ++i)
        ok &= XTestFakeButtonEvent(d_.get(), button, True, CurrentTime) != 0 &&
              XTestFakeButtonEvent(d_.get(), button, False, CurrentTime) != 0;
    return ok;
}

int XInput::one(const InputRecord& r) {
    static constexpr unsigned kXButtons[] = {1, 2, 3, 8, 9};
    switch (r.kind) {
    case InputRecord::Kind::move:
        return XTestFakeMotionEvent(d_.get(), -1, r.px, r.py, CurrentTime) != 0;
    case InputRecord::Kind::button:
        if (r.button < 0 || r.button > 4) return 0;
        return XTestFakeButtonEvent(d_.get(), kXButtons[r.button], r.up ? False : True,
                                    CurrentTime) != 0;
    case InputRecord::Kind::wheel:
        return wheel(r);
    case InputRecord::Kind::key:
        return key(r);
    case InputRecord::Kind::unicode:
        return unicode(r);
    }
    return 0;
}

// The events the server sends us (our own key map changes) are of no use; they are read
// as they come, without waiting, so that they don't pile up.
void XInput::drop_events() {
    XEvent ev;
    while (XPending(d_.get()) > 0)
        XNextEvent(d_.get(), &ev);
}

std::size_t XInput::send(std::span<const InputRecord> recs) {
    std::lock_guard lock(mu_);
    if (!connect()) return 0;
    std::size_t accepted = 0;
    plain_.reset();
    rebind_wait_left_ = kRebindWaitPerRequest;
    bind_ahead(recs);
    for (const auto& r : recs)
        accepted += static_cast<std::size_t>(one(r));
    // Written out before the caller answers: a program that asks the server after our
    // answer needs a few trips of its own to connect and ask, and the server takes our
    // requests, already in its socket, on the first of them; so whoever asked sees the
    // effect. Waiting for the server's reply as well would add its turn on the CPU to
    // every move, which on a busy machine is most of the move's time.
    XFlush(d_.get());
    drop_events();
    return accepted;
}

XInput& x_input() {
    static XInput* input = new XInput; // lives until exit; the unbinder thread holds it
    return *input;
}

} // namespace

VirtualScreen virtual_screen() {
    return x_input().screen();
}

std::size_t send_input(std::span<const InputRecord> records) {
    return x_input().send(records);
}

} // namespace kelvora::platform
