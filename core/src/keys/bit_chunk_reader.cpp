#include "bit_chunk_reader.hpp"

#include "brimel/byte_plan.hpp"

namespace brimel::detail {

BitChunkReader::BitChunkReader(BitRange chunk)
    : layout_(Layout::empty),
      first_byte_(chunk.first / 8),
      inner_bytes_(0),
      head_bits_(0),
      tail_bits_(0),
      shift_(0) {
    const auto [lo, hi] = chunk;
    if (hi <= lo) return;
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

ChunkKey BitChunkReader::operator()(const std::uint8_t* row) const {
    const std::uint8_t* bytes = row + first_byte_;
    switch (layout_) {
        case Layout::empty:
            return 0;
        case Layout::within_byte:
            return (bytes[0] >> shift_) & ((1u << head_bits_) - 1u);
        case Layout::byte_aligned:
            return byte_chunk_key(bytes, inner_bytes_);
        case Layout::spanning:
            break;
    }
    // head_bits_ + 8 * inner_bytes_ + tail_bits_ <= 128, so nothing is shifted out.
    const ChunkKey head = bytes[0] & ((1u << head_bits_) - 1u);
    const ChunkKey inner = inner_bytes_ == 0 ? 0 : byte_chunk_key(bytes + 1, inner_bytes_);
    const ChunkKey tail = bytes[inner_bytes_ + 1] >> (8 - tail_bits_);
    return head | (inner << head_bits_) | (tail << (head_bits_ + 8 * inner_bytes_));
}

}  // namespace brimel::detail
