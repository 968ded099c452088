#include "chunk_keys.hpp"

#include <algorithm>

namespace brimel::reference {

ChunkKey extract_bits(const std::uint8_t* row, std::uint64_t lo_bit, std::uint64_t hi_bit) {
    ChunkKey result = 0;
    unsigned placed = 0;
    for (std::uint64_t pos = lo_bit; pos < hi_bit;) {
        const unsigned offset = pos % 8;
        const unsigned take = static_cast<unsigned>(std::min<std::uint64_t>(hi_bit - pos, 8 - offset));
        const unsigned piece = (row[pos / 8] >> (8 - offset - take)) & ((1u << take) - 1u);
        result |= static_cast<ChunkKey>(piece) << placed;
        placed += take;
        pos += take;
    }
    return result;
}

ChunkKey extract_bits_at(const std::uint8_t* row, std::span<const std::uint64_t> positions) {
    ChunkKey result = 0;
    for (std::size_t t = 0; t < positions.size(); ++t) {
        const std::uint64_t p = positions[t];
        result |= static_cast<ChunkKey>((row[p / 8] >> (7 - p % 8)) & 1u) << t;
    }
    return result;
}

}  // namespace brimel::reference
