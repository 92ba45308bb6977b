// Monitors and modes through XRandR: a monitor is an output that drives a CRTC. X keeps no
// "stored mode" of its own the way Windows does, so the note kept with each change names the
// output's own mode (and where it was), and returning to it sets that mode again.
#include "platform/display.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/linux/randr.hpp"
#include "platform/linux/x11_display.hpp"
#include "platform/report.hpp"

namespace kelvora::platform {

namespace {

using namespace x11;

ModeResult no_display() {
    return {ModeResult::Outcome::no_display, 0};
}

bool sideways(Rotation r) {
    return (r & (RR_Rotate_90 | RR_Rotate_270)) != 0;
}

DisplayMode to_mode(Display* d, const XRRModeInfo& m, Rotation r) {
    DisplayMode out;
    out.w = static_cast<int>(sideways(r) ? m.height : m.width);
    out.h = static_cast<int>(sideways(r) ? m.width : m.height);
    out.hz = static_cast<int>((mode_millihertz(m) + 500) / 1000);
    out.depth = DefaultDepth(d, DefaultScreen(d));
    out.interlaced = (m.modeFlags & RR_Interlace) != 0;
    return out;
}

// The output's mode of that size nearest the rate; 0 when it has none of that size.
RRMode pick_mode(const XRRScreenResources* res, const ActiveOutput& o, int w, int h, long mhz) {
    RRMode best = 0;
    long best_gap = 0;
    for (int i = 0; i < o.info->nmode; ++i) {
        const XRRModeInfo* m = mode_info(res, o.info->modes[i]);
        if (!m || static_cast<int>(m->width) != w || static_cast<int>(m->height) != h) continue;
        const long gap = std::labs(mode_millihertz(*m) - mhz);
        if (!best || gap < best_gap) best = m->id, best_gap = gap;
    }
    return best;
}

// A CRTC as it is to be set: where it goes, with the rest of its configuration as it was.
struct Placement {
    RRCrtc id;
    CrtcInfo info;
    int x, y;
    RRMode mode;
    int w, h;
};

void resize_screen(Display* d, int w, int h) {
    const int s = DefaultScreen(d);
    const double mm_per_px_w = static_cast<double>(DisplayWidthMM(d, s)) / DisplayWidth(d, s);
    const double mm_per_px_h = static_cast<double>(DisplayHeightMM(d, s)) / DisplayHeight(d, s);
    XRRSetScreenSize(d, DefaultRootWindow(d), w, h, static_cast<int>(w * mm_per_px_w + 0.5),
                     static_cast<int>(h * mm_per_px_h + 0.5));
}

Status apply(Display* d, XRRScreenResources* res, const Placement& p) {
    return XRRSetCrtcConfig(d, res, p.id, CurrentTime, p.x, p.y, p.mode, p.info->rotation,
                            p.info->outputs, p.info->noutput);
}

// Sets the output's CRTC to mode at (x, y). Monitors to the right of its old right edge
// (or below its old bottom) move with the change in size, so that a monitor made larger
// doesn't cover its neighbour and one made smaller leaves no hole; returning to the old
// size moves them back by the same rule. The screen grows before a CRTC needs the room
// and shrinks after, as xrandr does.
ModeResult set_crtc(Display* d, XRRScreenResources* res, const ActiveOutput& o, RRMode mode, int x,
                    int y) {
    const XRRModeInfo* m = mode_info(res, mode);
    if (!m) return {ModeResult::Outcome::no_such_mode, 0};
    const Rotation r = o.crtc->rotation;
    const int w = static_cast<int>(sideways(r) ? m->height : m->width);
    const int h = static_cast<int>(sideways(r) ? m->width : m->height);
    const int old_right = o.crtc->x + static_cast<int>(o.crtc->width);
    const int old_bottom = o.crtc->y + static_cast<int>(o.crtc->height);
    const int dw = w - static_cast<int>(o.crtc->width);
    const int dh = h - static_cast<int>(o.crtc->height);

    std::vector<CrtcInfo> others;
    std::vector<RRCrtc> ids;
    int first_right = INT_MAX, first_below = INT_MAX; // the nearest monitors past each edge
    for (int i = 0; i < res->ncrtc; ++i) {
        if (res->crtcs[i] == o.info->crtc) continue;
        CrtcInfo c(XRRGetCrtcInfo(d, res, res->crtcs[i]));
        if (!c || c->mode == 0) continue;
        if (c->x >= old_right) first_right = std::min(first_right, c->x);
        if (c->y >= old_bottom) first_below = std::min(first_below, c->y);
        ids.push_back(res->crtcs[i]);
        others.push_back(std::move(c));
    }
    // Growing pushes the monitors past the edge just clear of it; shrinking pulls them
    // back only when they touched it, so a gap someone left stays a gap.
    const int shift_x = dw > 0                     ? std::max(0, x + w - first_right)
                        : first_right == old_right ? dw
                                                   : 0;
    const int shift_y = dh > 0                      ? std::max(0, y + h - first_below)
                        : first_below == old_bottom ? dh
                                                    : 0;
    std::vector<Placement> moved;
    int need_w = x + w, need_h = y + h;
    for (std::size_t i = 0; i < others.size(); ++i) {
        CrtcInfo& c = others[i];
        const int nx = std::max(0, c->x >= old_right ? c->x + shift_x : c->x);
        const int ny = std::max(0, c->y >= old_bottom ? c->y + shift_y : c->y);
        const int cw = static_cast<int>(c->width), ch = static_cast<int>(c->height);
        need_w = std::max(need_w, nx + cw);
        need_h = std::max(need_h, ny + ch);
        if (nx != c->x || ny != c->y) {
            const RRMode cm = c->mode;
            moved.push_back({ids[i], std::move(c), nx, ny, cm, cw, ch});
        }
    }
    const int s = DefaultScreen(d);
    const int cur_w = DisplayWidth(d, s), cur_h = DisplayHeight(d, s);
    if (need_w > cur_w || need_h > cur_h)
        resize_screen(d, std::max(need_w, cur_w), std::max(need_h, cur_h));
    const Status st = XRRSetCrtcConfig(d, res, o.info->crtc, CurrentTime, x, y, mode, r,
                                       o.crtc->outputs, o.crtc->noutput);
    if (st != RRSetConfigSuccess) {
        report("[X11] XRRSetCrtcConfig falló: estado " + std::to_string(st));
        XSync(d, False);
        return {ModeResult::Outcome::refused, st};
    }
    for (const auto& p : moved)
        if (const Status ms = apply(d, res, p); ms != RRSetConfigSuccess)
            report("[X11] XRRSetCrtcConfig (monitor vecino) falló: estado " + std::to_string(ms));
    int min_w, min_h, max_w, max_h;
    if (XRRGetScreenSizeRange(d, DefaultRootWindow(d), &min_w, &min_h, &max_w, &max_h) &&
        (need_w < cur_w || need_h < cur_h))
        resize_screen(d, std::max(need_w, min_w), std::max(need_h, min_h));
    XSync(d, False);
    return {};
}

} // namespace

std::vector<Monitor> monitors() {
    std::vector<Monitor> out;
    auto d = open_display();
    if (!d) return out;
    Resources res = screen_resources(d.get());
    if (!res) return out;
    const RROutput primary = XRRGetOutputPrimary(d.get(), DefaultRootWindow(d.get()));
    // Chromium names a screen capture by the RandR monitor's name atom ("screen:<atom>:0").
    int nmon = 0;
    XRRMonitorInfo* rmons = XRRGetMonitors(d.get(), DefaultRootWindow(d.get()), True, &nmon);
    auto capture_id = [&](RROutput output) -> long {
        for (int m = 0; m < nmon; ++m)
            for (int o = 0; o < rmons[m].noutput; ++o)
                if (rmons[m].outputs[o] == output) return static_cast<long>(rmons[m].name);
        return -1;
    };
    for (int i = 0; i < res->noutput; ++i) {
        OutputInfo info(XRRGetOutputInfo(d.get(), res.get(), res->outputs[i]));
        if (!info || info->crtc == 0) continue;
        CrtcInfo crtc(XRRGetCrtcInfo(d.get(), res.get(), info->crtc));
        if (!crtc || crtc->mode == 0) continue;
        out.push_back({crtc->x, crtc->y, static_cast<int>(crtc->width),
                       static_cast<int>(crtc->height), res->outputs[i] == primary,
                       std::string(info->name, info->nameLen), capture_id(res->outputs[i])});
    }
    if (rmons) XRRFreeMonitors(rmons);
    // X may have no primary output at all; the one holding the origin plays that part.
    if (!out.empty() && std::none_of(out.begin(), out.end(), [](auto& m) { return m.primary; })) {
        auto it =
            std::find_if(out.begin(), out.end(), [](auto& m) { return m.x == 0 && m.y == 0; });
        (it == out.end() ? out.front() : *it).primary = true;
    }
    return out;
}

std::optional<DisplayMode> current_mode(const std::string& device) {
    auto d = open_display();
    if (!d) return std::nullopt;
    Resources res = screen_resources(d.get());
    ActiveOutput o;
    if (!res || !find_active_output(d.get(), res.get(), device, o)) return std::nullopt;
    const XRRModeInfo* m = mode_info(res.get(), o.crtc->mode);
    if (!m) return std::nullopt;
    return to_mode(d.get(), *m, o.crtc->rotation);
}

std::vector<DisplayMode> display_modes(const std::string& device, std::size_t max) {
    std::vector<DisplayMode> out;
    auto d = open_display();
    if (!d) return out;
    Resources res = screen_resources(d.get());
    ActiveOutput o;
    if (!res || !find_active_output(d.get(), res.get(), device, o)) return out;
    for (int i = 0; i < o.info->nmode && out.size() < max; ++i)
        if (const XRRModeInfo* m = mode_info(res.get(), o.info->modes[i]))
            out.push_back(to_mode(d.get(), *m, o.crtc->rotation));
    return out;
}

ModeResult change_mode(const std::string& device, const DisplayMode& mode) {
    auto d = open_display();
    if (!d) return no_display();
    Resources res = screen_resources(d.get());
    ActiveOutput o;
    if (!res || !find_active_output(d.get(), res.get(), device, o)) return no_display();
    const bool turned = sideways(o.crtc->rotation);
    const RRMode id = pick_mode(res.get(), o, turned ? mode.h : mode.w, turned ? mode.w : mode.h,
                                mode.hz * 1000L);
    if (!id) return {ModeResult::Outcome::no_such_mode, 0};
    return set_crtc(d.get(), res.get(), o, id, o.crtc->x, o.crtc->y);
}

std::optional<std::string> stored_mode_note(const std::string& device) {
    auto d = open_display();
    if (!d) return std::nullopt;
    Resources res = screen_resources(d.get());
    ActiveOutput o;
    if (!res || !find_active_output(d.get(), res.get(), device, o)) return std::nullopt;
    const XRRModeInfo* m = mode_info(res.get(), o.crtc->mode);
    if (!m) return std::nullopt;
    char note[96];
    std::snprintf(note, sizeof note, "%ux%u@%ld+%d+%d", m->width, m->height, mode_millihertz(*m),
                  o.crtc->x, o.crtc->y);
    return std::string(note);
}

ModeResult return_to_stored_mode(const std::string& device, const std::string& note) {
    int w, h, x, y;
    long mhz;
    if (std::sscanf(note.c_str(), "%dx%d@%ld+%d+%d", &w, &h, &mhz, &x, &y) != 5) {
        report("[X11] sin modo guardado para " + device);
        return {ModeResult::Outcome::no_such_mode, 0};
    }
    auto d = open_display();
    if (!d) return no_display();
    Resources res = screen_resources(d.get());
    ActiveOutput o;
    if (!res || !find_active_output(d.get(), res.get(), device, o)) return no_display();
    const RRMode id = pick_mode(res.get(), o, w, h, mhz);
    if (!id) return {ModeResult::Outcome::no_such_mode, 0};
    // The monitor stays where it is now: its neighbours moved with each change, and the
    // same rule moves them back. The note's position is only what it was at the time.
    (void)x, (void)y;
    return set_crtc(d.get(), res.get(), o, id, o.crtc->x, o.crtc->y);
}

} // namespace kelvora::platform
