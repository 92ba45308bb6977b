#pragma once
// XRandR screen resources owned for one use, and the lookups the display backend repeats.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <memory>
#include <string>

namespace kelvora::platform::x11 {

struct ResourcesFree {
    void operator()(XRRScreenResources* r) const { XRRFreeScreenResources(r); }
};
struct OutputFree {
    void operator()(XRROutputInfo* o) const { XRRFreeOutputInfo(o); }
};
struct CrtcFree {
    void operator()(XRRCrtcInfo* c) const { XRRFreeCrtcInfo(c); }
};
using Resources = std::unique_ptr<XRRScreenResources, ResourcesFree>;
using OutputInfo = std::unique_ptr<XRROutputInfo, OutputFree>;
using CrtcInfo = std::unique_ptr<XRRCrtcInfo, CrtcFree>;

Resources screen_resources(Display* d);
const XRRModeInfo* mode_info(const XRRScreenResources* res, RRMode id);
// Refresh rate in millihertz, as the mode's timings give it.
long mode_millihertz(const XRRModeInfo& m);

// An output that drives a CRTC, found by name.
struct ActiveOutput {
    RROutput id = 0;
    OutputInfo info;
    CrtcInfo crtc;
};
bool find_active_output(Display* d, XRRScreenResources* res, const std::string& name,
                        ActiveOutput& out);

} // namespace kelvora::platform::x11
