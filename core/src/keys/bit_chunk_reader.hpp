// Reads one bit range of a row as a key, with the layout of the range worked
// out once (the bit joins' keys are those of extract_bits).
#pragma once

#include <cstdint>

#include "brimel/bit_plan.hpp"
#include "brimel/types.hpp"

namespace brimel::detail {

// Reads one bit chunk of a row: reader(row) == extract_bits(row, lo, hi) for
// the chunk [lo, hi) it was made for (at most 128 bits wide, inside the row).
// The chunk's layout is worked out once, so each row costs a few loads and
// shifts: a byte-aligned chunk is its bytes read little-endian; otherwise the
// key is the low bits of the first byte, then the whole bytes in between, then
// the high bits of the last byte, stacked from the low end.
class BitChunkReader {
public:
    explicit BitChunkReader(BitRange chunk);

    ChunkKey operator()(const std::uint8_t* row) const;

private:
    enum class Layout { empty, within_byte, byte_aligned, spanning };
    Layout layout_;
    std::uint64_t first_byte_;   // row byte holding bit lo
    std::uint64_t inner_bytes_;  // whole bytes read little-endian (all of them when byte-aligned)
    unsigned head_bits_;         // bits taken from the first byte (its low bits)
    unsigned tail_bits_;         // bits taken from the last byte (its high bits)
    unsigned shift_;             // within_byte: right shift of the first byte
};

}  // namespace brimel::detail
