// Monitors and modes through XRandR: a monitor is an output that drives a CRTC. X keeps no
// "stored mode" of its own the way Windows does, so the note kept with each change names the
// output's own mode and position, and returning to it sets that mode again.
#include "platform/display.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/linux/randr.hpp"
#include "platform/linux/x11_display.hpp"

namespace kelvora::platform {

namespace {

using namespace x11;

constexpr long kBadMode = -2; // the code Windows gives for a mode the device doesn't have
constexpr long kFailed = -1;

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

struct Box {
    int w = 0, h = 0;
};

// The screen must hold every CRTC: it grows before a CRTC needs the room and shrinks
// after one gave it back, as xrandr does.
Box needed_screen(Display* d, XRRScreenResources* res, RRCrtc changing, int x, int y, int w,
                  int h) {
    Box b{x + w, y + h};
    for (int i = 0; i < res->ncrtc; ++i) {
        if (res->crtcs[i] == changing) continue;
        CrtcInfo c(XRRGetCrtcInfo(d, res, res->crtcs[i]));
        if (!c || c->mode == 0) continue;
        b.w = std::max(b.w, c->x + static_cast<int>(c->width));
        b.h = std::max(b.h, c->y + static_cast<int>(c->height));
    }
    return b;
}

void resize_screen(Display* d, int w, int h) {
    const int s = DefaultScreen(d);
    const double mm_per_px_w = static_cast<double>(DisplayWidthMM(d, s)) / DisplayWidth(d, s);
    const double mm_per_px_h = static_cast<double>(DisplayHeightMM(d, s)) / DisplayHeight(d, s);
    XRRSetScreenSize(d, DefaultRootWindow(d), w, h, static_cast<int>(w * mm_per_px_w + 0.5),
                     static_cast<int>(h * mm_per_px_h + 0.5));
}

long set_crtc(Display* d, XRRScreenResources* res, const ActiveOutput& o, RRMode mode, int x,
              int y) {
    const XRRModeInfo* m = mode_info(res, mode);
    if (!m) return kBadMode;
    const Rotation r = o.crtc->rotation;
    const int w = static_cast<int>(sideways(r) ? m->height : m->width);
    const int h = static_cast<int>(sideways(r) ? m->width : m->height);
    const Box need = needed_screen(d, res, o.info->crtc, x, y, w, h);
    const int s = DefaultScreen(d);
    const int cur_w = DisplayWidth(d, s), cur_h = DisplayHeight(d, s);
    if (need.w > cur_w || need.h > cur_h)
        resize_screen(d, std::max(need.w, cur_w), std::max(need.h, cur_h));
    const Status st = XRRSetCrtcConfig(d, res, o.info->crtc, CurrentTime, x, y, mode, r,
                                       o.crtc->outputs, o.crtc->noutput);
    if (st != RRSetConfigSuccess) {
        std::fprintf(stderr, "[X11] XRRSetCrtcConfig falló: estado %d\n", st);
        XSync(d, False);
        return st;
    }
    int min_w, min_h, max_w, max_h;
    if (XRRGetScreenSizeRange(d, DefaultRootWindow(d), &min_w, &min_h, &max_w, &max_h) &&
        (need.w < cur_w || need.h < cur_h))
        resize_screen(d, std::max(need.w, min_w), std::max(need.h, min_h));
    XSync(d, False);
    return 0;
}

} // namespace

std::vector<Monitor> monitors() {
    std::vector<Monitor> out;
    auto d = open_display();
    if (!d) return out;
    Resources res = screen_resources(d.get());
    if (!res) return out;
    const RROutput primary = XRRGetOutputPrimary(d.get(), DefaultRootWindow(d.get()));
    for (int i = 0; i < res->noutput; ++i) {
        OutputInfo info(XRRGetOutputInfo(d.get(), res.get(), res->outputs[i]));
        if (!info || info->crtc == 0) continue;
        CrtcInfo crtc(XRRGetCrtcInfo(d.get(), res.get(), info->crtc));
        if (!crtc || crtc->mode == 0) continue;
        out.push_back({crtc->x, crtc->y, static_cast<int>(crtc->width),
                       static_cast<int>(crtc->height), res->outputs[i] == primary,
                       std::string(info->name, info->nameLen)});
    }
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

long change_mode(const std::string& device, const DisplayMode& mode) {
    auto d = open_display();
    if (!d) return kFailed;
    Resources res = screen_resources(d.get());
    ActiveOutput o;
    if (!res || !find_active_output(d.get(), res.get(), device, o)) return kFailed;
    const bool turned = sideways(o.crtc->rotation);
    const RRMode id = pick_mode(res.get(), o, turned ? mode.h : mode.w, turned ? mode.w : mode.h,
                                mode.hz * 1000L);
    if (!id) return kBadMode;
    return set_crtc(d.get(), res.get(), o, id, o.crtc->x, o.crtc->y);
}

std::string stored_mode_note(const std::string& device) {
    auto d = open_display();
    if (!d) return {};
    Resources res = screen_resources(d.get());
    ActiveOutput o;
    if (!res || !find_active_output(d.get(), res.get(), device, o)) return {};
    const XRRModeInfo* m = mode_info(res.get(), o.crtc->mode);
    if (!m) return {};
    char note[96];
    std::snprintf(note, sizeof note, "%ux%u@%ld+%d+%d", m->width, m->height, mode_millihertz(*m),
                  o.crtc->x, o.crtc->y);
    return note;
}

long return_to_stored_mode(const std::string& device, const std::string& note) {
    int w, h, x, y;
    long mhz;
    if (std::sscanf(note.c_str(), "%dx%d@%ld+%d+%d", &w, &h, &mhz, &x, &y) != 5) {
        std::fprintf(stderr, "[X11] sin modo guardado para %s\n", device.c_str());
        return kFailed;
    }
    auto d = open_display();
    if (!d) return kFailed;
    Resources res = screen_resources(d.get());
    ActiveOutput o;
    if (!res || !find_active_output(d.get(), res.get(), device, o)) return kFailed;
    const RRMode id = pick_mode(res.get(), o, w, h, mhz);
    if (!id) return kBadMode;
    return set_crtc(d.get(), res.get(), o, id, x, y);
}

} // namespace kelvora::platform
