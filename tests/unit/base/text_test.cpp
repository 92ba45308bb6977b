#include <gtest/gtest.h>

#include "base/text.hpp"

using namespace kelvora;

TEST(Text, Utf8Validity) {
    struct Case {
        std::string s;
        bool valid;
    } cases[] = {
        {"", true},
        {"ñandú 😀", true},
        {"\xff", false},
        {"\xc3", false},             // cut in the middle of a character
        {"\xc0\xaf", false},         // overlong '/'
        {"\xed\xa0\x80", false},     // a UTF-16 surrogate
        {"\xf4\x90\x80\x80", false}, // past U+10FFFF
    };
    for (const auto& c : cases)
        EXPECT_EQ(is_valid_utf8(c.s), c.valid) << c.s;
}

TEST(Text, PrefixNeverSplitsACharacter) {
    EXPECT_EQ(utf8_prefix("añ😀b", 3), "añ😀");
    EXPECT_EQ(utf8_prefix("añ", 5), "añ");
    EXPECT_EQ(utf8_length("añ😀"), 3u);
}

TEST(Text, ParseUnsigned) {
    EXPECT_EQ(parse_unsigned("+42", 100), 42u);
    EXPECT_EQ(parse_unsigned("4294967295", UINT32_MAX), 4294967295u);
    EXPECT_EQ(parse_unsigned("4294967296", UINT32_MAX), std::nullopt);
    for (const char* bad : {"", "+", "-1", " 1", "1x", "0x10"})
        EXPECT_EQ(parse_unsigned(bad, UINT32_MAX), std::nullopt) << bad;
}
