#include <gtest/gtest.h>

#include <map>

#include "../temp_dir.hpp"
#include "base/json_file.hpp"
#include "desktop/resolution.hpp"

using namespace kelvora;
using namespace kelvora::desktop;
using platform::DisplayMode;

namespace {

// Two monitors whose modes change as asked, unless a refusal is scripted.
struct FakeDisplay final : DisplayBackend {
    std::map<std::string, DisplayMode> current{{"\\\\.\\DISPLAY1", {1920, 1080, 60, 32}},
                                               {"\\\\.\\DISPLAY2", {1280, 1024, 60, 32}}};
    std::map<std::string, DisplayMode> stored = current;
    long refuse_with = 0; // the OS's code of a scripted refusal
    bool refusal_leaves_a_change = false;
    bool restores_fail = false; // no display yet, say
    bool no_way_back = false;   // the current mode can't be read for the note
    std::vector<std::string> calls;

    std::vector<platform::Monitor> monitors() override {
        return {{1920, 0, 1280, 1024, false, "\\\\.\\DISPLAY2"},
                {0, 0, 1920, 1080, true, "\\\\.\\DISPLAY1"}};
    }
    std::optional<DisplayMode> current_mode(const std::string& d) override { return current.at(d); }
    std::vector<DisplayMode> display_modes(const std::string&) override {
        return {
            {1920, 1080, 60, 32}, {1600, 900, 60, 32}, {1280, 1024, 60, 32}, {1024, 768, 60, 32}};
    }
    platform::ModeResult change_mode(const std::string& d, const DisplayMode& m) override {
        calls.push_back("change " + d + " " + std::to_string(m.w));
        if (refuse_with && refusal_leaves_a_change) current[d] = {640, 480, 60, 32};
        if (refuse_with) return {platform::ModeResult::Outcome::refused, refuse_with};
        current[d] = m;
        return {};
    }
    std::optional<std::string> stored_mode_note(const std::string& d) override {
        if (no_way_back) return std::nullopt;
        return std::to_string(current.at(d).w);
    }
    platform::ModeResult return_to_stored_mode(const std::string& d,
                                               const std::string& note) override {
        calls.push_back("return " + d + " " + note);
        if (restores_fail) return {platform::ModeResult::Outcome::no_display, 0};
        if (stored.count(d)) current[d] = stored[d];
        return {};
    }
};

struct ResolutionTest : ::testing::Test {
    TempDir dir;
    FakeDisplay display;
    std::filesystem::path marker = dir.path / kMarkerFileName;
    Resolutions res{display, marker};
    std::string marker_contents() { return read_file(marker).value_or("<none>"); }
};

} // namespace

TEST_F(ResolutionTest, ChangeAndReturn) {
    auto r = res.set({{"mon", 1}, {"w", 1024}, {"h", 768}});
    EXPECT_EQ(r, json({{"ok", true},
                       {"actual", {{"w", 1024}, {"h", 768}, {"hz", 60}}},
                       {"original", {{"w", 1280}, {"h", 1024}, {"hz", 60}}},
                       {"monitor", "DISPLAY2"}}));
    EXPECT_EQ(marker_contents(), "\\\\.\\DISPLAY2\t1280\n");
    // A second change keeps the first prior mode.
    res.set({{"mon", 1}, {"w", 1600}, {"h", 900}});
    EXPECT_EQ(res.read({{"mon", 1}})["original"]["w"], 1280);
    EXPECT_EQ(res.read({{"mon", 1}})["cambiada"], true);
    // Back to the prior size: the stored mode, and off the list.
    r = res.set({{"mon", 1}, {"ajustar_w", 1300}, {"ajustar_h", 1100}, {"w", 0}});
    EXPECT_EQ(r["actual"]["w"], 1280);
    EXPECT_EQ(display.calls.back(), "return \\\\.\\DISPLAY2 1280");
    EXPECT_EQ(marker_contents(), "<none>");
}

TEST_F(ResolutionTest, PriorSizeOfAnUnchangedMonitorTouchesNothing) {
    EXPECT_EQ(res.set({{"w", 1920}, {"h", 1080}})["ok"], true);
    EXPECT_TRUE(display.calls.empty());
}

