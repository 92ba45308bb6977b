#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/settings.hpp"
#include "base/json_file.hpp"
#include "temp_dir.hpp"

using namespace kelvora;

namespace {

json general(const json& s) {
    return s.at("general");
}

SettingsStore store_with_file(const TempDir& dir, const std::string& text) {
    write_file(dir.path / "kelvora.ini", text);
    return SettingsStore(dir.path);
}

} // namespace

TEST(Settings, NoFileGivesTheDefaults) {
    TempDir dir;
    SettingsStore s(dir.path);
    const json all = s.snapshot();
    EXPECT_EQ(all, default_settings());
    EXPECT_FALSE(all["general"].contains("canal_actualizaciones"));
    EXPECT_EQ(s.read("recibir", "fps"), "30");
    EXPECT_FALSE(std::filesystem::exists(dir.path / "kelvora.ini")) << "loading never writes";
}

TEST(Settings, ReadingTheFile) {
    struct Case {
        const char* name;
        std::string text;
        const char* section;
        const char* key;
        const char* want;
    } cases[] = {
        {"section header is trimmed and lower-cased, keys keep their case",
         "[ General ]\nNOMBRE = x\nnombre =   Caja 3  \n", "general", "nombre", "Caja 3"},
        {"extra key stored as written", "[General]\nNOMBRE = x\n", "general", "NOMBRE", "x"},
        {"value is everything after the first =", "[general]\nservidor = https://a/?x=1&y=2\n",
         "general", "servidor", "https://a/?x=1&y=2"},
        {"CR LF line ends", "[recibir]\r\nfps = 60\r\n", "recibir", "fps", "60"},
        {"comments are skipped", "[recibir]\n; fps = 15\n# fps = 15\nfps = 60\n", "recibir", "fps",
         "60"},
        {"the later line wins", "[recibir]\nfps = 15\nfps = 60\n", "recibir", "fps", "60"},
        {"lines before any section are ignored", "fps = 15\n[recibir]\n", "recibir", "fps", "30"},
        {"one invalid byte ignores the whole file", "[recibir]\nfps = 15\xff\n", "recibir", "fps",
         "30"},
        {"a byte-order mark hides a first-line header", "\xEF\xBB\xBF[recibir]\nfps = 15\n",
         "recibir", "fps", "30"},
        {"a line without = is ignored", "[recibir]\nfps\nfps = 15\n", "recibir", "fps", "15"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        EXPECT_EQ(store_with_file(dir, c.text).read(c.section, c.key), c.want) << c.name;
    }
}

TEST(Settings, UnknownSectionsAreDroppedAtTheNextSave) {
    TempDir dir;
    auto s = store_with_file(dir, "[otra]\nx = 1\n[general]\nzeta = 9\n");
    ASSERT_TRUE(s.save(json::object())["ok"].get<bool>());
    const auto text = *read_file(dir.path / "kelvora.ini");
    EXPECT_EQ(text.find("[otra]"), std::string::npos);
    EXPECT_NE(text.find("zeta = 9\n"), std::string::npos) << "unknown keys of known sections stay";
}

TEST(Settings, WrittenFileLayout) {
    TempDir dir;
    auto s = store_with_file(dir, "[General]\nNOMBRE = x\nnombre = Caja 3\n");
    ASSERT_TRUE(s.save(json::object())["ok"].get<bool>());
    const std::string want_start = "; Kelvora · ajustes. También se cambian desde la pestaña "
                                   "«Ajustes».\n\n[general]\nNOMBRE = x\nbuscar_actualizaciones = "
                                   "si\nconexion = auto\nidioma = es\nnombre = Caja 3\nservidor = "
                                   "\n\n[recibir]\ncalidad = auto\n";
    EXPECT_EQ(read_file(dir.path / "kelvora.ini")->substr(0, want_start.size()), want_start);
}

TEST(Settings, MergingValues) {
    struct Case {
        json change;
        const char* section;
        const char* key;
        const char* want;
    } cases[] = {
        {{{"recibir", {{"disponible", false}}}}, "recibir", "disponible", "no"},
        {{{"recibir", {{"disponible", true}}}}, "recibir", "disponible", "si"},
        {{{"recibir", {{"fps", 60}}}}, "recibir", "fps", "60"},
        {{{"llamada", {{"microfono", nullptr}}}}, "llamada", "microfono", ""},
        {{{"llamada", {{"bocina", {1, 2}}}}}, "llamada", "bocina", "[1,2]"},
        {{{"general", {{"servidor", "https://x.example///"}}}},
         "general",
         "servidor",
         "https://x.example"},
        {{{"general", {{"servidor", ""}}}}, "general", "servidor", ""},
        {{{"general", {{"nombre", "  Caja  "}}}}, "general", "nombre", "Caja"},
        {{{"recibir", {{"nuevo", "a/"}}}}, "recibir", "nuevo", "a"},
        {{{"general", {{"nombre", std::string(32, 'x')}}}}, "general", "nombre", nullptr},
    };
    for (const auto& c : cases) {
        TempDir dir;
        SettingsStore s(dir.path);
        const json reply = s.save(c.change);
        ASSERT_TRUE(reply["ok"].get<bool>()) << c.change.dump();
        const std::string want = c.want ? c.want : c.change[c.section][c.key].get<std::string>();
        EXPECT_EQ(s.read(c.section, c.key), want) << c.change.dump();
        EXPECT_EQ(reply["ajustes"][c.section][c.key], want);
        EXPECT_EQ(SettingsStore(dir.path).read(c.section, c.key), want) << "survives a restart";
    }
}

TEST(Settings, RefusedChangesChangeNothing) {
    std::string name32;
    for (int i = 0; i < 32; ++i)
        name32 += "ñ"; // 32 characters, 64 bytes
    struct Case {
        json change;
        const char* msg; // null: accepted
    } cases[] = {
        {{{"general", {{"nombre", name32 + "x"}}}}, "El nombre puede tener hasta 32 letras"},
        {{{"general", {{"nombre", name32}}}}, nullptr},
        {{{"general", {{"servidor", "http://x"}}}}, "El servidor debe empezar con https://"},
        {{{"general", {{"servidor", "HTTPS://x"}}}}, "El servidor debe empezar con https://"},
        // idioma is merged before servidor fails: the whole request still changes nothing.
        {{{"general", {{"idioma", "en"}, {"servidor", "ftp://x"}}}},
         "El servidor debe empezar con https://"},
        // A key that would write a line of its own, or read back as another key.
        {{{"general", {{"x\nservidor", "http://evil"}}}}, "Ese nombre de ajuste no es válido"},
        {{{"general", {{" servidor", "http://evil"}}}}, "Ese nombre de ajuste no es válido"},
        {{{"recibir", {{"Fps", "60"}}}}, "Ese nombre de ajuste no es válido"},
        {{{"recibir", {{"", "60"}}}}, "Ese nombre de ajuste no es válido"},
        {{{"recibir", {{"a=b", "60"}}}}, "Ese nombre de ajuste no es válido"},
        {{{"recibir", {{"fps_2", "60"}}}}, nullptr},
    };
    for (const auto& c : cases) {
        TempDir dir;
        SettingsStore s(dir.path);
        const json reply = s.save(c.change);
        if (!c.msg) {
            EXPECT_TRUE(reply["ok"].get<bool>());
            continue;
        }
        EXPECT_EQ(reply, (json{{"ok", false}, {"msg", c.msg}}));
        EXPECT_EQ(s.snapshot(), default_settings());
        EXPECT_FALSE(std::filesystem::exists(dir.path / "kelvora.ini"));
    }
}

TEST(Settings, LineBreaksInValuesStayOnTheirLine) {
    TempDir dir;
    SettingsStore s(dir.path);
    s.save({{"general", {{"nombre", "Caja\n3"}}}});
    EXPECT_EQ(s.read("general", "nombre"), "Caja\n3") << "kept as sent in memory";
    EXPECT_NE(read_file(dir.path / "kelvora.ini")->find("nombre = Caja 3\n"), std::string::npos);
    EXPECT_EQ(SettingsStore(dir.path).read("general", "nombre"), "Caja 3");
}

TEST(Settings, AFailedWriteKeepsTheOldSettingsAndFile) {
    TempDir dir;
    SettingsStore s(dir.path);
    ASSERT_TRUE(s.save({{"general", {{"nombre", "Antes"}}}})["ok"].get<bool>());
    // A directory where the temporary file goes makes the write fail.
    std::filesystem::create_directory(dir.path / "kelvora.tmp");
    std::filesystem::create_directory(dir.path / "kelvora.tmp" / "x");
    const json reply = s.save({{"general", {{"nombre", "Después"}}}});
    EXPECT_EQ(reply, (json{{"ok", false}, {"msg", "No se pudieron guardar los ajustes"}}));
    EXPECT_EQ(s.read("general", "nombre"), "Antes");
    EXPECT_EQ(SettingsStore(dir.path).read("general", "nombre"), "Antes");
}

TEST(Settings, SwitchRule) {
    for (const char* off : {"0", "no", "off", "false", " OFF ", "False", "NO"})
        EXPECT_FALSE(setting_is_on(off)) << off;
    for (const char* on : {"", "si", "yes", "1", "2", "nope"})
        EXPECT_TRUE(setting_is_on(on)) << on;
}
