#include "brimel/bit_plan.hpp"

#include <algorithm>
#include <string>

#include "brimel/byte_plan.hpp"
#include "brimel/errors.hpp"

namespace brimel {

// The even split of bits is the even split of bytes applied to bit counts.
std::vector<BitRange> chunk_bit_boundaries(std::uint64_t total_bits, std::uint64_t num_chunks) {
    return chunk_boundaries(total_bits, num_chunks);
}

std::vector<BitRange> plan_bit_chunks(std::uint64_t d_bytes, std::uint32_t k) {
    const std::uint64_t total_bits = 8 * d_bytes;
    if (k == 0 && total_bits > kMaxChunkBits) return {{0, kMaxChunkBits}};
    return chunk_bit_boundaries(total_bits, std::uint64_t{k} + 1);
}

bool plan_fits_chunk_keys(std::span<const BitRange> plan) {
    return std::all_of(plan.begin(), plan.end(),
                       [](const BitRange& chunk) { return chunk_fits_key(chunk.second - chunk.first); });
}

ChunkKey extract_bits(const std::uint8_t* row, std::uint64_t lo_bit, std::uint64_t hi_bit) {
    if (hi_bit < lo_bit) panic("extract_bits: hi_bit < lo_bit");
    if (hi_bit - lo_bit > kMaxChunkBits)
        panic("extract_bits: width " + std::to_string(hi_bit - lo_bit) + " > 128");
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
    if (positions.size() > kMaxChunkBits) panic("extract_bits_at: too many positions");
    ChunkKey result = 0;
    for (std::size_t t = 0; t < positions.size(); ++t) {
        const std::uint64_t p = positions[t];
        result |= static_cast<ChunkKey>((row[p / 8] >> (7 - p % 8)) & 1u) << t;
    }
    return result;
}

}  // namespace brimel
