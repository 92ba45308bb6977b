#include <gtest/gtest.h>

#include <filesystem>

#include "../temp_dir.hpp"
#include "base/json_file.hpp"

using namespace kelvora;

TEST(JsonFile, PrettyWithSortedKeysAndTheTmpRename) {
    TempDir dir;
    ASSERT_TRUE(save_json_file_in(dir.path, "recientes.json",
                                  json{{"b", 1}, {"a", {{"z", "ñ"}, {"y", 2}}}}));
    EXPECT_EQ(*read_file(dir.path / "recientes.json"),
              "{\n  \"a\": {\n    \"y\": 2,\n    \"z\": \"ñ\"\n  },\n  \"b\": 1\n}");
    EXPECT_FALSE(std::filesystem::exists(dir.path / "recientes.tmp")) << "the .tmp was renamed";
}

TEST(JsonFile, AFailedSaveLeavesTheOldFile) {
    TempDir dir;
    ASSERT_TRUE(save_json_file_in(dir.path, "identidad.json", json{{"v", 1}}));
    // The temporary name is taken by a non-empty directory: neither step can succeed.
    std::filesystem::create_directories(dir.path / "identidad.tmp" / "x");
    EXPECT_FALSE(save_json_file_in(dir.path, "identidad.json", json{{"v", 2}}));
    EXPECT_EQ(load_json_file_in(dir.path, "identidad.json"), (json{{"v", 1}}));
}

TEST(JsonFile, LoadingBadFilesGivesNothing) {
    TempDir dir;
    EXPECT_EQ(load_json_file_in(dir.path, "missing.json"), std::nullopt);
    for (const char* bad : {"", "{", "{\"a\":1}x", "\xff", "{\"a\":\"\xc3\"}"}) {
        write_file(dir.path / "bad.json", bad);
        EXPECT_EQ(load_json_file_in(dir.path, "bad.json"), std::nullopt) << bad;
    }
    write_file(dir.path / "ok.json", "[1, \"ñ\"]");
    EXPECT_EQ(load_json_file_in(dir.path, "ok.json"), (json{1, "ñ"}));
}

TEST(JsonFile, CompactRepliesNeverThrowOnBadText) {
    EXPECT_EQ(to_compact(json{{"b", true}, {"a", "x"}}), "{\"a\":\"x\",\"b\":true}");
    EXPECT_NO_THROW(to_compact(json("\xff")));
}
