// The manifest's rules that need no server: addresses, version numbers, the signed text,
// and the zip entry rule.
#include <gtest/gtest.h>

#include <zip.h>

#include <string>
#include <vector>

#include "update/manifest.hpp"
#include "update/package.hpp"

namespace kelvora::update {
namespace {

// A replayed manifest (older than the last accepted, or offering a version lower than one
// already seen) is refused; the record only ever moves forward.
TEST(UpdateManifest, FreshnessAgainstWhatWasAccepted) {
    const json seen = {{"publicado", 2000}, {"version_vista", "1.4.0"}};
    const struct {
        const char* what;
        json manifest;
        json record;
        std::string error;
        json members;
    } cases[] = {
        {"first manifest, with a time", {{"version", "1.4.0"}, {"published", 1000}}, json::object(),
         "", {{"publicado", 1000}, {"version_vista", "1.4.0"}}},
        {"no published member: still accepted", {{"version", "1.4.0"}}, seen, "", json::object()},
        {"newer time, same version", {{"version", "1.4.0"}, {"published", 3000}}, seen, "",
         {{"publicado", 3000}}},
        {"same time, newer version", {{"version", "1.4.1"}, {"published", 2000}}, seen, "",
         {{"version_vista", "1.4.1"}}},
        {"older than the last accepted", {{"version", "1.5.0"}, {"published", 1999}}, seen,
         "el archivo de versión es más viejo que el último que se aceptó", nullptr},
        {"a lower version than seen", {{"version", "1.3.9"}, {"published", 5000}}, seen,
         "el canal ofrece la v1.3.9, más vieja que la v1.4.0 que ya había ofrecido", nullptr},
        {"a lower version, without a time", {{"version", "1.3.9"}}, seen,
         "el canal ofrece la v1.3.9, más vieja que la v1.4.0 que ya había ofrecido", nullptr},
        {"time as text", {{"version", "1.4.0"}, {"published", "2000"}}, seen,
         "la fecha de publicación no es válida", nullptr},
        {"negative time", {{"version", "1.4.0"}, {"published", -1}}, seen,
         "la fecha de publicación no es válida", nullptr},
        {"fractional time", {{"version", "1.4.0"}, {"published", 2500.5}}, seen,
         "la fecha de publicación no es válida", nullptr},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(freshness_error(c.manifest, c.record), c.error) << c.what;
        if (c.error.empty()) EXPECT_EQ(freshness_record(c.manifest, c.record), c.members) << c.what;
    }
}

TEST(UpdateManifest, AddressesAllowedByChannel) {
    const std::string local = "http://127.0.0.1:8080/version.json";
    const std::string https = "https://kelvora.app/kelvora/version.json";
    const struct {
        const char* url;
        const std::string& channel;
        bool allowed;
    } cases[] = {
        {"https://x.example/p.zip", https, true},
        {"https://x.example/p.zip", local, true},
        {"http://127.0.0.1:8080/p.zip", local, true},
        {"http://127.0.0.1:8080/p.zip", https, false},
        {"http://127.0.0.1:/p.zip", local, false},
        {"http://127.0.0.1.evil.example/p.zip", local, false},
        // "127.0.0.1:" as user info: the host would be the outside one.
        {"http://127.0.0.1:80@evil.example/p.zip", local, false},
        {"http://x.example/p.zip", local, false},
        {"https:/", https, false},
        {"ftp://x.example/p.zip", https, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(allowed_address(c.url, c.channel), c.allowed) << c.url << " via " << c.channel;
}

TEST(UpdateManifest, ChannelFallsBackToTheMakersSite) {
    EXPECT_EQ(channel_address("https://mirror.example/v.json"), "https://mirror.example/v.json");
    EXPECT_EQ(channel_address("http://127.0.0.1:9/v.json"), "http://127.0.0.1:9/v.json");
    for (const char* bad :
         {"", "http://mirror.example/v.json", "file:///etc/passwd", "http://127.0.0.1:x/"})
        // The Linux program's own channel, beside the Windows one (kelvora/version.json):
        // a Windows package would never pass its checks.
        EXPECT_EQ(channel_address(bad), "https://kelvora.app/kelvora/linux/version.json") << bad;
}

TEST(UpdateManifest, VersionsAreThreeNumbersComparedPartByPart) {
    for (const char* good : {"1.3.2", "0.0.0", "4294967295.0.1"})
        EXPECT_TRUE(is_release_version(good)) << good;
    for (const char* bad :
         {"1.4", "1.3.2.1", "1.x.2", "1..2", "+1.3.2", "4294967296.0.0", " 1.3.2"})
        EXPECT_FALSE(is_release_version(bad)) << bad;
    EXPECT_FALSE(is_release_version(json(132)));

    const struct {
        const char *a, *b;
        bool newer;
    } cases[] = {
        {"1.3.3", "1.3.2", true},   {"1.10.0", "1.9.9", true}, {"1.3.2.1", "1.3.2", true},
        {"1.3.2", "1.3.2", false},  {"1.3.1", "1.3.2", false}, {"1.3.2", "1.3.2.1", false},
        {"2.0.0", "10.0.0", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(newer_version(c.a, c.b), c.newer) << c.a << " vs " << c.b;
}

TEST(UpdateManifest, SignedTextIsCompactSortedAndMinimallyEscaped) {
    const auto m =
        json::parse(R"({"z":1,"a":{"y":[true,null],"b":"x"},"\u00e9":"ñ\n\u0001\"\\/"})");
    EXPECT_EQ(signed_text(m), "{\"a\":{\"b\":\"x\",\"y\":[true,null]},\"z\":1,\"\xc3\xa9\":"
                              "\"\xc3\xb1\\n\\u0001\\\"\\\\/\"}");
}

// A zip made by libzip itself, with entries in the given order.
std::string zip_of(const std::vector<std::pair<std::string, std::string>>& entries,
                   bool store = false) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* out = zip_source_buffer_create(nullptr, 0, 0, &error);
    zip_source_keep(out);
    zip_t* z = zip_open_from_source(out, ZIP_TRUNCATE, &error);
    for (const auto& [name, data] : entries) {
        zip_source_t* s = zip_source_buffer(z, data.data(), data.size(), 0);
        const zip_int64_t i = zip_file_add(z, name.c_str(), s, ZIP_FL_ENC_UTF_8);
        if (store) zip_set_file_compression(z, static_cast<zip_uint64_t>(i), ZIP_CM_STORE, 0);
    }
    zip_close(z);
    zip_source_open(out);
    zip_source_seek(out, 0, SEEK_END);
    const auto size = zip_source_tell(out);
    zip_source_seek(out, 0, SEEK_SET);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    zip_source_read(out, bytes.data(), bytes.size());
    zip_source_close(out);
    zip_source_free(out);
    return bytes;
}

TEST(UpdatePackage, TheFirstEntryNamedLikeTheProgramIsTaken) {
    const ProgramKind win{"kelvora.exe", "MZ", "Kelvora.exe"};
    const struct {
        const char* what;
        std::vector<std::pair<std::string, std::string>> entries;
        std::string content, error;
    } cases[] = {
        {"top level", {{"Kelvora.exe", "MZ1"}}, "MZ1", ""},
        {"capitals in a folder", {{"leeme.txt", "x"}, {"bin/KELVORA.EXE", "MZ2"}}, "MZ2", ""},
        {"backslashes", {{"bin\\kelvora.exe", "MZ3"}}, "MZ3", ""},
        {"first of two", {{"a/Kelvora.exe", "MZa"}, {"Kelvora.exe", "MZb"}}, "MZa", ""},
        {"extension added", {{"Kelvora.exe.bak", "MZ"}}, "", "el .zip no trae Kelvora.exe"},
        {"not a program", {{"Kelvora.exe", "PK"}}, "", "el .zip no trae un programa válido"},
        {"one byte", {{"Kelvora.exe", "M"}}, "", "el .zip no trae un programa válido"},
    };
    for (const auto& c : cases) {
        const auto got = read_program_entry(zip_of(c.entries), win, 1 << 20);
        EXPECT_EQ(got.content, c.content) << c.what;
        EXPECT_EQ(got.error, c.error) << c.what;
    }
}

TEST(UpdatePackage, DamageAndBombsAreRefused) {
    const ProgramKind linux_kind{"kelvora",
                                 "\x7f"
                                 "ELF",
                                 "kelvora"};
    std::string zip = zip_of({{"kelvora", "\x7f"
                                          "ELF" +
                                              std::string(100000, 'a')}});
    EXPECT_EQ(read_program_entry(zip, linux_kind, 1 << 20).error, "");
    EXPECT_EQ(read_program_entry(zip, linux_kind, 1000).error, "el .zip está dañado");
    EXPECT_EQ(read_program_entry(zip.substr(0, zip.size() / 2), linux_kind, 1 << 20).error,
              "el .zip está dañado");
    EXPECT_EQ(read_program_entry("", linux_kind, 1 << 20).error, "el .zip está dañado");
    // A flipped byte in the compressed data fails the checksum (or the inflation).
    const auto at = zip.find("kelvora") + 7 + 10;
    zip[at] = static_cast<char>(zip[at] ^ 0x55);
    EXPECT_EQ(read_program_entry(zip, linux_kind, 1 << 20).error, "el .zip está dañado");
}

// The program inflated while the package arrives, in pieces of any size, is the one the
// reading of the whole finds; anything it can't follow or that is damaged leaves the
// reading of the whole to do the work, with the same answer as without it.
TEST(UpdatePackage, ProgramUnpackedWhileArriving) {
    const ProgramKind linux_kind{"kelvora",
                                 "\x7f"
                                 "ELF",
                                 "kelvora"};
    std::string program = "\x7f"
                          "ELF";
    for (std::uint64_t i = 0; program.size() < 3'000'000; ++i)
        program += std::to_string(i * 7919 % 100003);
    const std::string filler(200000, 'z');
    const std::string deflated = zip_of({{"leeme.txt", filler}, {"bin/kelvora", program}});
    const std::string stored = zip_of({{"leeme.txt", filler}, {"kelvora", program}}, true);
    std::string flipped = deflated;
    flipped[flipped.find("bin/kelvora") + 11 + 5000] ^= 0x55;
    std::string lying = deflated; // the entry's header says it is a byte shorter
    const auto header = lying.rfind("PK\x03\x04", lying.find("bin/kelvora"));
    lying[header + 22] = static_cast<char>(lying[header + 22] - 1);
    const struct {
        const char* what;
        const std::string& zip;
        std::size_t piece;
        bool ready;
        std::string content, error;
    } cases[] = {
        {"deflated, byte by byte", deflated, 1, true, program, ""},
        {"deflated, odd pieces", deflated, 4093, true, program, ""},
        {"deflated, all at once", deflated, deflated.size(), true, program, ""},
        {"stored, odd pieces", stored, 65537, true, program, ""},
        {"damaged data", flipped, 65536, false, "", "el .zip está dañado"},
        {"header smaller than the entry", lying, 65536, false, "", "el .zip está dañado"},
        {"no program", zip_of({{"leeme.txt", filler}}), 999, false, "", "el .zip no trae kelvora"},
    };
    // Each case into memory and into a sink, as the download writes the staged file.
    for (const bool to_sink : {false, true})
        for (const auto& c : cases) {
            // The whole package's buffer exists from the start, as the download's does.
            const std::string& all = c.zip;
            std::string sunk;
            ProgramStream::Sink sink;
            if (to_sink) sink = [&](std::string_view b) { return sunk.append(b), true; };
            ProgramStream stream(linux_kind, 1 << 24, sink);
            const std::size_t step = c.piece == 1 ? 997 : c.piece; // byte by byte for the headers
            for (std::size_t n = c.piece == 1 ? 1 : 0; n < all.size(); n += n < 4096 ? 1 : step)
                stream.advance(std::string_view(all).substr(0, n));
            stream.advance(all);
            EXPECT_EQ(stream.ready(), c.ready) << c.what << (to_sink ? ", to a sink" : "");
            stream.keep_for(all);
            const auto got = read_program_entry(all, linux_kind, 1 << 24);
            EXPECT_EQ(got.error, c.error) << c.what;
            EXPECT_EQ(got.written, to_sink && c.ready) << c.what;
            // From the sink, the content is what it received; its first bytes stay for the
            // magic check.
            EXPECT_TRUE((got.written ? sunk : got.content) == c.content) << c.what;
            if (got.written) EXPECT_EQ(got.content, c.content.substr(0, 16)) << c.what;
        }

    // A sink that fails (a full disk) stops the stream: the entry is then read from the
    // package, into memory.
    {
        ProgramStream stream(linux_kind, 1 << 24, [](std::string_view) { return false; });
        stream.advance(deflated);
        EXPECT_FALSE(stream.ready());
        stream.keep_for(deflated);
        const auto got = read_program_entry(deflated, linux_kind, 1 << 24);
        EXPECT_FALSE(got.written);
        EXPECT_TRUE(got.content == program);
    }

    // What was kept for one package is not taken for another.
    ProgramStream stream(linux_kind, 1 << 24);
    stream.advance(deflated);
    ASSERT_TRUE(stream.ready());
    stream.keep_for(deflated);
    const std::string other = zip_of({{"kelvora", "\x7f"
                                                   "ELF other"}});
    EXPECT_EQ(read_program_entry(other, linux_kind, 1 << 24).content,
              "\x7f"
              "ELF other");
    // Nor past the size a program may have.
    ProgramStream small(linux_kind, 1000);
    small.advance(deflated);
    EXPECT_FALSE(small.ready());
}

} // namespace
} // namespace kelvora::update
