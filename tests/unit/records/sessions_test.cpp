#include <string>
#include <vector>

#include "records/activity.hpp"
#include "records_fixture.hpp"

using namespace kelvora;
using namespace kelvora::records;

namespace {

// The registry on a test directory, with a clock the test moves and a desktop that only
// records what it was asked to do.
class Sessions : public RecordsTest {
protected:
    std::int64_t now = 1'700'000'000;
    std::vector<std::string> desktop;
    Activity activity{data.path,
                      DesktopHooks{[this] { desktop.push_back("release"); },
                                   [this] { desktop.push_back("restore"); },
                                   [this] { desktop.push_back("close"); }},
                      [this] { return now; }};

    void report(json body) { EXPECT_EQ(activity.session(body), (json{{"ok", true}})); }
    void start(const std::string& k, const std::string& rol, bool control,
               const std::string& con = "Ana", const std::string& id = "123456789") {
        report({{"k", k},
                {"activa", true},
                {"rol", rol},
                {"control", control},
                {"con", con},
                {"id", id}});
    }
    void end(const std::string& k) { report({{"k", k}, {"activa", false}}); }
    json history() const {
        json out = json::array();
        const auto text = read_file(data.path / "sesiones.jsonl").value_or("");
        for (std::size_t at = 0; at < text.size();) {
            const auto nl = text.find('\n', at);
            out.push_back(json::parse(text.substr(at, nl - at)));
            at = nl + 1;
        }
        return out;
    }
    json state() const {
        json s = json::object();
        activity.add_state_fields(s);
        return s;
    }
};

} // namespace

TEST_F(Sessions, ControlTransitionsOfAHostSession) {
    struct Step {
        const char* name;
        json body;
        std::vector<std::string> log;
        std::vector<std::string> desktop;
        bool granted;
    } steps[] = {
        {"start without control",
         {{"k", "s1"},
          {"activa", true},
          {"rol", "host"},
          {"control", false},
          {"con", "Ana"},
          {"id", "123 456 789"}},
         {"[SESION] empieza (recibo soporte) con Ana 123456789"},
         {},
         false},
        {"control allowed",
         {{"k", "s1"}, {"activa", true}, {"rol", "host"}, {"control", true}, {"con", "Ana"}},
         {"[SESION] control permitido"},
         {},
         true},
        {"same report again",
         {{"k", "s1"}, {"activa", true}, {"rol", "host"}, {"control", true}},
         {},
         {},
         true},
        {"control withdrawn",
         {{"k", "s1"}, {"activa", true}, {"rol", "host"}, {"control", false}},
         {"[SESION] control quitado"},
         {"release"},
         false},
        {"control as a text is not a grant",
         {{"k", "s1"}, {"activa", true}, {"rol", "host"}, {"control", "true"}},
         {},
         {},
         false},
        {"control given back",
         {{"k", "s1"}, {"activa", true}, {"rol", "host"}, {"control", true}},
         {"[SESION] control permitido"},
         {},
         true},
        {"a report without role takes control away",
         {{"k", "s1"}, {"activa", true}, {"control", true}},
         {"[SESION] control quitado"},
         {"release"},
         false},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.name);
        std::filesystem::remove(data.path / "kelvora.log");
        desktop.clear();
        report(s.body);
        EXPECT_EQ(log_messages(), s.log);
        EXPECT_EQ(desktop, s.desktop);
        EXPECT_EQ(activity.control_granted(), s.granted);
    }
}

TEST_F(Sessions, ATechSessionNeverHoldsControl) {
    start("t1", "tech", true, "Caja", "55-5");
    EXPECT_FALSE(activity.control_granted());
    EXPECT_EQ(state()["sesion"]["rol"], "tech");
    // Its role stays what the first report said.
    start("t1", "host", true);
    EXPECT_FALSE(activity.control_granted());
    end("t1");
    EXPECT_EQ(log_messages(),
              (std::vector<std::string>{"[SESION] empieza (doy soporte) con Caja 555",
                                        "[SESION] termina (di) con Ana 123456789 · 0 s"}));
    EXPECT_EQ(history()[0]["control"], false);
}

TEST_F(Sessions, EndingWritesTheHistoryLine) {
    start("s1", "host", true, std::string(50, 'n'), "12a34567890123");
    now += 75;
    end("s1");
    const json h = history();
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0]["rol"], "recibi");
    EXPECT_EQ(h[0]["con"], std::string(48, 'n'));
    EXPECT_EQ(h[0]["id"], "123456789");
    EXPECT_EQ(h[0]["segundos"], 75);
    EXPECT_EQ(h[0]["control"], true);
    EXPECT_EQ(log_messages().back(),
              "[SESION] termina (recibi) con " + std::string(48, 'n') + " 123456789 · 75 s");
}

