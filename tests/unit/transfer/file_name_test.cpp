#include <gtest/gtest.h>

#include <string>

#include "base/text.hpp"
#include "transfer/file_name.hpp"

using namespace kelvora;
using namespace kelvora::transfer;

TEST(SafeFileName, EveryHostileNameBecomesOnePlainName) {
    struct Case {
        std::string raw, want;
    } cases[] = {
        {"informe.pdf", "informe.pdf"},
        {"Año 2026 – ñandú.txt", "Año 2026 – ñandú.txt"},
        {"../../x", "_.._x"},
        {"..\\..\\windows\\system32\\x.dll", "_.._windows_system32_x.dll"},
        {"/etc/passwd", "_etc_passwd"},
        {"a/b", "a_b"},
        {"a:b*c?d\"e<f>g|h", "a_b_c_d_e_f_g_h"},
        {"line\nbreak\ttab\x01.txt", "line_break_tab_.txt"},
        {"del\x7f.txt", "del_.txt"},
        {"c1\xc2\x85.txt", "c1_.txt"},
        {".bashrc", "bashrc"},
        {"...", "archivo"},
        {"..", "archivo"},
        {"", "archivo"},
        {"   ", "archivo"},
        {"trailing. . ", "trailing"},
        {"CON", "_CON"},
        {"con.txt", "_con.txt"},
        {"Nul", "_Nul"},
        {"COM1.log", "_COM1.log"},
        {"lpt9", "_lpt9"},
        {"COM\xc2\xb9", "_COM\xc2\xb9"},
        {"CON .txt", "_CON .txt"},
        {"console.txt", "console.txt"},
        {"COM10", "COM10"},
        {"bad\xff\xfe.txt", "bad__.txt"},
    };
    for (const auto& c : cases) EXPECT_EQ(safe_file_name(c.raw), c.want) << c.raw;
}

// Right-to-left overrides and isolates make "fotoexe.jpg" read as an image while the
// name really ends in .exe; removing them shows the real extension.
TEST(SafeFileName, BidiControlsAreRemoved) {
    struct Case {
        std::string raw, want;
    } cases[] = {
        {"foto\u202Egpj.exe", "fotogpj.exe"},
        {"a\u202Ab\u202Bc\u202Cd\u202De.txt", "abcde.txt"},
        {"\u2066x\u2067y\u2068z\u2069.sh", "xyz.sh"},
        {"l\u200Er\u200Fm\u061C.pdf", "lrm.pdf"},
        {"\u202E\u202E", "archivo"},
    };
    for (const auto& c : cases) EXPECT_EQ(safe_file_name(c.raw), c.want) << c.raw;
}

TEST(SafeFileName, LongNamesAreCutKeepingTheExtension) {
    const std::string ascii = safe_file_name(std::string(400, 'a') + ".exe");
    EXPECT_EQ(utf8_length(ascii), kNameMaxChars);
    EXPECT_TRUE(ascii.ends_with("a.exe"));

    // Two-byte letters reach the byte limit before the character limit.
    std::string wide;
    for (int i = 0; i < 300; ++i) wide += "ñ";
    const std::string cut = safe_file_name(wide + ".pdf");
    EXPECT_LE(cut.size(), kNameMaxBytes);
    EXPECT_TRUE(is_valid_utf8(cut));
    EXPECT_TRUE(cut.ends_with("ñ.pdf"));

    // A "extension" too long to be one is cut like the rest.
    const std::string sentence = safe_file_name("a." + std::string(400, 'b'));
    EXPECT_EQ(utf8_length(sentence), kNameMaxChars);

    // Trailing dots and spaces, which Windows drops, can't leave a bare device name.
    EXPECT_EQ(safe_file_name("CON. . "), "_CON");
}

TEST(NumberedName, TheNumberGoesBeforeTheExtension) {
    struct Case {
        std::string name;
        unsigned n;
        std::string want;
    } cases[] = {
        {"informe.pdf", 0, "informe.pdf"},
        {"informe.pdf", 1, "informe (1).pdf"},
        {"archivo", 12, "archivo (12)"},
        {"copia.tar.gz", 2, "copia.tar (2).gz"},
        {"ñandú.txt", 3, "ñandú (3).txt"},
    };
    for (const auto& c : cases) EXPECT_EQ(numbered_name(c.name, c.n), c.want) << c.name;
    EXPECT_EQ(part_name("informe (1).pdf"), "informe (1).pdf.part");
}
