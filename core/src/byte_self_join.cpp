// Byte-level self-joins: k + 1 byte chunks, candidates per chunk in parallel,
// then the shared verification pipeline.
#include <cstdint>
#include <vector>

#include "brimel/byte_plan.hpp"
#include "brimel/pool.hpp"
#include "brimel/self_join.hpp"
#include "self_join_pipeline.hpp"

namespace brimel {
namespace {

std::vector<PairRecord> byte_self_join(ByteSpan data, std::uint64_t n, std::uint64_t d_bytes,
                                       std::uint32_t k, detail::VerifyKernel kernel) {
    detail::check_self_join_input(data, n, d_bytes);
    // k + 1 as a 64-bit count, so k = 4294967295 does not wrap to 0.
    const std::vector<ByteRange> plan = chunk_boundaries(d_bytes, std::uint64_t{k} + 1);
    if (plan.empty()) return {};

    std::vector<PairRecord> result;
    pool::run([&] {
        auto per_chunk = pool::map_indexed<std::vector<CandidatePair>>(plan.size(), [&](std::size_t c) {
            return candidates_for_chunk(data, n, d_bytes, plan[c].first, plan[c].second);
        });
        result = detail::verify_sort_dedup(std::move(per_chunk), data, d_bytes, k, kernel);
    });
    return result;
}

}  // namespace

std::vector<PairRecord> find_pairs_self_no_dedup_par_prefetch(ByteSpan data, std::uint64_t n,
                                                              std::uint64_t d_bytes,
                                                              std::uint32_t k) {
    return byte_self_join(data, n, d_bytes, k, detail::VerifyKernel::early_exit);
}

std::vector<PairRecord> find_pairs_self_no_dedup_par_prefetch_full(ByteSpan data, std::uint64_t n,
                                                                   std::uint64_t d_bytes,
                                                                   std::uint32_t k) {
    return byte_self_join(data, n, d_bytes, k, detail::VerifyKernel::full_count);
}

}  // namespace brimel
