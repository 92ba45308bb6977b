// The PC's sound on Linux: a PulseAudio record stream on the monitor source of the default
// sink, at the sink's own rate, as signed 16-bit stereo. PipeWire serves the same protocol.
// A mainloop of our own is driven from the capture thread, so nothing else runs behind it.
#include "platform/audio.hpp"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <optional>
#include <thread>

#include "platform/report.hpp"

namespace kelvora::platform {

namespace {

using Clock = std::chrono::steady_clock;
// Connecting and asking the server must fit well inside the 5 s the caller waits.
constexpr auto kSetupTime = std::chrono::seconds(4);

struct SinkFacts {
    bool done = false;
    bool found = false;
    std::string name;
    std::string monitor;
    unsigned rate = 0;
};

class PulseLoopback : public LoopbackCapture {
public:
    ~PulseLoopback() override {
        if (stream_) {
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
        }
        if (context_) {
            pa_context_disconnect(context_);
            pa_context_unref(context_);
        }
        if (loop_) pa_mainloop_free(loop_);
    }

    bool open(std::string* error) {
        loop_ = pa_mainloop_new();
        if (!loop_) return fail(error, "no se pudo preparar PulseAudio");
        context_ = pa_context_new(pa_mainloop_get_api(loop_), "Kelvora");
        if (!context_) return fail(error, "no se pudo preparar PulseAudio");
        // Starting a sound server of our own would capture nothing the PC plays.
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return fail_context(error, "no se pudo conectar con el servidor de sonido");
        const auto until = Clock::now() + kSetupTime;
        if (!run_until(until, [this] { return context_settled(); }) ||
            pa_context_get_state(context_) != PA_CONTEXT_READY)
            return fail_context(error, "no se pudo conectar con el servidor de sonido");

        SinkFacts sink;
        pa_operation_unref(pa_context_get_server_info(context_, on_server, &sink));
        if (!run_until(until, [&] { return sink.done; }))
            return fail(error, "el servidor de sonido no respondió");
        if (sink.name.empty()) return fail(error, "no hay un dispositivo de salida de sonido");
        sink.done = false;
        pa_operation_unref(
            pa_context_get_sink_info_by_name(context_, sink.name.c_str(), on_sink, &sink));
        if (!run_until(until, [&] { return sink.done; }))
            return fail(error, "el servidor de sonido no respondió");
        if (!sink.found || sink.monitor.empty() || sink.rate == 0)
            return fail(error, "no se encontró la salida de sonido " + sink.name);

        format_ = {sink.rate, 2, 16};
        const pa_sample_spec spec{PA_SAMPLE_S16LE, sink.rate, 2};
        stream_ = pa_stream_new(context_, "Sonido de la PC", &spec, nullptr);
        if (!stream_) return fail_context(error, "no se pudo abrir la captura de sonido");
        // Fragments of 10 ms: the server hands the samples over as soon as that much is in.
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.fragsize = sink.rate / 100 * 4;
        attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
        if (pa_stream_connect_record(stream_, sink.monitor.c_str(), &attr,
                                     PA_STREAM_ADJUST_LATENCY) < 0)
            return fail_context(error, "no se pudo abrir la captura de sonido");
        if (!run_until(until,
                       [this] {
                           const auto s = pa_stream_get_state(stream_);
                           return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
                       }) ||
            pa_stream_get_state(stream_) != PA_STREAM_READY)
            return fail_context(error, "no se pudo abrir la captura de sonido");
        return true;
    }

    MixFormat format() const override { return format_; }

    bool read(const std::function<void(const AudioPacket&)>& sink) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        while (pa_mainloop_iterate(loop_, 0, nullptr) > 0) {
        }
        if (pa_context_get_state(context_) != PA_CONTEXT_READY ||
            pa_stream_get_state(stream_) != PA_STREAM_READY) {
            report("[AUDIO] PulseAudio cortó la captura: " +
                   std::string(pa_strerror(pa_context_errno(context_))));
            return false;
        }
        while (pa_stream_readable_size(stream_) > 0) {
            const void* data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(stream_, &data, &bytes) < 0) return false;
            if (bytes == 0) break;
            // A hole in the recording (data null) stands for silence of that length.
            AudioPacket p;
            p.data = static_cast<const std::uint8_t*>(data);
            p.frames = bytes / 4;
            p.silent = data == nullptr;
            sink(p);
            pa_stream_drop(stream_);
        }
        return true;
    }

private:
    template <class Done> bool run_until(Clock::time_point until, Done done) {
        while (!done()) {
            if (Clock::now() > until) return false;
            if (pa_mainloop_prepare(loop_, 50'000) < 0 || pa_mainloop_poll(loop_) < 0 ||
                pa_mainloop_dispatch(loop_) < 0)
                return false;
        }
        return true;
    }

    bool context_settled() const {
        const auto s = pa_context_get_state(context_);
        return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
    }

    static void on_server(pa_context*, const pa_server_info* info, void* param) {
        auto* sink = static_cast<SinkFacts*>(param);
        if (info && info->default_sink_name) sink->name = info->default_sink_name;
        sink->done = true;
    }

    static void on_sink(pa_context*, const pa_sink_info* info, int eol, void* param) {
        auto* sink = static_cast<SinkFacts*>(param);
        if (eol) {
            sink->done = true;
            return;
        }
        if (!info) return;
        sink->found = true;
        sink->rate = info->sample_spec.rate;
        if (info->monitor_source_name) sink->monitor = info->monitor_source_name;
    }

    bool fail(std::string* error, const std::string& text) {
        report("[AUDIO] " + text);
        if (error) *error = text;
        return false;
    }

    bool fail_context(std::string* error, const std::string& text) {
        return fail(error, text + ": " + pa_strerror(pa_context_errno(context_)));
    }

    pa_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    MixFormat format_;
};

} // namespace

std::unique_ptr<LoopbackCapture> open_loopback(std::string* error) {
    auto c = std::make_unique<PulseLoopback>();
    if (!c->open(error)) return nullptr;
    return c;
}

} // namespace kelvora::platform