TEST_F(ResolutionTest, Refusals) {
    struct Case {
        json body;
        std::string msg;
    } cases[] = {
        {{{"mon", 2}, {"w", 1024}, {"h", 768}}, "monitor no encontrado"},
        {{{"mon", 0}, {"w", 1024}, {"h", 700}},
         "esa resolución no está disponible en este monitor"},
        {{{"mon", 0}, {"w", 1920}}, "parámetros inválidos"},
        {{{"mon", 0}, {"w", 1024}, {"h", 767.4}, {"ajustar_w", 0}},
         "esa resolución no está disponible en este monitor"},
        {{{"mon", 0}, {"ajustar_w", 100001}, {"ajustar_h", 900}}, "parámetros inválidos"},
        {{{"mon", 0}, {"original", "si"}}, "parámetros inválidos"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(res.set(c.body)["msg"], c.msg) << c.body.dump();
    EXPECT_EQ(res.read({{"mon", 9}})["msg"], "monitor no encontrado");
}

TEST_F(ResolutionTest, RefusedChangeLeavesTheListAsTheScreenIs) {
    display.refuse_with = 1;
    EXPECT_EQ(res.set({{"mon", 0}, {"w", 1024}, {"h", 768}})["msg"],
              "el servidor X no aceptó esa resolución");
    EXPECT_FALSE(res.changed("\\\\.\\DISPLAY1"));
    EXPECT_EQ(marker_contents(), "<none>");
    // A refusal that still left the monitor changed keeps it listed, so it is put back.
    display.refusal_leaves_a_change = true;
    res.set({{"mon", 0}, {"w", 1024}, {"h", 768}});
    EXPECT_TRUE(res.changed("\\\\.\\DISPLAY1"));
    res.restore_all();
    EXPECT_EQ(display.current["\\\\.\\DISPLAY1"].w, 1920);
}

TEST_F(ResolutionTest, RestoreAllReadsACrashedRunsMarker) {
    write_file(marker, "\\\\.\\DISPLAY2\r\n\r\n  \\\\.\\DISPLAY2 \n\\\\.\\DISPLAY1\t1920\n");
    res.restore_all();
    EXPECT_EQ(display.calls,
              (std::vector<std::string>{"return \\\\.\\DISPLAY2 ", "return \\\\.\\DISPLAY1 1920"}));
    EXPECT_EQ(marker_contents(), "<none>");
    // What this run changed is restored once, even when the file names it too.
    res.set({{"mon", 1}, {"w", 1024}, {"h", 768}});
    display.calls.clear();
    res.restore_all();
    EXPECT_EQ(display.calls, (std::vector<std::string>{"return \\\\.\\DISPLAY2 1280"}));
}

TEST_F(ResolutionTest, AFailedRestoreKeepsItsLineForTheNextChance) {
    res.set({{"mon", 1}, {"w", 1024}, {"h", 768}});
    write_file(marker, "\\\\.\\DISPLAY2\t1280\nOLD\t640\n");
    display.restores_fail = true;
    res.restore_all();
    EXPECT_EQ(marker_contents(), "\\\\.\\DISPLAY2\t1280\nOLD\t640\n");
    // A new start finds the same lines; once the display is back they are put back and go.
    Resolutions next{display, marker};
    next.restore_all();
    EXPECT_EQ(marker_contents(), "\\\\.\\DISPLAY2\t1280\nOLD\t640\n");
    display.restores_fail = false;
    display.calls.clear();
    res.restore_all();
    EXPECT_EQ(display.calls,
              (std::vector<std::string>{"return \\\\.\\DISPLAY2 1280", "return OLD 640"}));
    EXPECT_EQ(display.current["\\\\.\\DISPLAY2"].w, 1280);
    EXPECT_EQ(marker_contents(), "<none>");
}

TEST_F(ResolutionTest, NoChangeWithoutAWayBack) {
    display.no_way_back = true;
    EXPECT_EQ(res.set({{"mon", 1}, {"w", 1024}, {"h", 768}}),
              (json{{"ok", false}, {"msg", "no se pudo leer cómo volver a la resolución actual"}}));
    // The marker can't be written: a directory stands where it goes.
    display.no_way_back = false;
    std::filesystem::create_directories(dir.path / "resolucion_cambiada.tmp" / "x");
    EXPECT_EQ(res.set({{"mon", 1}, {"w", 1024}, {"h", 768}})["msg"],
              "no se pudo anotar cómo volver a la resolución actual");
    EXPECT_TRUE(display.calls.empty()) << "the mode was never touched";
    EXPECT_FALSE(res.changed("\\\\.\\DISPLAY2"));
}

TEST(Resolution, RefusalsInTheWordsOfTheSystem) {
    using Outcome = platform::ModeResult::Outcome;
    struct Case {
        platform::ModeResult result;
        platform::Os os;
        const char* msg;
    } cases[] = {
        {{Outcome::refused, -2},
         platform::Os::windows,
         "Windows no aceptó esa resolución (código -2)"},
        {{Outcome::no_such_mode, -2},
         platform::Os::windows,
         "Windows no aceptó esa resolución (código -2)"},
        {{Outcome::refused, 1}, platform::Os::linux_x11, "el servidor X no aceptó esa resolución"},
        {{Outcome::no_such_mode, 0},
         platform::Os::linux_x11,
         "esa resolución no está disponible en este monitor"},
        {{Outcome::no_display, 0}, platform::Os::linux_x11, "no hay conexión con la pantalla"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mode_refusal(c.result, c.os), c.msg);
}

TEST(Marker, Lines) {
    const auto lines = parse_marker("A\tnote one\r\n\nB\r\nA\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].note, "note one");
    EXPECT_EQ(lines[1].device, "B");
    EXPECT_EQ(marker_text(lines), "A\tnote one\nB\n");
}
