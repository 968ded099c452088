#include "brimel/bit_plan.hpp"

#include <algorithm>

#include "brimel/byte_plan.hpp"

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

bool bit_plan_fits_chunk_keys(std::uint64_t d_bytes, std::uint32_t k) {
    const std::uint64_t total_bits = 8 * d_bytes;
    if (k == 0 && total_bits > kMaxChunkBits) return true;
    return chunks_at_most(total_bits, std::uint64_t{k} + 1, kMaxChunkBits);
}

std::uint64_t bit_plan_chunks_at_least(std::uint64_t d_bytes, std::uint32_t k) {
    const std::uint64_t total_bits = 8 * d_bytes;
    if (k == 0 && total_bits > kMaxChunkBits) return 1;
    return chunk_count_at_least(total_bits, std::uint64_t{k} + 1);
}

}  // namespace brimel
