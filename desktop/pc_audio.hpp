#pragma once
// /api/audio: the PC's sound as an endless stream of 16-bit stereo samples. Every request
// has a capture thread of its own; the capture ends when its response does.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "base/log.hpp"
#include "http/request.hpp"
#include "platform/audio.hpp"

namespace kelvora::desktop {

// Chunks waiting for a slow reader; newer ones are dropped while this many wait.
inline constexpr std::size_t kMaxQueuedChunks = 100;
// How long a request waits for its capture to start.
inline constexpr auto kAudioStartWait = std::chrono::seconds(5);
// A device that hands over nothing while the PC is silent (a Windows loopback does so) gets
// a chunk of silence written this often: only a write tells the response that its reader
// has gone, and a stream nobody reads would otherwise hold one of the few slots for good.
inline constexpr auto kSilenceWrite = std::chrono::milliseconds(250);
// Streams at once; each holds a thread and a device client for as long as its reader stays.
inline constexpr std::size_t kMaxAudioStreams = 8;

using LoopbackOpener =
    std::function<std::unique_ptr<platform::LoopbackCapture>(std::string* error)>;
// The OS's own capture of its default playback device.
LoopbackOpener system_loopback();

class PcAudio {
public:
    PcAudio(const Log& log, LoopbackOpener open);
    // The response to one /api/audio request: the stream, or a JSON refusal.
    http::Response stream();

private:
    const Log& log_;
    LoopbackOpener open_;
    std::shared_ptr<std::atomic<std::size_t>> live_ = std::make_shared<std::atomic<std::size_t>>(0);
};

} // namespace kelvora::desktop
