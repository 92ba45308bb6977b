#include "app/tray_picture.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace kelvora {

namespace {

// The logo's shapes on its 64-unit square.
constexpr double kUnits = 64;
constexpr double kCorner = 14;
constexpr std::array<std::array<double, 2>, 11> kLetter = {{{18, 14},
                                                            {27, 14},
                                                            {27, 29},
                                                            {40, 14},
                                                            {51, 14},
                                                            {36, 31},
                                                            {52, 50},
                                                            {40, 50},
                                                            {27, 34},
                                                            {27, 50},
                                                            {18, 50}}};
constexpr std::uint32_t kBlue = 0x0f5f8c, kWhite = 0xffffff, kGreen = 0x36d39a;

bool in_square(double x, double y) {
    const double cx = std::clamp(x, kCorner, kUnits - kCorner);
    const double cy = std::clamp(y, kCorner, kUnits - kCorner);
    return x >= 0 && y >= 0 && x <= kUnits && y <= kUnits &&
           (x - cx) * (x - cx) + (y - cy) * (y - cy) <= kCorner * kCorner;
}

bool in_letter(double x, double y) {
    bool inside = false;
    for (std::size_t i = 0, j = kLetter.size() - 1; i < kLetter.size(); j = i++) {
        const auto& a = kLetter[i];
        const auto& b = kLetter[j];
        if ((a[1] > y) != (b[1] > y) && x < (b[0] - a[0]) * (y - a[1]) / (b[1] - a[1]) + a[0])
            inside = !inside;
    }
    return inside;
}

bool in_dot(double x, double y) {
    return (x - 49) * (x - 49) + (y - 49) * (y - 49) <= 36;
}

} // namespace

platform::TrayPicture logo_picture(int size) {
    // Four by four samples a pixel: the edges come out smooth at tray sizes.
    constexpr int kSamples = 4;
    platform::TrayPicture p{size,
                            std::vector<std::uint32_t>(static_cast<std::size_t>(size) * size)};
    const double unit = kUnits / size;
    for (int py = 0; py < size; ++py)
        for (int px = 0; px < size; ++px) {
            double r = 0, g = 0, b = 0, covered = 0;
            for (int sy = 0; sy < kSamples; ++sy)
                for (int sx = 0; sx < kSamples; ++sx) {
                    const double x = (px + (sx + 0.5) / kSamples) * unit;
                    const double y = (py + (sy + 0.5) / kSamples) * unit;
                    if (!in_square(x, y)) continue;
                    const std::uint32_t c = in_dot(x, y)      ? kGreen
                                            : in_letter(x, y) ? kWhite
                                                              : kBlue;
                    r += (c >> 16) & 0xff;
                    g += (c >> 8) & 0xff;
                    b += c & 0xff;
                    covered += 1;
                }
            if (covered == 0) continue;
            const auto channel = [&](double sum) {
                return static_cast<std::uint32_t>(std::lround(sum / covered));
            };
            const auto alpha =
                static_cast<std::uint32_t>(std::lround(255 * covered / (kSamples * kSamples)));
            p.argb[static_cast<std::size_t>(py) * size + px] =
                alpha << 24 | channel(r) << 16 | channel(g) << 8 | channel(b);
        }
    return p;
}

std::vector<platform::TrayPicture> logo_pictures() {
    std::vector<platform::TrayPicture> out;
    for (int size : {16, 22, 24, 32, 48, 64})
        out.push_back(logo_picture(size));
    return out;
}

} // namespace kelvora
