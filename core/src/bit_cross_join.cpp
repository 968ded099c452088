// Bit-level cross-join: k + 1 bit chunks processed one after another on the
// calling thread, each grouping A's rows and streaming B's against them.
#include <cstdint>
#include <vector>

#include "bit_join_plan.hpp"
#include "brimel/cross_join.hpp"
#include "chunk_table.hpp"
#include "cross_join_pipeline.hpp"

namespace brimel {

std::vector<PairRecord> find_pairs_cross_bit(ByteSpan a_data, std::uint64_t n_a, ByteSpan b_data,
                                             std::uint64_t n_b, std::uint64_t d_bytes, std::uint32_t k) {
    detail::check_cross_join_lengths(a_data, n_a, b_data, n_b, d_bytes);
    detail::check_bit_k(k, d_bytes);
    detail::check_cross_join_rows(n_a, n_b);
    const std::vector<BitRange> plan = detail::checked_bit_plan(d_bytes, k);

    // Every chunk's candidates, repeats included: a pair of equal rows is found
    // on all k + 1 chunks. Removed before verification.
    std::vector<CandidatePair> candidates;
    for (const BitRange& chunk : plan) {
        const detail::BitChunkReader key_of(chunk);
        detail::append_cross_candidates<ChunkKey, detail::ChunkKeyHasher>(
            candidates, n_a, [&](std::uint32_t i) { return key_of(a_data.data() + i * d_bytes); }, n_b,
            [&](std::uint32_t j) { return key_of(b_data.data() + j * d_bytes); });
    }
    return detail::sort_dedup_verify_cross(std::move(candidates), a_data, b_data, d_bytes, k,
                                           detail::VerifyKernel::early_exit);
}

}  // namespace brimel
