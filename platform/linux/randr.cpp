#include "platform/linux/randr.hpp"

#include <cstdio>

namespace kelvora::platform::x11 {

Resources screen_resources(Display* d) {
    return Resources(XRRGetScreenResourcesCurrent(d, DefaultRootWindow(d)));
}

const XRRModeInfo* mode_info(const XRRScreenResources* res, RRMode id) {
    for (int i = 0; i < res->nmode; ++i)
        if (res->modes[i].id == id) return &res->modes[i];
    return nullptr;
}

long mode_millihertz(const XRRModeInfo& m) {
    double v_total = m.vTotal;
    if (m.modeFlags & RR_DoubleScan) v_total *= 2;
    if (m.modeFlags & RR_Interlace) v_total /= 2;
    if (m.hTotal == 0 || v_total == 0) return 0;
    return static_cast<long>(1000.0 * static_cast<double>(m.dotClock) / (m.hTotal * v_total) + 0.5);
}

bool find_active_output(Display* d, XRRScreenResources* res, const std::string& name,
                        ActiveOutput& out) {
    for (int i = 0; i < res->noutput; ++i) {
        OutputInfo info(XRRGetOutputInfo(d, res, res->outputs[i]));
        if (!info || info->crtc == 0 || name != std::string(info->name, info->nameLen)) continue;
        CrtcInfo crtc(XRRGetCrtcInfo(d, res, info->crtc));
        if (!crtc || crtc->mode == 0) return false;
        out = {res->outputs[i], std::move(info), std::move(crtc)};
        return true;
    }
    return false;
}

} // namespace kelvora::platform::x11
