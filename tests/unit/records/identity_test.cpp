#include <regex>
#include <string>

#include "base/text.hpp"
#include "records/identity.hpp"
#include "records/password.hpp"
#include "records_fixture.hpp"

using namespace kelvora;
using namespace kelvora::records;

namespace {

class Identity : public RecordsTest {
protected:
    json reply() { return IdentityStore(data.path).identity_reply(); }
    // The identity file of a first start, with one key replaced; the first start's values.
    json store_with(const char* key, const json& value) {
        const json first = IdentityStore(data.path).identity_reply();
        json doc = file(kIdentityFile);
        doc[key] = value;
        EXPECT_TRUE(save_json_file_in(data.path, kIdentityFile, doc));
        std::filesystem::remove(data.path / "kelvora.log");
        return first;
    }
    void expect_valid_identity(const json& r) {
        const std::string id = r["id"];
        EXPECT_TRUE(std::regex_match(id, std::regex("[1-9][0-9]{8}"))) << id;
        EXPECT_TRUE(std::regex_match(r["llave"].get<std::string>(), std::regex("[0-9a-f]{64}")));
        const std::string clave = r["clave"];
        EXPECT_EQ(clave.size(), 8u);
        EXPECT_EQ(clave.find_first_not_of(kPasswordAlphabet), std::string::npos) << clave;
    }
};

} // namespace

TEST(IdentityRules, SupportIdFromRandomBytes) {
    std::array<unsigned char, 16> b{};
    EXPECT_EQ(support_id_from_bytes(b), "100000000");
    b.fill(0xFF); // (2^64-1) mod 900000000 = 109551615
    EXPECT_EQ(support_id_from_bytes(b), "209551615");
    std::array<unsigned char, 16> only_tail{};
    only_tail[15] = 1; // the last eight bytes are not used
    EXPECT_EQ(support_id_from_bytes(only_tail), "100000000");
}

TEST(IdentityRules, PrettyId) {
    EXPECT_EQ(pretty_id("123456789"), "123 456 789");
    EXPECT_EQ(pretty_id("12345678"), "12345678");
    EXPECT_EQ(pretty_id(""), "");
}

