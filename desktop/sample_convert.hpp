#pragma once
// The device's samples as the stream carries them: interleaved signed 16-bit stereo,
// little-endian.
#include <string>

#include "platform/audio.hpp"

namespace kelvora::desktop {

// Bytes in a chunk before it is handed over: 480 stereo frames.
inline constexpr std::size_t kChunkBytes = 1920;

// Appends one packet to out. The first channel is left and the second right (the first
// again for a mono device); 16-bit samples are scaled by 2^-15, 32-bit ones are floats,
// any other size is silence; each value is clamped to -1..1, scaled by 32767 and cut
// toward zero. A silent packet adds zeros for its frames.
void append_stereo16(std::string& out, const platform::MixFormat& format,
                     const platform::AudioPacket& packet);

} // namespace kelvora::desktop