TEST_F(Sessions, AClockThatWentBackGivesZeroSeconds) {
    start("s1", "tech", false);
    now -= 3600;
    end("s1");
    EXPECT_EQ(history()[0]["segundos"], 0);
}

TEST_F(Sessions, TheDesktopIsGivenBackWhenTheLastHostSessionEnds) {
    start("h1", "host", true);
    start("h2", "host", false);
    start("t1", "tech", false);
    end("h1");
    EXPECT_EQ(desktop, std::vector<std::string>{}) << "another host session remains";
    end("t1");
    EXPECT_EQ(desktop, std::vector<std::string>{}) << "a tech session never gives anything back";
    end("h2");
    EXPECT_EQ(desktop, (std::vector<std::string>{"release", "restore", "close"}));
}

TEST_F(Sessions, EndingAnUnknownKeyDoesNothing) {
    start("h1", "host", true);
    std::filesystem::remove(data.path / "kelvora.log");
    end("nada");
    EXPECT_TRUE(log_messages().empty());
    EXPECT_TRUE(desktop.empty());
    EXPECT_TRUE(activity.control_granted());
}

TEST_F(Sessions, AnEndWithoutKeyEndsEverySession) {
    start("a", "host", true, "Ana");
    start("b", "tech", false, "Beto");
    start("c", "tech", false, "Ceci");
    report({{"activa", false}});
    const json h = history();
    ASSERT_EQ(h.size(), 3u);
    EXPECT_EQ(h[0]["con"], "Ana");
    EXPECT_EQ(h[2]["con"], "Ceci");
    EXPECT_EQ(desktop, (std::vector<std::string>{"release", "restore", "close"}));
    EXPECT_FALSE(activity.busy());
}

TEST_F(Sessions, EndAllAtExit) {
    start("t", "tech", false);
    activity.call({{"k", "l1"}, {"activa", true}, {"tipo", "telefono"}, {"con", "Eva"}});
    EXPECT_FALSE(activity.end_all()) << "no host session was open";
    EXPECT_FALSE(activity.busy());
    EXPECT_EQ(history().size(), 1u);
    start("h", "host", false);
    EXPECT_TRUE(activity.end_all());
    EXPECT_EQ(history().size(), 2u);
}

TEST_F(Sessions, Calls) {
    struct Step {
        json body;
        std::vector<std::string> log;
        bool busy;
    } steps[] = {
        {{{"k", "l1"}, {"activa", true}, {"tipo", "telefono"}, {"con", "Eva"}},
         {"[LLAMADA] empieza l1"},
         true},
        {{{"activa", true}}, {"[LLAMADA] empieza grupo"}, true},
        {{{"tipo", "sesion"}, {"activa", false}}, {}, true},
        {{{"k", 7}, {"tipo", "sesion"}, {"activa", true}}, {"[LLAMADA] empieza sesion"}, true},
        {{{"k", "l1"}, {"activa", false}}, {"[LLAMADA] termina l1"}, true},
        {{{"k", "l1"}, {"activa", false}}, {}, true},
        {{{"activa", false}}, {"[LLAMADA] termina grupo"}, true},
        {{{"tipo", "sesion"}}, {"[LLAMADA] termina sesion"}, false},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.body.dump());
        std::filesystem::remove(data.path / "kelvora.log");
        EXPECT_EQ(activity.call(s.body), (json{{"ok", true}}));
        EXPECT_EQ(log_messages(), s.log);
        EXPECT_EQ(activity.busy(), s.busy);
        EXPECT_EQ(state()["llamada"], s.busy);
    }
}

TEST_F(Sessions, StateRecord) {
    json s = state();
    EXPECT_EQ(s["sesion"], (json{{"activa", false},
                                 {"rol", ""},
                                 {"control", false},
                                 {"con", ""},
                                 {"lista", json::array()},
                                 {"llamadas", 0}}));
    EXPECT_EQ(s["llamada"], false);
    EXPECT_EQ(s["sesiones"], json::array());

    start("t", "tech", false, "Tere");
    start("h1", "host", false, "Hugo");
    start("h2", "host", true, "Hilda");
    activity.call({{"activa", true}});
    s = state();
    EXPECT_EQ(s["sesion"]["activa"], true);
    EXPECT_EQ(s["sesion"]["rol"], "host");
    EXPECT_EQ(s["sesion"]["control"], true);
    EXPECT_EQ(s["sesion"]["con"], "Hilda") << "the host session that grants control";
    EXPECT_EQ(s["sesion"]["lista"].size(), 3u);
    EXPECT_EQ(s["sesion"]["llamadas"], 1);
    EXPECT_EQ(s["llamada"], true);
}
