// The updater's signature check against Project Wycheproof's Ed25519 vectors, and the
// hexadecimal and hash helpers around it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/json_file.hpp"
#include "update/signature.hpp"

namespace kelvora::update {
namespace {

// Kept in the tree beside this test, with its licence note.
std::filesystem::path wycheproof_file() {
    return std::filesystem::path(KELVORA_SOURCE_DIR) /
           "tests/unit/update/testdata/ed25519/ed25519_test.json";
}

TEST(UpdateSignature, EveryWycheproofCaseGetsItsExpectedResult) {
    const auto file = wycheproof_file();
    const auto doc = load_json_file_in(file.parent_path(), file.filename().string());
    ASSERT_TRUE(doc.has_value());
    int seen = 0;
    for (const auto& group : (*doc)["testGroups"]) {
        const auto pk = decode_hex(group["publicKey"]["pk"].get<std::string>());
        ASSERT_TRUE(pk.has_value());
        for (const auto& t : group["tests"]) {
            ++seen;
            const auto msg = decode_hex(t["msg"].get<std::string>());
            // A few signatures have an odd number of digits: nothing to verify, refused.
            const auto sig = decode_hex(t["sig"].get<std::string>());
            const bool got = msg && sig && verify_ed25519_strict(*pk, *msg, *sig);
            EXPECT_EQ(got, t["result"] == "valid")
                << "tcId " << t["tcId"] << ": " << t["comment"] << " " << t["flags"];
        }
    }
    EXPECT_EQ(seen, (*doc)["numberOfTests"].get<int>());
}

TEST(UpdateSignature, HexIsTrimmedEvenAndEitherCase) {
    const struct {
        const char* text;
        std::optional<std::string> bytes;
    } cases[] = {
        {"00ff", std::string("\x00\xff", 2)},
        {"  0A0b\n", std::string("\x0a\x0b", 2)},
        {"", std::string()},
        {"abc", std::nullopt},
        {"0g", std::nullopt},
        {"0 a", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decode_hex(c.text), c.bytes) << c.text;
}

TEST(UpdateSignature, Sha256OfKnownTexts) {
    EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(UpdateSignature, KeysOfSmallOrderOrWrongLengthAreUnusable) {
    EXPECT_FALSE(usable_public_key(std::string(32, '\0')));
    EXPECT_FALSE(usable_public_key(std::string(31, '\x11')));
    EXPECT_TRUE(usable_public_key(
        *decode_hex("cb5cca1a2a455eb908d628036332b5f248bdd55164c30c233394eaceff74918b")));
}

} // namespace
} // namespace kelvora::update
