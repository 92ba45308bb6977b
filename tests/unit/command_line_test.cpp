#include <gtest/gtest.h>

#include "app/command_line.hpp"

using namespace kelvora;

TEST(CommandLine, FlagsAreExactAndCaseSensitive) {
    auto o = parse_options({"--no-window", "--NO-TRAY", "--startup", "-version"});
    EXPECT_TRUE(o.no_window);
    EXPECT_FALSE(o.no_tray);
    EXPECT_TRUE(o.startup);
    EXPECT_FALSE(o.version);
}

TEST(CommandLine, ValuesTakeTheNextArgument) {
    auto o = parse_options({"--after-update", "1.3.1", "--pid", "+4294967295", "--port", "8811",
                            "--autostart", "ON"});
    EXPECT_EQ(o.after_update, "1.3.1");
    EXPECT_EQ(o.pid, 4294967295u);
    EXPECT_EQ(o.port, 8811);
    EXPECT_EQ(o.autostart, "ON") << "the caller compares it with \"on\" exactly";

    EXPECT_EQ(parse_options({"--no-tray", "--after-update"}).after_update, std::nullopt)
        << "a value option as the last argument counts as absent";
}

TEST(CommandLine, BadNumbersMeanNoNumber) {
    for (const char* bad : {"4294967296", "-1", "12a", "", " 5"})
        EXPECT_EQ(parse_options({"--pid", bad}).pid, std::nullopt) << bad;
    EXPECT_EQ(parse_options({"--port", "65536"}).port, std::nullopt);
    EXPECT_EQ(parse_options({"--port", "65535"}).port, 65535);
}
