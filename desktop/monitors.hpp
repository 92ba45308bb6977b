#pragma once
// The monitor list in the order every monitor number refers to.
#include <string>
#include <vector>

#include "base/json_file.hpp"
#include "platform/display.hpp"

namespace kelvora::desktop {

// Primary first, then by x, then by y.
std::vector<platform::Monitor> in_list_order(std::vector<platform::Monitor> monitors);
// A device name as shown: without the leading "\\.\" that Windows puts before it.
std::string short_name(const std::string& device);
// The records i, x, y, w, h, primary, name; on X also captura, the number of the
// monitor in a screen capture's track label.
json monitors_json(const std::vector<platform::Monitor>& ordered);

} // namespace kelvora::desktop