TEST_F(Identity, FirstStartMakesAndSavesEverything) {
    const json r = reply();
    expect_valid_identity(r);
    EXPECT_EQ(r["id_bonito"], pretty_id(r["id"].get<std::string>()));
    EXPECT_EQ(log_messages(),
              (std::vector<std::string>{"[ID] ID nuevo para esta PC: " + r["id"].get<std::string>(),
                                        "[ID] la app asignó la contraseña de esta PC"}));
    const auto text = *read_file(data.path / kIdentityFile);
    const json doc = *parse_json(text);
    std::vector<std::string> keys;
    for (const auto& [k, v] : doc.items())
        keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"_nota", "clave_cif", "creada", "id", "llave"}));
    EXPECT_EQ(doc["id"], r["id"]);
    EXPECT_EQ(doc["llave"], r["llave"]);
    EXPECT_EQ(text.find(r["clave"].get<std::string>()), std::string::npos) << "no clear password";
    EXPECT_TRUE(
        std::regex_match(doc["clave_cif"].get<std::string>(), std::regex("([0-9a-f]{2})+")));
    EXPECT_TRUE(std::regex_match(doc["creada"].get<std::string>(),
                                 std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d")));
    EXPECT_EQ(text.substr(0, 14), "{\n  \"_nota\": \"") << "two-space indent";
}

TEST_F(Identity, ASecondStartReadsWithoutWriting) {
    const json first = reply();
    const auto before = *read_file(data.path / kIdentityFile);
    std::filesystem::remove(data.path / "kelvora.log");
    EXPECT_EQ(reply(), first);
    EXPECT_EQ(*read_file(data.path / kIdentityFile), before);
    EXPECT_TRUE(log_messages().empty());
}

TEST_F(Identity, InvalidIdOrKeyIsReplacedAndThePasswordKept) {
    struct Case {
        const char* name;
        const char* key;
        json value;
    } cases[] = {
        {"8-digit id", "id", "12345678"},
        {"10-digit id", "id", "1234567890"},
        {"id with a letter", "id", "12345678a"},
        {"id as a number", "id", 123456789},
        {"key of 31 characters", "llave", std::string(31, 'k')},
        {"key missing", "llave", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const json old = store_with(c.key, c.value);
        const json r = reply();
        expect_valid_identity(r);
        EXPECT_NE(r["llave"], old["llave"]) << "id and key are replaced together";
        EXPECT_EQ(r["clave"], old["clave"]);
        EXPECT_EQ(log_messages(), std::vector<std::string>{"[ID] ID nuevo para esta PC: " +
                                                           r["id"].get<std::string>()});
        EXPECT_EQ(file(kIdentityFile)["id"], r["id"]);
    }
}

TEST_F(Identity, StoredValuesThatAreAccepted) {
    store_with("id", "012345678");
    json doc = file(kIdentityFile);
    doc["llave"] = std::string(32, 'Z');
    save_json_file_in(data.path, kIdentityFile, doc);
    const json r = reply();
    EXPECT_EQ(r["id"], "012345678");
    EXPECT_EQ(r["llave"], std::string(32, 'Z'));
    EXPECT_TRUE(log_messages().empty());
}

TEST_F(Identity, AnUnreadablePasswordGivesANewOneForTheSameId) {
    struct Case {
        const char* name;
        json clave_cif;
    } cases[] = {
        {"empty (protection failed last time)", ""},
        {"odd length", "abc"},
        {"not hexadecimal", "zz00"},
        {"damaged blob", std::string(120, 'a')},
        {"not a string", 42},
        {"missing", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        store_with("clave_cif", c.clave_cif);
        const json before = file(kIdentityFile);
        const json r = reply();
        EXPECT_EQ(r["id"], before["id"]);
        EXPECT_EQ(r["llave"], before["llave"]);
        EXPECT_EQ(log_messages(),
                  std::vector<std::string>{"[ID] la app asignó la contraseña de esta PC"});
        // The new password is the one sealed now.
        EXPECT_EQ(reply()["clave"], r["clave"]);
    }
}

TEST_F(Identity, ADamagedFileStartsOver) {
    for (const char* text : {"", "{", "[1,2]", "\"texto\"", "{\"id\":\"1\xff\"}"}) {
        SCOPED_TRACE(text);
        write_file(data.path / kIdentityFile, text);
        std::filesystem::remove(data.path / "kelvora.log");
        expect_valid_identity(reply());
        EXPECT_EQ(log_messages().size(), 2u);
    }
}

TEST_F(Identity, AnotherAccountsKeyGivesANewPassword) {
    const json first = reply();
    TempDir other;
    ::setenv("XDG_CONFIG_HOME", other.path.c_str(), 1);
    const json r = reply();
    EXPECT_EQ(r["id"], first["id"]);
    EXPECT_NE(r["clave"], first["clave"]);
}

TEST_F(Identity, SettingThePassword) {
    IdentityStore store(data.path);
    std::filesystem::remove(data.path / "kelvora.log");
    const json bad = store.set_password("ab cdef");
    EXPECT_EQ(bad, (json{{"ok", false}, {"msg", "La contraseña no puede llevar espacios."}}));
    const json good = store.set_password("  Gato-2024\t");
    EXPECT_EQ(good, (json{{"ok", true}, {"clave", "Gato-2024"}}));
    EXPECT_EQ(log_messages(),
              std::vector<std::string>{"[ID] la persona cambió la contraseña de esta PC"});
    EXPECT_EQ(reply()["clave"], "Gato-2024") << "kept across a restart";
}

TEST_F(Identity, AFailedSaveKeepsThePasswordForThisRun) {
    IdentityStore store(data.path);
    // A directory in the way of the temporary file makes the write fail.
    std::filesystem::create_directory(data.path / "identidad.tmp");
    EXPECT_EQ(store.set_password("Perro-77"),
              (json{{"ok", false}, {"msg", "No se pudo guardar la contraseña."}}));
    EXPECT_EQ(store.identity_reply()["clave"], "Perro-77");
    EXPECT_EQ(store.verify("Perro-77")["ok"], true);
}

TEST_F(Identity, NewIdAndNewPassword) {
    IdentityStore store(data.path);
    const json before = store.identity_reply();
    std::filesystem::remove(data.path / "kelvora.log");

    EXPECT_EQ(store.new_id(), (json{{"ok", true}}));
    const json after_id = store.identity_reply();
    EXPECT_NE(after_id["id"], before["id"]);
    EXPECT_NE(after_id["llave"], before["llave"]);
    EXPECT_EQ(after_id["clave"], before["clave"]);

    const json np = store.new_password();
    EXPECT_EQ(np["ok"], true);
    EXPECT_NE(np["clave"], before["clave"]);
    EXPECT_EQ(log_messages(), (std::vector<std::string>{
                                  "[ID] se creó un ID nuevo: " + after_id["id"].get<std::string>(),
                                  "[ID] la app asignó una contraseña nueva (a mano)"}));
    // Both changes reached the file.
    const json r = reply();
    EXPECT_EQ(r["id"], after_id["id"]);
    EXPECT_EQ(r["clave"], np["clave"]);
}

TEST_F(Identity, VerifyLogsOnlyWrongAttempts) {
    IdentityStore store(data.path);
    const std::string clave = store.identity_reply()["clave"];
    std::filesystem::remove(data.path / "kelvora.log");
    const std::string typed =
        " " + to_lower_ascii(clave.substr(0, 4)) + "-" + clave.substr(4) + " ";
    EXPECT_EQ(store.verify(typed), (json{{"ok", true}}));
    EXPECT_EQ(store.verify("   "), (json{{"ok", false}}));
    EXPECT_EQ(log_messages(), std::vector<std::string>{
                                  "[SESION] alguien intentó entrar con una contraseña equivocada"});
}
