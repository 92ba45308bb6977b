#include "desktop/modes.hpp"

#include <algorithm>
#include <cmath>

namespace kelvora::desktop {

namespace {

long long area(const Mode& m) {
    return static_cast<long long>(m.w) * m.h;
}

double ratio_distance(const Mode& m, double r) {
    return std::fabs(static_cast<double>(m.w) / (m.h == 0 ? 1 : m.h) - r);
}

} // namespace

Mode mode_of(const platform::DisplayMode& m) {
    return {m.w, m.h, m.hz};
}

std::vector<Mode> available_modes(const std::vector<platform::DisplayMode>& all,
                                  const platform::DisplayMode& current) {
    std::vector<Mode> out;
    std::vector<char> has_current_rate;
    for (const auto& m : all) {
        if (m.depth != current.depth || m.w == 0 || m.h == 0 || m.interlaced) continue;
        auto it = std::find_if(out.begin(), out.end(),
                               [&](const Mode& o) { return o.w == m.w && o.h == m.h; });
        if (it == out.end()) {
            out.push_back(mode_of(m));
            has_current_rate.push_back(m.hz == current.hz);
            continue;
        }
        auto& cur = has_current_rate[static_cast<std::size_t>(it - out.begin())];
        if (cur) continue;
        if (m.hz == current.hz) {
            it->hz = m.hz;
            cur = true;
        } else {
            it->hz = std::max(it->hz, m.hz);
        }
    }
    if (std::none_of(out.begin(), out.end(),
                     [&](const Mode& o) { return o.w == current.w && o.h == current.h; }))
        out.push_back(mode_of(current));
    std::stable_sort(out.begin(), out.end(), [](const Mode& a, const Mode& b) {
        if (area(a) != area(b)) return area(a) > area(b);
        return a.w > b.w;
    });
    return out;
}

std::optional<Mode> fit_mode(const std::vector<Mode>& sorted, int w, int h) {
    if (sorted.empty()) return std::nullopt;
    const double r = static_cast<double>(w) / h;
    std::optional<Mode> best;
    for (const auto& c : sorted) {
        if (c.w > w || c.h > h) continue;
        if (!best) {
            best = c;
            continue;
        }
        const long long a = area(*best), b = area(c);
        if (std::llabs(a - b) <= 0.05 * static_cast<double>(std::max(a, b))) {
            const double db = ratio_distance(*best, r), dc = ratio_distance(c, r);
            if (db - dc > 0.000001 || (a < b && std::fabs(db - dc) <= 0.000001)) best = c;
        } else if (a < b) {
            best = c;
        }
    }
    if (best) return best;
    const Mode* smallest = &sorted.front();
    for (const auto& m : sorted)
        if (area(m) < area(*smallest)) smallest = &m;
    return *smallest;
}

json mode_json(const Mode& m) {
    return {{"w", m.w}, {"h", m.h}, {"hz", m.hz}};
}

} // namespace kelvora::desktop
