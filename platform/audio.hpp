#pragma once
// The sound the PC plays, taken from its default playback device. Declared here,
// implemented per OS in platform/<os>/audio.cpp: WASAPI loopback on Windows, a record
// stream on the default sink's monitor through PulseAudio (or PipeWire's PulseAudio
// service) on Linux.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kelvora::platform {

// The device's own sample format.
struct MixFormat {
    unsigned rate = 0;
    unsigned channels = 0;
    unsigned bits = 0; // per sample: 16 means integers, 32 IEEE floats
};

// One packet as the device gave it: frames × channels samples of bits each, interleaved.
struct AudioPacket {
    const std::uint8_t* data = nullptr; // null for a packet the device marked silent
    std::size_t frames = 0;
    bool silent = false;
};

class LoopbackCapture {
public:
    virtual ~LoopbackCapture() = default;
    virtual MixFormat format() const = 0;
    // Waits about 10 ms, then hands every packet that arrived to sink, in order; false
    // when the device failed and the capture can't go on.
    virtual bool read(const std::function<void(const AudioPacket&)>& sink) = 0;
};

// Starts capturing the default playback device; null with the reason in *error (the
// OS's own text for the failing call).
std::unique_ptr<LoopbackCapture> open_loopback(std::string* error);

} // namespace kelvora::platform
