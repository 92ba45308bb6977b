#include <gtest/gtest.h>

#include "desktop/input_request.hpp"

using namespace kelvora;
using namespace kelvora::desktop;
using platform::InputRecord;
using Kind = InputRecord::Kind;

namespace {

InputTarget two_monitors() {
    // The primary at 0, a second one to its left, as the list orders them.
    return {{{0, 0, 1920, 1080}, {-1920, 0, 1920, 1080}}, {-1920, 0, 3840, 1080}};
}

// Records every batch; accepts all of them, or none when refusing.
struct Recorder {
    std::vector<std::vector<InputRecord>> batches;
    bool refuse = false;
    InputTarget target = two_monitors();

    InputPort port() {
        return {[this] { return target; },
                [this](std::span<const InputRecord> r) {
                    batches.emplace_back(r.begin(), r.end());
                    return refuse ? std::size_t{0} : r.size();
                }};
    }
    std::vector<InputRecord> all() const {
        std::vector<InputRecord> out;
        for (const auto& b : batches)
            out.insert(out.end(), b.begin(), b.end());
        return out;
    }
};

json run(Recorder& rec, HeldInput& held, const json& body) {
    return inject_batch(body, held, rec.port());
}

} // namespace

TEST(InputPosition, AbsoluteArithmetic) {
    struct Case {
        double x, y;
        InputTarget target;
        std::int64_t mon;
        int px, py, nx, ny;
    } cases[] = {
        // x 1.0 on a 1920-wide monitor that is the whole desktop: the last pixel, 65535.
        {1.0, 1.0, {{{0, 0, 1920, 1080}}, {0, 0, 1920, 1080}}, 0, 1919, 1079, 65535, 65535},
        {0.0, 0.0, two_monitors(), 1, -1920, 0, 0, 0},
        {0.5, 0.5, two_monitors(), 0, 960, 540, (2880 * 65535 + 1919) / 3839,
         (540 * 65535 + 539) / 1079},
        // A monitor not in the list means the first one.
        {0.0, 0.0, two_monitors(), 7, 0, 0, (1920 * 65535 + 1919) / 3839, 0},
        {0.0, 0.0, two_monitors(), -1, 0, 0, (1920 * 65535 + 1919) / 3839, 0},
        // Out-of-range and non-finite fractions.
        {-5.0, 2.0, two_monitors(), 0, 0, 1079, (1920 * 65535 + 1919) / 3839, 65535},
        {NAN, INFINITY, two_monitors(), 0, 0, 0, (1920 * 65535 + 1919) / 3839, 0},
        // No monitor at all: the virtual desktop itself.
        {1.0, 0.0, {{}, {0, 0, 800, 600}}, 0, 799, 0, 65535, 0},
        // Degenerate sizes never divide by zero.
        {1.0, 1.0, {{{0, 0, 1, 0}}, {0, 0, 1, 1}}, 0, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const auto r = absolute_move(c.x, c.y, c.target, c.mon);
        EXPECT_EQ(r.kind, Kind::move);
        EXPECT_EQ((std::array{r.px, r.py, r.nx, r.ny}), (std::array{c.px, c.py, c.nx, c.ny}))
            << c.x << "," << c.y << " mon " << c.mon;
    }
}

TEST(InputBatch, KeysHeldTwiceReleaseOnceInReverseOrder) {
    Recorder rec;
    HeldInput held;
    run(rec, held,
        {{"ev",
          {{{"k", "kd"}, {"c", "KeyA"}},
           {{"k", "kd"}, {"c", "KeyA"}},
           {{"k", "kd"}, {"c", "ShiftLeft"}},
           {{"k", "d"}, {"b", 3}},
           {{"k", "kd"}, {"c", "Fn"}},
           {{"k", "rel"}}}}});
    // The presses go first, in one batch, then the release of what they hold.
    ASSERT_EQ(rec.batches.size(), 2u);
    EXPECT_EQ(rec.batches[0].size(), 4u);
    const auto& release = rec.batches.back();
    ASSERT_EQ(release.size(), 3u);
    EXPECT_EQ(release[0].code, 0x2A);
    EXPECT_EQ(release[1].code, 0x1E);
    EXPECT_TRUE(release[0].up && release[1].up);
    EXPECT_EQ(release[2].kind, Kind::button);
    EXPECT_EQ(release[2].button, 3);
    EXPECT_TRUE(release[2].up);
    // The release emptied the record: a second one sends nothing.
    const auto before = rec.batches.size();
    run(rec, held, {{"ev", {{{"k", "rel"}}}}});
    EXPECT_EQ(rec.batches.size(), before);
}

TEST(InputBatch, TypedTextInOneBatch) {
    Recorder rec;
    HeldInput held;
    run(rec, held, {{"ev", {{{"k", "t"}, {"s", "a\r\nb"}}}}});
    auto recs = rec.all();
    ASSERT_EQ(recs.size(), 6u);
    EXPECT_EQ(recs[0].kind, Kind::unicode);
    EXPECT_EQ(recs[0].code, u'a');
    EXPECT_EQ(recs[2].kind, Kind::key);
    EXPECT_TRUE(recs[2].virtual_key);
    EXPECT_EQ(recs[2].code, kVkReturn);
    EXPECT_TRUE(recs[3].up);
    EXPECT_EQ(recs[4].code, u'b');

    rec = Recorder{};
    run(rec, held, {{"ev", {{{"k", "t"}, {"s", "😀\t"}}}}});
    recs = rec.all();
    ASSERT_EQ(recs.size(), 6u);
    EXPECT_EQ(recs[0].code, 0xD83D);
    EXPECT_FALSE(recs[0].up);
    EXPECT_TRUE(recs[1].up);
    EXPECT_EQ(recs[2].code, 0xDE00);
    EXPECT_EQ(recs[4].code, kVkTab);

    // A long text, and the moves and keys around it, reach the OS in one call.
    rec = Recorder{};
    run(rec, held,
        {{"ev",
          {{{"k", "m"}, {"x", 0.5}, {"y", 0.5}},
           {{"k", "t"}, {"s", std::string(5000, 'x')}},
           {{"k", "kd"}, {"c", "KeyA"}},
           {{"k", "ku"}, {"c", "KeyA"}}}}});
    ASSERT_EQ(rec.batches.size(), 1u);
    EXPECT_EQ(rec.batches[0].size(), 1u + 10000u + 2u);
    EXPECT_TRUE(held.take_all().keys.empty());
}

TEST(InputBatch, WheelAndButtons) {
    Recorder rec;
    HeldInput held;
    run(rec, held,
        {{"ev",
          {{{"k", "w"}, {"dy", 45000}, {"dx", -12.6}},
           {{"k", "w"}, {"dy", 0}, {"dx", 0}},
           {{"k", "d"}, {"b", 9}},
           {{"k", "u"}, {"b", "x"}, {"x", 1}, {"y", 1}}}}});
    // The empty wheel and button 9 add nothing.
    const auto recs = rec.all();
    ASSERT_EQ(recs.size(), 4u);
    EXPECT_EQ(recs[0].amount, 30000);
    EXPECT_FALSE(recs[0].horizontal);
    EXPECT_EQ(recs[1].amount, -13);
    EXPECT_TRUE(recs[1].horizontal);
    EXPECT_EQ(recs[2].kind, Kind::move);
    EXPECT_EQ(recs[3].button, 0); // a b that isn't a number is the left button
}

TEST(InputBatch, Replies) {
    HeldInput held;
    struct Case {
        json body;
        bool refuse;
        json reply;
    } cases[] = {
        {{{"ev", {{{"k", "m"}, {"x", 0.5}, {"y", 0.5}}}}}, false, {{"ok", true}}},
        {{{"ev", {{{"k", "m"}, {"x", 0.5}, {"y", 0.5}}}}},
         true,
         {{"ok", false}, {"msg", input_blocked_message(platform::host_os())}}},
        // Nothing offered: nothing refused.
        {{{"ev", {{{"k", "w"}, {"dy", 0}}, {{"k", "rel"}}}}}, true, {{"ok", true}}},
        {{{"ev", "no"}}, true, {{"ok", true}}},
        {json::array(), true, {{"ok", true}}},
        {{{"ev", json::array({json{{"k", "zz"}}})}}, true, {{"ok", true}}},
    };
    for (const auto& c : cases) {
        Recorder rec;
        rec.refuse = c.refuse;
        EXPECT_EQ(run(rec, held, c.body), c.reply) << c.body.dump();
    }
    Recorder rec;
    json many = {{"ev", json::array()}};
    for (std::size_t i = 0; i <= kMaxEvents; ++i)
        many["ev"].push_back({{"k", "m"}, {"x", 0}, {"y", 0}});
    EXPECT_EQ(run(rec, held, many)["ok"], false);
    json long_text = {{"ev", {{{"k", "t"}, {"s", std::string(kMaxTypedUnits + 1, 'x')}}}}};
    EXPECT_EQ(run(rec, held, long_text)["ok"], false);
    EXPECT_TRUE(rec.batches.empty());
}
