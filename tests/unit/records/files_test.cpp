#include <regex>
#include <string>
#include <thread>

#include "base/text.hpp"
#include "records/history.hpp"
#include "records/recents.hpp"
#include "records_fixture.hpp"

using namespace kelvora;
using namespace kelvora::records;

namespace {

class Recents : public RecordsTest {
protected:
    RecentList recents{data.path};
    std::vector<std::string> ids(const json& list) {
        std::vector<std::string> out;
        for (const auto& e : list)
            out.push_back(e["id"]);
        return out;
    }
};

std::string nine(int i) {
    return std::to_string(100000000 + i);
}

} // namespace

TEST_F(Recents, AddingKeepsDigitsOnly) {
    struct Case {
        const char* id;
        std::vector<std::string> want;
    } cases[] = {
        {"123 456 789", {"123456789"}},
        {"12345678", {"123456789"}},
        {"1234567890", {"123456789"}},
        {"", {"123456789"}},
        {"987-654-321", {"987654321", "123456789"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ids(recents.add(c.id, "PC")), c.want) << c.id;
    EXPECT_EQ(ids(file(kRecentsFile)), (std::vector<std::string>{"987654321", "123456789"}));
}

TEST_F(Recents, AnUnchangedListIsNotWritten) {
    EXPECT_EQ(recents.add("12345678", "x"), json::array());
    EXPECT_FALSE(std::filesystem::exists(data.path / kRecentsFile));
}

TEST_F(Recents, NewestFirstAtMostTwelveEachIdOnce) {
    for (int i = 1; i <= 13; ++i)
        recents.add(nine(i), "PC " + std::to_string(i));
    json list = recents.list();
    ASSERT_EQ(list.size(), 12u);
    EXPECT_EQ(list[0]["id"], nine(13));
    EXPECT_EQ(list[11]["id"], nine(2)) << "the oldest was dropped";

    list = recents.add(nine(5), "Caja nueva");
    ASSERT_EQ(list.size(), 12u);
    EXPECT_EQ(list[0],
              (json{{"id", nine(5)}, {"nombre", "Caja nueva"}, {"fecha", list[0]["fecha"]}}));
    EXPECT_TRUE(std::regex_match(list[0]["fecha"].get<std::string>(),
                                 std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d")));
    int fives = 0;
    for (const auto& e : list)
        fives += e["id"] == nine(5);
    EXPECT_EQ(fives, 1);
}

TEST_F(Recents, NamesAreCutAt48Characters) {
    const std::string name = std::string(47, 'a') + "ñé";
    EXPECT_EQ(recents.add(nine(1), name)[0]["nombre"], std::string(47, 'a') + "ñ");
}

TEST_F(Recents, Removing) {
    recents.add(nine(1), "a");
    recents.add(nine(2), "b");
    EXPECT_EQ(ids(recents.remove("100 000 001")), (std::vector<std::string>{nine(2), nine(1)}))
        << "removal compares the text exactly";
    EXPECT_EQ(ids(recents.remove(nine(1))), std::vector<std::string>{nine(2)});
    EXPECT_EQ(ids(file(kRecentsFile)), std::vector<std::string>{nine(2)});
}

TEST_F(Recents, ABrokenFileCountsAsEmpty) {
    for (const char* text : {"{", "{\"id\":\"123456789\"}", "\xff"}) {
        write_file(data.path / kRecentsFile, text);
        EXPECT_EQ(recents.list(), json::array()) << text;
        EXPECT_EQ(ids(recents.add(nine(3), "x")), std::vector<std::string>{nine(3)}) << text;
    }
}

TEST_F(Recents, ForeignElementsDoNotBreakAChange) {
    write_file(data.path / kRecentsFile, "[5, {\"id\": 123456789}, {\"id\":\"123456789\"}]");
    const json list = recents.add("123456789", "x");
    EXPECT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0]["id"], "123456789");
}

TEST_F(Recents, OverlappingRemovalsAllStick) {
    // A change made from a stale read would bring back an entry another thread removed.
    for (int round = 0; round < 100; ++round) {
        for (int i = 0; i < 12; ++i)
            recents.add(nine(i), "PC");
        std::vector<std::thread> threads;
        for (int i = 0; i < 12; ++i)
            threads.emplace_back([this, i] { recents.remove(nine(i)); });
        for (auto& t : threads)
            t.join();
        ASSERT_EQ(file(kRecentsFile), json::array()) << "round " << round;
    }
}

namespace {

class History : public RecordsTest {
protected:
    HistoryFile history{data.path};
    json line(int n) { return {{"n", n}}; }
};

} // namespace

TEST_F(History, NewestFirstAtMostSixty) {
    for (int i = 0; i < 75; ++i)
        ASSERT_TRUE(history.append(line(i)));
    const json shown = history.newest();
    ASSERT_EQ(shown.size(), 60u);
    EXPECT_EQ(shown[0], line(74));
    EXPECT_EQ(shown[59], line(15));
    // Every line stays in the file.
    const auto text = *read_file(data.path / kHistoryFile);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 75);
}

TEST_F(History, LinesThatDoNotParseAreSkipped) {
    write_file(data.path / kHistoryFile, "{\"n\":0}\nbasura\n\n{\"n\":1\n{\"n\":2}\n");
    EXPECT_EQ(history.newest(), (json{line(2), line(0)}));
}

TEST_F(History, ALineCutByACrashDoesNotSwallowTheNext) {
    write_file(data.path / kHistoryFile, "{\"n\":0}\n{\"n\":");
    history.append(line(1));
    EXPECT_EQ(history.newest(), (json{line(1), line(0)}));
}

TEST_F(History, ALongFileIsReadFromItsEnd) {
    // Far more than the first read window, with long lines that don't parse at the end.
    std::string text;
    for (int i = 0; i < 3000; ++i)
        text += to_compact(line(i)) + "\n";
    for (int i = 0; i < 40; ++i)
        text += std::string(1000, 'x') + "\n";
    write_file(data.path / kHistoryFile, text);
    const json shown = history.newest();
    ASSERT_EQ(shown.size(), 60u);
    EXPECT_EQ(shown[0], line(2999));
    EXPECT_EQ(shown[59], line(2940));
}

TEST(HistoryLine, Shape) {
    const EndedSession host{{"host", "Ana", "123456789", true, 0}, 42};
    EXPECT_EQ(history_line(host, "2025-03-07 09:05:00"), (json{{"fecha", "2025-03-07 09:05:00"},
                                                               {"rol", "recibi"},
                                                               {"con", "Ana"},
                                                               {"id", "123456789"},
                                                               {"segundos", 42},
                                                               {"control", true}}));
    const EndedSession tech{{"tech", "", "", false, 0}, 0};
    EXPECT_EQ(history_line(tech, "x")["rol"], "di");
}
