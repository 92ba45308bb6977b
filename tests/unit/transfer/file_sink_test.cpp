#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "../temp_dir.hpp"
#include "transfer/file_sink.hpp"

using namespace kelvora;
using namespace kelvora::transfer;
namespace fs = std::filesystem;

namespace {

class Sink : public ::testing::Test {
protected:
    TempDir data;
    TempDir downloads;
    Log log{data.path};
    std::chrono::steady_clock::time_point clock{};
    FileSink sink{[this] { return std::optional<fs::path>(downloads.path); }, log,
                  [this] { return clock; }};

    std::string open(const std::string& name, std::int64_t size) {
        const json r = sink.open({{"nombre", name}, {"tamano", size}});
        EXPECT_TRUE(r["ok"].get<bool>()) << r.dump();
        return r.value("id", "");
    }
    std::string read(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::vector<std::string> listing() {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(downloads.path))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

} // namespace

TEST_F(Sink, PiecesLandInAPartFileRenamedAtTheEnd) {
    const std::string id = open("informe.pdf", 10);
    EXPECT_EQ(listing(), std::vector<std::string>{"informe.pdf.part"});
    EXPECT_EQ(sink.write(id, 0, "hola ")["recibido"], 5);
    EXPECT_EQ(sink.write(id, 5, "mundo")["recibido"], 10);
    const json done = sink.finish({{"id", id}});
    ASSERT_TRUE(done["ok"].get<bool>()) << done.dump();
    EXPECT_EQ(done["nombre"], "informe.pdf");
    EXPECT_EQ(done["carpeta"], downloads.path.string());
    EXPECT_EQ(read(downloads.path / "informe.pdf"), "hola mundo");
    EXPECT_EQ(listing(), std::vector<std::string>{"informe.pdf"});
    // Finished means gone from the table.
    EXPECT_FALSE(sink.finish({{"id", id}})["ok"].get<bool>());
}

TEST_F(Sink, TakenNamesGetTheNextNumber) {
    std::ofstream(downloads.path / "foto.jpg") << "ya estaba";
    std::ofstream(downloads.path / "foto (1).jpg.part") << "otra descarga";
    const std::string id = open("foto.jpg", 1);
    EXPECT_TRUE(fs::exists(downloads.path / "foto (2).jpg.part"));
    sink.write(id, 0, "x");
    // Taken meanwhile by another program: the next free one, nothing replaced.
    std::ofstream(downloads.path / "foto (2).jpg") << "llegó antes";
    const json done = sink.finish({{"id", id}});
    EXPECT_EQ(done["nombre"], "foto (3).jpg");
    EXPECT_EQ(read(downloads.path / "foto (2).jpg"), "llegó antes");
    EXPECT_EQ(read(downloads.path / "foto.jpg"), "ya estaba");
}

TEST_F(Sink, HostileNamesStayInsideTheFolder) {
    for (const char* name : {"../../x", "CON", "a/b", "/etc/passwd", "..", "foto\u202Egpj.exe"}) {
        const std::string id = open(name, 1);
        sink.write(id, 0, "x");
        const json done = sink.finish({{"id", id}});
        ASSERT_TRUE(done["ok"].get<bool>()) << name;
        const fs::path saved = done["ruta"].get<std::string>();
        EXPECT_EQ(saved.parent_path(), downloads.path) << name;
        EXPECT_TRUE(fs::is_regular_file(saved)) << name;
    }
    EXPECT_FALSE(fs::exists(downloads.path.parent_path().parent_path() / "x"));
}

TEST_F(Sink, BadWritesEndTheTransferAndRemoveThePart) {
    struct Case {
        const char* what;
        std::optional<std::uint64_t> from;
        std::string piece;
    } cases[] = {
        {"out of order", 3, "abc"},
        {"no position", std::nullopt, "abc"},
        {"past the announced size", 0, "more than ten bytes"},
        {"a piece over the limit", 0, std::string(kPieceMax + 1, 'x')},
    };
    for (const auto& c : cases) {
        const std::string id = open("datos.bin", 10);
        const json r = sink.write(id, c.from, c.piece);
        EXPECT_FALSE(r["ok"].get<bool>()) << c.what;
        EXPECT_FALSE(r["msg"].get<std::string>().empty()) << c.what;
        EXPECT_TRUE(listing().empty()) << c.what;
        EXPECT_FALSE(sink.write(id, 0, "x")["ok"].get<bool>()) << c.what;
    }
}

TEST_F(Sink, AnIncompleteFileIsNeverSaved) {
    const std::string id = open("medio.bin", 10);
    sink.write(id, 0, "12345");
    const json r = sink.finish({{"id", id}});
    EXPECT_FALSE(r["ok"].get<bool>());
    EXPECT_NE(r["msg"].get<std::string>().find("incompleto"), std::string::npos);
    EXPECT_TRUE(listing().empty());
}

TEST_F(Sink, CancelRemovesThePart) {
    const std::string id = open("video.mp4", 100);
    sink.write(id, 0, "abc");
    EXPECT_TRUE(sink.cancel({{"id", id}})["ok"].get<bool>());
    EXPECT_TRUE(listing().empty());
    EXPECT_FALSE(sink.write(id, 3, "d")["ok"].get<bool>());
}

TEST_F(Sink, OffersAreChecked) {
    for (const json& body : {json{{"nombre", "a"}, {"tamano", 0}},
                             json{{"nombre", "a"}, {"tamano", -5}},
                             json{{"nombre", "a"}, {"tamano", 2'000'000'001}},
                             json{{"nombre", "a"}, {"tamano", "10"}}, json{{"nombre", "a"}}}) {
        EXPECT_FALSE(sink.open(body)["ok"].get<bool>()) << body.dump();
    }
    EXPECT_TRUE(listing().empty());
    EXPECT_FALSE(sink.write("desconocida", 0, "x")["ok"].get<bool>());
    // More than the free space is refused before anything is sent.
    const auto free = fs::space(downloads.path).available;
    if (free < 2'000'000'000) {
        const json r = sink.open({{"nombre", "grande.iso"}, {"tamano", 2'000'000'000}});
        EXPECT_FALSE(r["ok"].get<bool>());
        EXPECT_NE(r["msg"].get<std::string>().find("espacio"), std::string::npos);
    }
}

TEST_F(Sink, OpenTransfersAreBounded) {
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < kMaxOpen; ++i) ids.push_back(open("f" + std::to_string(i), 5));
    const json r = sink.open({{"nombre", "uno más"}, {"tamano", 5}});
    EXPECT_FALSE(r["ok"].get<bool>());
    sink.cancel({{"id", ids[0]}});
    open("ahora sí", 5);
}

TEST_F(Sink, ForgottenTransfersAreSweptAndExitRemovesTheRest) {
    const std::string old = open("olvidado.bin", 5);
    clock += kIdleLimit + std::chrono::seconds(1);
    const std::string fresh = open("nuevo.bin", 5);
    EXPECT_FALSE(sink.write(old, 0, "x")["ok"].get<bool>());
    EXPECT_EQ(listing(), std::vector<std::string>{"nuevo.bin.part"});
    sink.write(fresh, 0, "ab");
    sink.abandon_all();
    EXPECT_TRUE(listing().empty());
}

TEST(SinkFolder, AMissingFolderIsMadeAndAnImpossibleOneIsExplained) {
    TempDir data, base;
    Log log{data.path};
    FileSink deep{[&] { return std::optional<fs::path>(base.path / "Descargas" / "nueva"); }, log};
    const json r = deep.open({{"nombre", "a.txt"}, {"tamano", 1}});
    EXPECT_TRUE(r["ok"].get<bool>()) << r.dump();

    std::ofstream(base.path / "archivo") << "no es carpeta";
    FileSink blocked{[&] { return std::optional<fs::path>(base.path / "archivo"); }, log};
    const json no = blocked.open({{"nombre", "a.txt"}, {"tamano", 1}});
    EXPECT_FALSE(no["ok"].get<bool>());
    EXPECT_NE(no["msg"].get<std::string>().find("a.txt"), std::string::npos) << no.dump();

    FileSink none{[] { return std::optional<fs::path>(); }, log};
    EXPECT_FALSE(none.open({{"nombre", "a.txt"}, {"tamano", 1}})["ok"].get<bool>());
}
