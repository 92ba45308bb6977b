#include "desktop/sample_convert.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace kelvora::desktop {

namespace {

double sample_at(const std::uint8_t* p, unsigned bits) {
    if (bits == 16) {
        std::int16_t v;
        std::memcpy(&v, p, sizeof v);
        return v / 32768.0;
    }
    if (bits == 32) {
        float v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    return 0.0;
}

std::int16_t to_int16(double v) {
    // NaN counts as silence; the clamps keep every other value in range.
    if (!(v == v)) return 0;
    v = std::clamp(v, -1.0, 1.0) * 32767.0;
    return static_cast<std::int16_t>(std::clamp(v, -32768.0, 32767.0));
}

void put(std::string& out, std::int16_t v) {
    const auto u = static_cast<std::uint16_t>(v);
    out.push_back(static_cast<char>(u & 0xff));
    out.push_back(static_cast<char>(u >> 8));
}

} // namespace

void append_stereo16(std::string& out, const platform::MixFormat& format,
                     const platform::AudioPacket& packet) {
    const unsigned channels = format.channels ? format.channels : 1;
    if (packet.silent || !packet.data) {
        out.append(packet.frames * 4, '\0');
        return;
    }
    const std::size_t sample_bytes = format.bits / 8;
    const std::size_t frame_bytes = sample_bytes * channels;
    for (std::size_t f = 0; f < packet.frames; ++f) {
        const std::uint8_t* frame = packet.data + f * frame_bytes;
        const double left = sample_at(frame, format.bits);
        const double right = channels > 1 ? sample_at(frame + sample_bytes, format.bits) : left;
        put(out, to_int16(left));
        put(out, to_int16(right));
    }
}

} // namespace kelvora::desktop
