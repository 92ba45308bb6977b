#include <zlib.h>

#include <algorithm>

#include "update/inflate.hpp"

namespace kelvora::update {

struct Inflater::State {
    z_stream z{};
    bool open = false;
    bool ended = false;
    std::uint32_t crc = 0;
    ~State() {
        if (open) inflateEnd(&z);
    }
};

Inflater::Inflater() : state_(std::make_unique<State>()) {
    state_->open = inflateInit2(&state_->z, -MAX_WBITS) == Z_OK;
}

Inflater::~Inflater() = default;

Inflater::Step Inflater::run(std::string_view in, char* out, std::size_t room) {
    State& st = *state_;
    Step step;
    if (!st.open) return step.broken = true, step;
    if (st.ended) return step.ended = true, step;
    const auto in_len = static_cast<uInt>(std::min<std::size_t>(in.size(), 1u << 30));
    const auto out_len = static_cast<uInt>(std::min<std::size_t>(room, 1u << 30));
    st.z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    st.z.avail_in = in_len;
    st.z.next_out = reinterpret_cast<Bytef*>(out);
    st.z.avail_out = out_len;
    const int r = ::inflate(&st.z, Z_NO_FLUSH);
    step.used = in_len - st.z.avail_in;
    step.made = out_len - st.z.avail_out;
    st.crc = static_cast<std::uint32_t>(
        crc32(st.crc, reinterpret_cast<const Bytef*>(out), static_cast<uInt>(step.made)));
    // Z_BUF_ERROR only says that nothing could be done with what was given.
    step.broken = r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR;
    st.ended = step.ended = r == Z_STREAM_END;
    return step;
}

std::uint32_t Inflater::crc() const {
    return state_->crc;
}

std::uint32_t crc32_update(std::uint32_t crc, std::string_view data) {
    // zlib's lengths are 32-bit.
    while (!data.empty()) {
        const auto n = static_cast<uInt>(std::min<std::size_t>(data.size(), 1u << 30));
        crc = static_cast<std::uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(data.data()), n));
        data.remove_prefix(n);
    }
    return crc;
}

} // namespace kelvora::update
