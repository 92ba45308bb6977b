#include <gtest/gtest.h>

#include "desktop/key_codes.hpp"

using namespace kelvora::desktop;

TEST(KeyCodes, Table) {
    struct Case {
        const char* code;
        std::optional<KeyCode> key;
    } cases[] = {
        {"KeyA", KeyCode{0x1E, false, false}},
        {"KeyZ", KeyCode{0x2C, false, false}},
        {"Digit0", KeyCode{0x0B, false, false}},
        {"Digit9", KeyCode{0x0A, false, false}},
        {"Numpad0", KeyCode{0x52, false, false}},
        {"F1", KeyCode{0x3B, false, false}},
        {"F10", KeyCode{0x44, false, false}},
        {"F11", KeyCode{0x57, false, false}},
        {"F13", KeyCode{0x64, false, false}},
        {"F24", KeyCode{0x76, false, false}},
        {"F+012", KeyCode{0x58, false, false}},
        {"ArrowLeft", KeyCode{0x4B, false, true}},
        {"OSRight", KeyCode{0x5C, false, true}},
        {"NumpadEnter", KeyCode{0x1C, false, true}},
        {"MediaPlayPause", KeyCode{0xB3, true, false}},
        {"NumLock", KeyCode{0x90, true, true}},
        {"Fn", std::nullopt},
        {"F0", std::nullopt},
        {"F25", std::nullopt},
        {"F", std::nullopt},
        {"F-1", std::nullopt},
        {"KeyAB", std::nullopt},
        {"Keya", std::nullopt},
        {"Key", std::nullopt},
        {"Digit10", std::nullopt},
        {"NumpadX", std::nullopt},
        {"keya", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(key_for(c.code), c.key) << c.code;
}
