#include <gtest/gtest.h>

#include "desktop/clipboard.hpp"

using namespace kelvora;
using namespace kelvora::desktop;
using platform::ClipboardText;

namespace {

// A clipboard another program holds for the first `busy` attempts.
struct FakeClipboard {
    int busy = 0;
    int attempts = 0;
    std::chrono::milliseconds slept{0};
    ClipboardText content;
    std::string written;

    struct Open final : platform::OpenClipboard {
        FakeClipboard& c;
        explicit Open(FakeClipboard& c) : c(c) {}
        ClipboardText read_text() override { return c.content; }
        bool write_text(const std::string& t) override {
            c.written = t;
            return true;
        }
    };
    ClipboardPort port() {
        return {[this]() -> std::unique_ptr<platform::OpenClipboard> {
                    if (attempts++ < busy) return nullptr;
                    return std::make_unique<Open>(*this);
                },
                [this](std::chrono::milliseconds ms) { slept += ms; }};
    }
};

} // namespace

TEST(Clipboard, LineEndings) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"a\nb", "a\r\nb"}, {"a\r\nb", "a\r\nb"}, {"a\rb", "a\rb"}, {"\r\r\n\n", "\r\r\n\r\n"},
        {"", ""},           {"ñ😀\n", "ñ😀\r\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(with_crlf(c.in), c.out) << c.in;
    for (const auto& [in, out] :
         {std::pair{"a\r\nb", "a\nb"}, {"a\nb\rc", "a\nb\rc"}, {"\r\r\n\n", "\r\n\n"}, {"", ""}})
        EXPECT_EQ(with_lf(in), out) << in;
}

TEST(Clipboard, WrittenWithTheSystemsLineEndings) {
    for (const auto& [os, want] :
         {std::pair{platform::Os::windows, "x\r\ny\r\n"}, {platform::Os::linux_x11, "x\ny\n"}}) {
        FakeClipboard clip;
        auto port = clip.port();
        port.os = os;
        EXPECT_TRUE(write_clipboard(port, "x\r\ny\n"));
        EXPECT_EQ(clip.written, want);
    }
}

TEST(Clipboard, HeldByAnotherProgram) {
    FakeClipboard briefly{.busy = 3};
    EXPECT_TRUE(write_clipboard(briefly.port(), "x"));
    EXPECT_EQ(briefly.written, "x");
    EXPECT_EQ(briefly.slept, std::chrono::milliseconds(90));

    FakeClipboard long_held{.busy = 1000};
    EXPECT_FALSE(write_clipboard(long_held.port(), "x"));
    EXPECT_EQ(long_held.attempts, 10);
    EXPECT_EQ(long_held.slept, std::chrono::milliseconds(300));
    EXPECT_EQ(read_clipboard(long_held.port()), json({{"ok", false}, {"texto", ""}}));
}

TEST(Clipboard, Reading) {
    struct Case {
        ClipboardText content;
        json reply;
    } cases[] = {
        {{ClipboardText::Kind::text, "a\r\nñ"}, {{"ok", true}, {"texto", "a\r\nñ"}}},
        {{ClipboardText::Kind::none, ""}, {{"ok", true}, {"texto", ""}}}, // a picture only
        {{ClipboardText::Kind::invalid, ""}, {{"ok", false}, {"texto", ""}}},
        {{ClipboardText::Kind::failed, ""},
         {{"ok", false}, {"texto", ""}}}, // the owner never answered
        {{ClipboardText::Kind::text, "\xff\xfe"}, {{"ok", false}, {"texto", ""}}},
    };
    for (const auto& c : cases) {
        FakeClipboard clip{.content = c.content};
        EXPECT_EQ(read_clipboard(clip.port()), c.reply);
    }
}
