// The test run's process handling on this OS: output captured, a program that keeps running
// ended after the wait, a missing one reported with the OS's words.
#include <gtest/gtest.h>

#include "platform/program_file.hpp"

namespace kelvora::platform {
namespace {

TEST(BoundedRun, EndsCapturesOrKills) {
    const auto echo =
        run_bounded("/bin/echo", {"Kelvora", "1.3.2", "(2026-11-04)"}, 100, 150, 1024);
    EXPECT_TRUE(echo.started);
    EXPECT_TRUE(echo.ended);
    EXPECT_EQ(echo.output, "Kelvora 1.3.2 (2026-11-04)\n");

    // Output past the cap is read and dropped, so the child never blocks on a full pipe.
    const auto chatty = run_bounded("/usr/bin/head", {"-c", "1000000", "/dev/zero"}, 100, 150, 10);
    EXPECT_TRUE(chatty.ended);
    EXPECT_EQ(chatty.output.size(), 10u);

    const auto stuck = run_bounded("/bin/sleep", {"600"}, 3, 20, 1024);
    EXPECT_TRUE(stuck.started);
    EXPECT_FALSE(stuck.ended);

    const auto missing = run_bounded("/no/such/program", {}, 3, 20, 1024);
    EXPECT_FALSE(missing.started);
    EXPECT_EQ(missing.error, "No such file or directory");
}

} // namespace
} // namespace kelvora::platform
