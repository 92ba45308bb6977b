#include "desktop/pc_audio.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <variant>

#include "desktop/sample_convert.hpp"
#include "http/fields.hpp"
#include "http/handler.hpp"

namespace kelvora::desktop {

namespace {

// What the capture thread and the response share: the start-up message, the chunk queue
// and the stop flag. It counts as one live stream until both sides let go of it.
class Channel {
public:
    explicit Channel(std::shared_ptr<std::atomic<std::size_t>> live) : live_(std::move(live)) {}
    ~Channel() { --*live_; }

    // The start-up message: the rate, or the reason the capture could not start.
    void started(unsigned rate) { announce(rate); }
    void failed(std::string reason) { announce(std::move(reason)); }
    std::optional<std::variant<unsigned, std::string>>
    wait_start(std::chrono::steady_clock::time_point until) {
        std::unique_lock lock(mutex_);
        changed_.wait_until(lock, until, [this] { return start_.has_value(); });
        return start_;
    }

    // Hands a chunk over without waiting; false once nobody takes them any more.
    bool hand_over(std::string chunk) {
        {
            std::lock_guard lock(mutex_);
            if (stop_) return false;
            if (chunks_.size() >= kMaxQueuedChunks) return true;
            chunks_.push_back(std::move(chunk));
        }
        changed_.notify_all();
        return true;
    }
    // The next chunk, waiting for it; nothing once the capture ended and all was taken.
    std::optional<std::string> take() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !chunks_.empty() || ended_; });
        if (chunks_.empty()) return std::nullopt;
        std::string c = std::move(chunks_.front());
        chunks_.pop_front();
        return c;
    }
    void end() {
        {
            std::lock_guard lock(mutex_);
            ended_ = true;
        }
        changed_.notify_all();
    }
    void stop() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
            chunks_.clear();
        }
        changed_.notify_all();
    }
    bool stopped() {
        std::lock_guard lock(mutex_);
        return stop_;
    }

private:
    void announce(std::variant<unsigned, std::string> v) {
        {
            std::lock_guard lock(mutex_);
            start_ = std::move(v);
        }
        changed_.notify_all();
    }

    std::shared_ptr<std::atomic<std::size_t>> live_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<std::variant<unsigned, std::string>> start_; // guarded by mutex_, as below
    std::deque<std::string> chunks_;
    bool ended_ = false; // the capture ended
    bool stop_ = false;  // the response ended
};

// The response's end of the channel; letting go of it stops the capture.
class ChunkSource : public http::BodySource {
public:
    explicit ChunkSource(std::shared_ptr<Channel> ch) : ch_(std::move(ch)) {}
    ~ChunkSource() override { ch_->stop(); }
    std::optional<std::string> next() override { return ch_->take(); }

private:
    std::shared_ptr<Channel> ch_;
};

void capture(const Log& log, const LoopbackOpener& open, const std::shared_ptr<Channel>& ch) {
    std::string error;
    auto device = open(&error);
    if (!device) {
        if (error.empty()) error = "no se pudo abrir el dispositivo de sonido";
        log.write("[AUDIO] no se pudo capturar el audio de la PC: " + error);
        ch->failed(error);
        return;
    }
    auto format = device->format();
    if (format.channels == 0) format.channels = 1;
    log.write("[AUDIO] capturando el audio de la PC: " + std::to_string(format.rate) + " Hz, " +
              std::to_string(format.channels) + " canales, " + std::to_string(format.bits) +
              " bits");
    ch->started(format.rate);
    std::string out;
    out.reserve(16 * 1024);
    bool listening = true;
    auto handed = std::chrono::steady_clock::now();
    const auto hand_over = [&] {
        listening = ch->hand_over(std::move(out));
        out.clear();
        out.reserve(16 * 1024);
        handed = std::chrono::steady_clock::now();
    };
    while (listening && !ch->stopped()) {
        const bool ok = device->read([&](const platform::AudioPacket& p) {
            append_stereo16(out, format, p);
            if (out.size() >= kChunkBytes && listening) hand_over();
        });
        if (!ok) break;
        if (listening && std::chrono::steady_clock::now() - handed >= kSilenceWrite) {
            out.resize(std::max(out.size(), kChunkBytes), '\0');
            hand_over();
        }
    }
    device.reset();
    log.write("[AUDIO] terminó la captura del audio de la PC");
    ch->end();
}

} // namespace

PcAudio::PcAudio(const Log& log, LoopbackOpener open) : log_(log), open_(std::move(open)) {}

http::Response PcAudio::stream() {
    const auto until = std::chrono::steady_clock::now() + kAudioStartWait;
    if (++*live_ > kMaxAudioStreams) {
        --*live_;
        return http::json_reply(http::refusal("hay demasiadas transmisiones de audio abiertas"));
    }
    auto ch = std::make_shared<Channel>(live_);
    try {
        std::thread([&log = log_, open = open_, ch] { capture(log, open, ch); }).detach();
    } catch (const std::system_error&) {
        return http::json_reply(http::refusal("no se pudo iniciar la captura del audio"));
    }
    const auto start = ch->wait_start(until);
    if (!start) {
        ch->stop();
        return http::json_reply(http::refusal("el audio no respondió"));
    }
    if (auto* reason = std::get_if<std::string>(&*start)) {
        ch->stop();
        return http::json_reply(http::refusal(*reason));
    }
    http::Response r(200, "application/octet-stream", "");
    r.headers.emplace_back("X-Hz", std::to_string(std::get<unsigned>(*start)));
    r.stream = std::make_shared<ChunkSource>(ch);
    return r;
}

LoopbackOpener system_loopback() {
    return platform::open_loopback;
}

} // namespace kelvora::desktop
