#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "base/json_file.hpp"
#include "desktop/capture_window.hpp"
#include "desktop/pc_audio.hpp"
#include "desktop/sample_convert.hpp"
#include "../temp_dir.hpp"

using namespace kelvora;
using namespace kelvora::desktop;
using platform::AudioPacket;
using platform::MixFormat;

namespace {

template <class T> std::vector<std::uint8_t> bytes_of(std::initializer_list<T> values) {
    std::vector<std::uint8_t> out(values.size() * sizeof(T));
    std::memcpy(out.data(), values.begin(), out.size());
    return out;
}

std::vector<std::int16_t> samples_of(const std::string& s) {
    std::vector<std::int16_t> out(s.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<std::int16_t>(static_cast<std::uint8_t>(s[2 * i]) |
                                           static_cast<std::uint8_t>(s[2 * i + 1]) << 8);
    return out;
}

} // namespace

TEST(SampleConvert, EachFormatBecomesSixteenBitStereo) {
    struct Case {
        const char* what;
        MixFormat format;
        std::vector<std::uint8_t> data;
        std::size_t frames;
        std::vector<std::int16_t> want;
    };
    const Case cases[] = {
        {"float stereo clamps and cuts toward zero",
         {48000, 2, 32},
         bytes_of<float>({1.5f, -1.5f, 0.5f, -0.5f}),
         2,
         {32767, -32767, 16383, -16383}},
        {"float mono is copied to both sides",
         {48000, 1, 32},
         bytes_of<float>({0.25f, -1.0f}),
         2,
         {8191, 8191, -32767, -32767}},
        {"zero channels count as one", {48000, 0, 32}, bytes_of<float>({0.5f}), 1, {16383, 16383}},
        {"16-bit is scaled by 2^-15 and back by 32767",
         {44100, 2, 16},
         bytes_of<std::int16_t>({-32768, 32767, 1000, 0}),
         2,
         {-32767, 32766, 999, 0}},
        {"the first two of many channels",
         {48000, 6, 16},
         bytes_of<std::int16_t>({16384, -16384, 7, 7, 7, 7}),
         1,
         {16383, -16383}},
        {"24-bit streams silence at the right length",
         {48000, 2, 24},
         std::vector<std::uint8_t>(2 * 2 * 3, 0x7f),
         2,
         {0, 0, 0, 0}},
        {"a float NaN is silence", {48000, 1, 32}, bytes_of<float>({std::nanf("")}), 1, {0, 0}},
    };
    for (const auto& c : cases) {
        std::string out;
        append_stereo16(out, c.format, {c.data.data(), c.frames, false});
        EXPECT_EQ(samples_of(out), c.want) << c.what;
    }
}

TEST(SampleConvert, SilentPacketWaitsForTheNextBeforeAChunkIsFull) {
    const MixFormat f{44100, 2, 32};
    std::string out;
    append_stereo16(out, f, {nullptr, 441, true});
    EXPECT_EQ(out.size(), 1764u);
    EXPECT_LT(out.size(), kChunkBytes);
    EXPECT_EQ(out.find_first_not_of('\0'), std::string::npos);
    const auto loud = bytes_of<float>({1.0f, 1.0f});
    append_stereo16(out, f, {loud.data(), 1, false});
    EXPECT_EQ(out.size(), 1768u);
}

TEST(CaptureWindow, ScreenNumberAndSourceName) {
    const std::pair<const char*, unsigned> numbers[] = {
        {"{}", 1},
        {R"({"pantalla":0})", 1},
        {R"({"pantalla":"2"})", 1},
        {R"({"pantalla":-1})", 1},
        {R"({"pantalla":2.0})", 1},
        {R"({"pantalla":3})", 3},
        {R"({"pantalla":40})", 16},
        {R"({"pantalla":18446744073709551615})", 16},
    };
    for (const auto& [body, want] : numbers)
        EXPECT_EQ(screen_number(json::parse(body)), want) << body;
    EXPECT_EQ(capture_source_name(3, 2), "Screen 3");
    EXPECT_EQ(capture_source_name(3, 1), "Entire screen");
    EXPECT_EQ(capture_source_name(1, 0), "Entire screen");
}

TEST(CaptureWindow, ArgumentsInTheirOrder) {
    const auto win =
        capture_window_arguments("http://p", "C:\\d", "Screen 2", platform::Os::windows);
    ASSERT_EQ(win.size(), 15u);
    EXPECT_EQ(win[0], "--app=http://p");
    EXPECT_EQ(win[1], "--user-data-dir=C:\\d");
    EXPECT_EQ(win[2], "--auto-select-desktop-capture-source=Screen 2");
    EXPECT_EQ(win[4], "--window-position=-32000,-32000");
    EXPECT_EQ(win.back(),
              "--disable-features=Translate,msEdgeSidebarV2,CalculateNativeWinOcclusion,"
              "WebRtcHideLocalIpsWithMdns");
    const auto lin =
        capture_window_arguments("http://p", "/d", "Screen 2", platform::Os::linux_x11);
    EXPECT_EQ(lin.back(), "--ozone-platform=x11");
}

namespace {

// A playback device while the PC plays nothing, as WASAPI loopback has it: no packet at
// all. It fails (and so ends its capture) once told to.
class SilentDevice : public platform::LoopbackCapture {
public:
    explicit SilentDevice(std::shared_ptr<std::atomic<bool>> broken) : broken_(std::move(broken)) {}
    MixFormat format() const override { return {48000, 2, 32}; }
    bool read(const std::function<void(const AudioPacket&)>&) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return !*broken_;
    }

private:
    std::shared_ptr<std::atomic<bool>> broken_;
};

} // namespace

// The response learns that its reader has gone only from a failed write; a silent PC must
// still give it something to write, or a stream whose page has gone stays open for good.
TEST(PcAudio, SilenceIsWrittenSoAGoneReaderIsNoticed) {
    TempDir dir;
    Log log{dir.path};
    auto broken = std::make_shared<std::atomic<bool>>(false);
    PcAudio audio(log, [broken](std::string*) { return std::make_unique<SilentDevice>(broken); });
    auto r = audio.stream();
    ASSERT_TRUE(r.stream);
    // Taken on a thread of its own: without the silence the wait would never end.
    auto piece = std::async(std::launch::async, [source = r.stream] { return source->next(); });
    const bool came = piece.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
    *broken = true;
    ASSERT_TRUE(came) << "nothing to write while the PC is silent";
    const auto chunk = piece.get();
    // The capture's thread writes to the log as it ends: the log outlives it.
    r.stream.reset();
    const auto ended = [&] {
        return read_file(dir.path / "kelvora.log")
                   .value_or("")
                   .find("[AUDIO] terminó la captura del audio de la PC") != std::string::npos;
    };
    for (int i = 0; i < 500 && !ended(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(ended()) << "the capture never ended";
    ASSERT_TRUE(chunk);
    EXPECT_EQ(chunk->size(), kChunkBytes);
    EXPECT_EQ(chunk->find_first_not_of('\0'), std::string::npos);
}
