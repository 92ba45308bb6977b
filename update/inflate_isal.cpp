#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <algorithm>

#include "update/inflate.hpp"

namespace kelvora::update {

struct Inflater::State {
    inflate_state s;
};

Inflater::Inflater() : state_(std::make_unique<State>()) {
    isal_inflate_init(&state_->s);
    // Raw Deflate with the gzip CRC-32 of the output, which is the zip one: no second pass.
    state_->s.crc_flag = ISAL_GZIP_NO_HDR;
}

Inflater::~Inflater() = default;

Inflater::Step Inflater::run(std::string_view in, char* out, std::size_t room) {
    inflate_state& s = state_->s;
    Step step;
    if (s.block_state == ISAL_BLOCK_FINISH) return step.ended = true, step;
    // The lengths are 32-bit: a longer piece is taken in several calls.
    const auto in_len = static_cast<std::uint32_t>(std::min<std::size_t>(in.size(), 1u << 30));
    const auto out_len = static_cast<std::uint32_t>(std::min<std::size_t>(room, 1u << 30));
    s.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(in.data()));
    s.avail_in = in_len;
    s.next_out = reinterpret_cast<std::uint8_t*>(out);
    s.avail_out = out_len;
    const int r = isal_inflate(&s);
    step.used = in_len - s.avail_in;
    step.made = out_len - s.avail_out;
    step.broken = r < 0 || r == ISAL_NEED_DICT;
    step.ended = !step.broken && s.block_state == ISAL_BLOCK_FINISH;
    return step;
}

std::uint32_t Inflater::crc() const {
    return state_->s.crc;
}

std::uint32_t crc32_update(std::uint32_t crc, std::string_view data) {
    return crc32_gzip_refl(crc, reinterpret_cast<const unsigned char*>(data.data()), data.size());
}

} // namespace kelvora::update
