#include <gtest/gtest.h>

#include <string>

#include "records/password.hpp"

using namespace kelvora::records;

TEST(Password, GeneratedFromTheAlphabet) {
    // Byte values wrap around the 31-character alphabet: 0 and 31 give 'A', 30 gives '9'.
    EXPECT_EQ(password_from_bytes({0, 31, 30, 255, 8, 9, 10, 62}), "AA9HJKMA");
    for (int i = 0; i < 50; ++i) {
        const std::string p = generate_password();
        ASSERT_EQ(p.size(), 8u);
        EXPECT_EQ(p.find_first_not_of(kPasswordAlphabet), std::string::npos) << p;
    }
}

TEST(Password, TrimmingRemovesUnicodeWhiteSpaceOnly) {
    struct Case {
        std::string in, want;
    } cases[] = {
        {"  abc\t\n", "abc"},
        {"\xC2\xA0"
         "abc"
         "\xE3\x80\x80",
         "abc"}, // U+00A0 and U+3000
        {"\xE2\x80\xA8"
         "a b"
         "\xC2\x85",
         "a b"}, // U+2028, U+0085; inner space stays
        {"\xE2\x80\x8B"
         "abc",
         "\xE2\x80\x8B"
         "abc"}, // U+200B is not White_Space
        {" \t ", ""},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(trim_white_space(c.in), c.want) << c.in;
}

TEST(Password, RulesForAPasswordSetByHand) {
    const std::string length = "La contraseña debe tener de 6 a 32 caracteres.";
    const std::string spaces = "La contraseña no puede llevar espacios.";
    struct Case {
        const char* name;
        std::string typed;
        std::string want; // empty: accepted
    } cases[] = {
        {"6 characters", "abcdef", ""},
        {"5 characters", "abcde", length},
        {"33 characters", std::string(33, 'x'), length},
        {"32 code points with ñ (33 bytes)", "ñ" + std::string(31, 'x'), ""},
        {"space inside", "abc def", spaces},
        {"tab inside", "abc\tdef", spaces},
        {"no-break space inside",
         "abc\xC2\xA0"
         "def",
         spaces},
        {"ideographic space inside",
         "abc\xE3\x80\x80"
         "def",
         spaces},
        {"control character",
         "abc\x01"
         "def",
         spaces},
        {"C1 control character",
         "abc\xC2\x9F"
         "def",
         spaces},
        {"DEL",
         "abc\x7F"
         "def",
         spaces},
        {"signs and letters", "Ab#1-x!", ""},
        {"short text with a space gets the length message first", "a b", length},
    };
    for (const auto& c : cases)
        EXPECT_EQ(password_refusal(c.typed).value_or(""), c.want) << c.name;
}

TEST(Password, Matching) {
    struct Case {
        const char* name;
        std::string stored, supplied;
        bool want;
    } cases[] = {
        {"same app password", "ABCD2345", "ABCD2345", true},
        {"app password in small letters with a dash", "ABCD2345", "abcd-2345", true},
        {"app password with spaces between groups", "ABCD2345", "ABC D23 45", true},
        {"app password, one character off", "ABCD2345", "ABCD2346", false},
        {"app password, a character more", "ABCD2345", "ABCD23455", false},
        {"app password, only separators", "ABCD2345", "----", false},
        {"hand password with a small letter, other case", "Gato-2024", "GATO-2024", false},
        {"hand password with a sign, exact", "Gato-2024", "Gato-2024", true},
        {"hand password with a sign, without it", "Gato-2024", "Gato2024", false},
        {"all capitals but with a sign: exact only", "GATO-2024", "gato-2024", false},
        {"empty never matches", "ABCD2345", "", false},
        {"prefix of the stored one", "Gato-2024", "Gato", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(password_matches(c.stored, c.supplied), c.want) << c.name;
}
