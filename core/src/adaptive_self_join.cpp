// Adaptive self-join: k + 1 position lists built from the bits that vary in a
// row sample, candidates per list in parallel, then the shared verification
// pipeline. Falls back to the bit-level self-join when the sample cannot fill
// k + 1 lists.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "brimel/bit_plan.hpp"
#include "brimel/entropy.hpp"
#include "brimel/pool.hpp"
#include "brimel/self_join.hpp"
#include "chunk_table.hpp"
#include "position_key_reader.hpp"
#include "self_join_pipeline.hpp"

namespace brimel {
namespace {

// Rows read for the entropy estimate, at most.
constexpr std::uint64_t kEntropySampleRows = 10000;

// Candidates of one position list: keys of at most 64 bits go to a table of
// 64-bit keys (half the slot size), hashed as the equal 128-bit key.
std::vector<CandidatePair> candidates_for_list(ByteSpan data, std::uint64_t n, std::uint64_t d_bytes,
                                               const std::vector<std::uint64_t>& positions) {
    const auto rows_keyed_by = [&](const auto& key_of) {
        return [&](std::uint32_t r) { return key_of(data.data() + r * d_bytes); };
    };
    if (positions.size() <= 64) {
        const detail::PositionKeyReader<std::uint64_t> key_of(positions);
        return detail::candidates_by_key<std::uint64_t, detail::NarrowChunkKeyHasher>(n,
                                                                                      rows_keyed_by(key_of));
    }
    const detail::PositionKeyReader<ChunkKey> key_of(positions);
    return detail::candidates_by_key<ChunkKey, detail::ChunkKeyHasher>(n, rows_keyed_by(key_of));
}

}  // namespace

std::vector<PairRecord> find_pairs_self_adaptive(ByteSpan data, std::uint64_t n, std::uint64_t d_bytes,
                                                 std::uint32_t k) {
    detail::check_self_join_input(data, n, d_bytes);
    if (k == 0) return find_pairs_self_bit(data, n, d_bytes, 0);

    // Fewer than two rows leave every bit constant over the sample: fall back
    // without counting bits (8 * d_bytes counters, whatever d_bytes is).
    if (n < 2) return find_pairs_self_bit(data, n, d_bytes, k);

    const std::uint64_t num_lists = std::uint64_t{k} + 1;
    const std::vector<double> entropies =
        estimate_bit_entropies(data, n, d_bytes, std::min(std::max<std::uint64_t>(n, 1), kEntropySampleRows));
    // The plan deals the highest-entropy positions one per list first, so some
    // list stays empty exactly when fewer than k + 1 positions vary. Testing the
    // count first keeps a huge k from building billions of empty lists.
    const auto varying = static_cast<std::uint64_t>(
        std::count_if(entropies.begin(), entropies.end(), [](double e) { return e > 0.0; }));
    if (varying < num_lists) return find_pairs_self_bit(data, n, d_bytes, k);
    const PositionLists plan = plan_adaptive_chunks(entropies, num_lists, kMaxChunkBits);
    if (std::any_of(plan.begin(), plan.end(), [](const auto& list) { return list.empty(); }))
        return find_pairs_self_bit(data, n, d_bytes, k);

    std::vector<PairRecord> result;
    pool::run([&] {
        auto per_list = pool::map_indexed<std::vector<CandidatePair>>(
            plan.size(), [&](std::size_t c) { return candidates_for_list(data, n, d_bytes, plan[c]); });
        result = detail::verify_sort_dedup(std::move(per_list), data, d_bytes, k,
                                           detail::VerifyKernel::early_exit);
    });
    return result;
}

}  // namespace brimel
