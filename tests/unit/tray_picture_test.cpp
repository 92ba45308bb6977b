#include <gtest/gtest.h>

#include "app/tray_picture.hpp"

using namespace kelvora;

TEST(TrayPicture, TheLogosShapesInTheirColours) {
    const auto p = logo_picture(64);
    ASSERT_EQ(p.argb.size(), 64u * 64u);
    const auto at = [&](int x, int y) { return p.argb[static_cast<std::size_t>(y) * 64 + x]; };
    struct Case {
        int x, y;
        std::uint32_t argb;
        const char* what;
    } cases[] = {
        {0, 0, 0x00000000, "the rounded corner is transparent"},
        {32, 5, 0xff0f5f8c, "the square is blue"},
        {21, 32, 0xffffffff, "the K's stem is white"},
        {48, 48, 0xff36d39a, "the dot is green"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(at(c.x, c.y), c.argb) << c.what;
    const std::uint32_t edge_alpha = at(2, 6) >> 24;
    EXPECT_GT(edge_alpha, 0u) << "the curve's edge is smoothed";
    EXPECT_LT(edge_alpha, 255u);
}

TEST(TrayPicture, EverySizeIsSquareAndWhole) {
    for (const auto& p : logo_pictures())
        EXPECT_EQ(p.argb.size(), static_cast<std::size_t>(p.size) * p.size);
}
