#pragma once
// A monitor's offered modes as the technician picks from them, and the fit to a viewer.
#include <optional>
#include <vector>

#include "base/json_file.hpp"
#include "platform/display.hpp"

namespace kelvora::desktop {

struct Mode {
    int w = 0, h = 0, hz = 0;
    bool operator==(const Mode&) const = default;
};

// The OS enumeration stops here whatever the driver claims.
inline constexpr std::size_t kMaxEnumeratedModes = 20000;

// One entry per size at the current depth (interlaced and empty modes left out), at the
// current rate where the size has it, else its highest; the current mode always among
// them; largest area first, equal areas widest first.
std::vector<Mode> available_modes(const std::vector<platform::DisplayMode>& all,
                                  const platform::DisplayMode& current);

// The mode that best fills a viewer of w x h: within it, the largest area, and among areas
// within 5 % of each other the aspect ratio nearest the viewer's; the smallest mode when
// none fits. Nothing when there are no modes.
std::optional<Mode> fit_mode(const std::vector<Mode>& sorted, int w, int h);

json mode_json(const Mode& m);
Mode mode_of(const platform::DisplayMode& m);

} // namespace kelvora::desktop
