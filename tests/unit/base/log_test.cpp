#include <gtest/gtest.h>

#include <filesystem>

#include "../temp_dir.hpp"
#include "base/json_file.hpp"
#include "base/log.hpp"

using namespace kelvora;

TEST(Log, LineFormat) {
    const platform::LocalTime t{2026, 3, 7, 4, 5, 9};
    EXPECT_EQ(log_line(t, "[APP] hola"), "2026-03-07 04:05:09 [APP] hola\n");
    EXPECT_EQ(log_line(t, "[APP] a\nb\r\nc"), "2026-03-07 04:05:09 [APP] a b\r c\n")
        << "LFs become spaces, CRs stay";
    EXPECT_EQ(time_stamp_text({987, 12, 31, 23, 59, 59}), "0987-12-31 23:59:59");
}

TEST(Log, RotatesOnlyPastTheLimit) {
    TempDir dir;
    const auto log = dir.path / "kelvora.log";
    const auto old = dir.path / "kelvora.log.1";
    write_file(old, "older\n");

    write_file(log, std::string(kLogRotateAbove, 'x'));
    write_log_to(dir.path, "[APP] at the limit");
    EXPECT_GT(std::filesystem::file_size(log), kLogRotateAbove) << "exactly 2,000,000 bytes stays";
    EXPECT_EQ(*read_file(old), "older\n");

    write_log_to(dir.path, "[APP] past the limit");
    const auto fresh = *read_file(log);
    EXPECT_NE(fresh.find("[APP] past the limit\n"), std::string::npos);
    EXPECT_LT(fresh.size(), 100u) << "a fresh file holds just the new line";
    EXPECT_GT(std::filesystem::file_size(old), kLogRotateAbove) << "the previous log replaced .1";
}

TEST(Log, AppendsWholeLines) {
    TempDir dir;
    write_log_to(dir.path, "[APP] uno");
    write_log_to(dir.path, "[APP] dos");
    const auto text = *read_file(dir.path / "kelvora.log");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    EXPECT_NE(text.find(" [APP] uno\n"), std::string::npos);
}

TEST(Log, UnwritableDirectoryIsSilent) {
    TempDir dir;
    const auto gone = dir.path / "no-such-dir";
    write_log_to(gone, "[APP] nadie lo lee"); // must simply return
    EXPECT_FALSE(std::filesystem::exists(gone / "kelvora.log"));
}
