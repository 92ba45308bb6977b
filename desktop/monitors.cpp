#include "desktop/monitors.hpp"

#include <algorithm>

namespace kelvora::desktop {

std::vector<platform::Monitor> in_list_order(std::vector<platform::Monitor> monitors) {
    std::stable_sort(monitors.begin(), monitors.end(), [](const auto& a, const auto& b) {
        if (a.primary != b.primary) return a.primary;
        if (a.x != b.x) return a.x < b.x;
        return a.y < b.y;
    });
    return monitors;
}

std::string short_name(const std::string& device) {
    constexpr std::string_view prefix = "\\\\.\\";
    return device.starts_with(prefix) ? device.substr(prefix.size()) : device;
}

json monitors_json(const std::vector<platform::Monitor>& ordered) {
    json out = json::array();
    for (std::size_t i = 0; i < ordered.size(); ++i) {
        const auto& m = ordered[i];
        json rec = {{"i", i},
                    {"x", m.x},
                    {"y", m.y},
                    {"w", m.w},
                    {"h", m.h},
                    {"primary", m.primary},
                    {"name", short_name(m.device)}};
        if (m.capture_id >= 0) rec["captura"] = m.capture_id;
        out.push_back(std::move(rec));
    }
    return out;
}

} // namespace kelvora::desktop
