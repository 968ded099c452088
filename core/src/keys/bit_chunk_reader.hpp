// Reads one bit range of a row as a key, with the layout of the range worked
// out once.
#pragma once

#include <cstdint>

#include "brimel/bit_plan.hpp"

namespace brimel::detail {

// Reads one bit chunk [lo, hi) of a row, at most 64 bits wide and inside the
// row, as a key: byte-bounded pieces of the chunk, each keeping its in-byte
// order (first bit most significant), stacked from the low end of the key. A
// byte-aligned chunk is thus its bytes read little-endian; otherwise the key
// is the low bits of the first byte, then the whole bytes in between, then
// the high bits of the last byte. The layout is worked out once, so each row
// costs a few loads and shifts. A wider chunk panics with
// "BitChunkReader: chunk wider than 64 bits".
class BitChunkReader {
public:
    explicit BitChunkReader(BitRange chunk);

    std::uint64_t operator()(const std::uint8_t* row) const;

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
