// Bit-level self-join: k + 1 bit chunks, candidates per chunk in parallel,
// then the shared verification pipeline.
#include <cstdint>
#include <vector>

#include "bit_join_plan.hpp"
#include "brimel/pool.hpp"
#include "brimel/self_join.hpp"
#include "chunk_table.hpp"
#include "self_join_pipeline.hpp"

namespace brimel {

std::vector<PairRecord> find_pairs_self_bit(ByteSpan data, std::uint64_t n, std::uint64_t d_bytes,
                                            std::uint32_t k) {
    detail::check_self_join_input(data, n, d_bytes);
    detail::check_bit_k(k, d_bytes);
    const std::vector<BitRange> plan = detail::checked_bit_plan(d_bytes, k);

    std::vector<PairRecord> result;
    pool::run([&] {
        auto per_chunk = pool::map_indexed<std::vector<CandidatePair>>(plan.size(), [&](std::size_t c) {
            const detail::BitChunkReader key_of(plan[c]);
            return detail::candidates_by_key<ChunkKey, detail::ChunkKeyHasher>(
                n, [&](std::uint32_t r) { return key_of(data.data() + r * d_bytes); });
        });
        result = detail::verify_sort_dedup(std::move(per_chunk), data, d_bytes, k,
                                           detail::VerifyKernel::early_exit);
    });
    return result;
}

}  // namespace brimel
