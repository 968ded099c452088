#include "bit_chunk_reader.hpp"

#include <bit>
#include <cstring>

#include "brimel/errors.hpp"

namespace brimel::detail {
namespace {

// `width` <= 8 bytes read as a little-endian integer, zero-filled above.
std::uint64_t little_endian(const std::uint8_t* bytes, std::uint64_t width) {
    std::uint64_t value = 0;
    std::memcpy(&value, bytes, width);
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
    return value;
}

}  // namespace

BitChunkReader::BitChunkReader(BitRange chunk)
    : layout_(Layout::empty),
      first_byte_(chunk.first / 8),
      inner_bytes_(0),
      head_bits_(0),
      tail_bits_(0),
      shift_(0) {
    const auto [lo, hi] = chunk;
    if (hi <= lo) return;
    if (hi - lo > 64) panic("BitChunkReader: chunk wider than 64 bits");
    const std::uint64_t last_byte = (hi - 1) / 8;
    const unsigned offset = lo % 8;
    if (last_byte == first_byte_) {
        layout_ = Layout::within_byte;
        head_bits_ = static_cast<unsigned>(hi - lo);
        shift_ = 8 - offset - head_bits_;
    } else if (offset == 0 && hi % 8 == 0) {
        layout_ = Layout::byte_aligned;
        inner_bytes_ = (hi - lo) / 8;
    } else {
        layout_ = Layout::spanning;
        head_bits_ = 8 - offset;
        tail_bits_ = static_cast<unsigned>(hi - 8 * last_byte);
        inner_bytes_ = last_byte - first_byte_ - 1;
    }
}

std::uint64_t BitChunkReader::operator()(const std::uint8_t* row) const {
    const std::uint8_t* bytes = row + first_byte_;
    switch (layout_) {
        case Layout::empty:
            return 0;
        case Layout::within_byte:
            return (bytes[0] >> shift_) & ((1u << head_bits_) - 1u);
        case Layout::byte_aligned:
            return little_endian(bytes, inner_bytes_);
        case Layout::spanning:
            break;
    }
    // head_bits_ + 8 * inner_bytes_ + tail_bits_ <= 64 with tail_bits_ >= 1,
    // so every shift is below 64 and nothing is shifted out.
    const std::uint64_t head = bytes[0] & ((1u << head_bits_) - 1u);
    const std::uint64_t inner = little_endian(bytes + 1, inner_bytes_);
    const std::uint64_t tail = bytes[inner_bytes_ + 1] >> (8 - tail_bits_);
    return head | (inner << head_bits_) | (tail << (head_bits_ + 8 * inner_bytes_));
}

}  // namespace brimel::detail
