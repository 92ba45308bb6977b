#pragma once
// Raw Deflate, as zip entries hold it, inflated a piece at a time with the CRC-32 of what
// came out: Intel's ISA-L where the build has it (about twice zlib's speed, which an
// update's unpacking trails the download by), zlib elsewhere.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace kelvora::update {

class Inflater {
public:
    Inflater();
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    struct Step {
        std::size_t used = 0; // bytes of input taken
        std::size_t made = 0; // bytes written to out
        bool ended = false;   // the Deflate stream is over and all of it is out
        bool broken = false;  // not Deflate (or no memory for the inflater)
    };
    // Takes what it can of in and writes at most room bytes to out.
    Step run(std::string_view in, char* out, std::size_t room);
    // The CRC-32 of every byte made, once the stream ended.
    std::uint32_t crc() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The zip CRC-32 of data, continuing from crc (0 to begin).
std::uint32_t crc32_update(std::uint32_t crc, std::string_view data);

} // namespace kelvora::update
