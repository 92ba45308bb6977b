#include <gtest/gtest.h>

#include "desktop/modes.hpp"
#include "desktop/monitors.hpp"

using namespace kelvora;
using namespace kelvora::desktop;
using platform::DisplayMode;

TEST(Monitors, PrimaryFirstThenByXThenY) {
    const auto list = in_list_order({{0, 1080, 1920, 1080, false, "\\\\.\\DISPLAY3"},
                                     {0, 0, 1920, 1080, true, "\\\\.\\DISPLAY1"},
                                     {-1920, 0, 1920, 1080, false, "\\\\.\\DISPLAY2"},
                                     {1920, 0, 1280, 1024, false, "DUMMY4"}});
    const auto j = monitors_json(list);
    ASSERT_EQ(j.size(), 4u);
    EXPECT_EQ(j[0], json({{"i", 0},
                          {"x", 0},
                          {"y", 0},
                          {"w", 1920},
                          {"h", 1080},
                          {"primary", true},
                          {"name", "DISPLAY1"}}));
    EXPECT_EQ(j[1]["name"], "DISPLAY2");
    EXPECT_EQ(j[2]["name"], "DISPLAY3");
    EXPECT_EQ(j[3]["name"], "DUMMY4");
    EXPECT_EQ(j[3]["i"], 3);
}

TEST(Modes, OneEntryPerSizeSortedByArea) {
    const DisplayMode cur{1280, 1024, 60, 32, false};
    struct Case {
        std::vector<DisplayMode> all;
        std::vector<Mode> want;
    } cases[] = {
        // The current rate wins where the size has it, whatever the order.
        {{{1920, 1080, 144, 32}, {1920, 1080, 60, 32}}, {{1920, 1080, 60}, {1280, 1024, 60}}},
        {{{1920, 1080, 60, 32}, {1920, 1080, 144, 32}}, {{1920, 1080, 60}, {1280, 1024, 60}}},
        // Without it, the highest rate.
        {{{1920, 1080, 50, 32}, {1920, 1080, 144, 32}, {1920, 1080, 75, 32}},
         {{1920, 1080, 144}, {1280, 1024, 60}}},
        // Other depths, interlaced and empty modes are left out; equal areas widest first.
        {{{1600, 1200, 60, 16},
          {1600, 1200, 60, 32, true},
          {0, 768, 60, 32},
          {1200, 1600, 60, 32},
          {1600, 1200, 60, 32},
          {1280, 1024, 75, 32}},
         {{1600, 1200, 60}, {1200, 1600, 60}, {1280, 1024, 75}}},
        // The current mode is added when the enumeration lacks it.
        {{}, {{1280, 1024, 60}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(available_modes(c.all, cur), c.want);
}

TEST(Modes, Fit) {
    const std::vector<Mode> modes{
        {1920, 1080, 60}, {1680, 1050, 60}, {1600, 900, 60}, {1440, 900, 60}, {1280, 1024, 60}};
    struct Case {
        int w, h;
        Mode want;
    } cases[] = {
        {1600, 900, {1600, 900, 60}},   // 1440x900 is more than 5 % smaller
        {1700, 1060, {1680, 1050, 60}}, // the largest that fits
        {800, 600, {1440, 900, 60}},    // nothing fits: the smallest area
        {5000, 5000, {1920, 1080, 60}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fit_mode(modes, c.w, c.h), c.want) << c.w << "x" << c.h;
    // Areas within 5 %: the aspect ratio nearest the viewer's.
    const std::vector<Mode> close{{1280, 1024, 60}, {1360, 960, 60}, {1400, 900, 60}};
    EXPECT_EQ(fit_mode(close, 1400, 1050), (Mode{1280, 1024, 60}));
    EXPECT_EQ(fit_mode(close, 1600, 900), (Mode{1400, 900, 60}));
    EXPECT_EQ(fit_mode({}, 800, 600), std::nullopt);
}
