#include "cross_join_pipeline.hpp"

#include <algorithm>
#include <span>

#include "brimel/errors.hpp"
#include "brimel/verify.hpp"
#include "candidate_sort.hpp"
#include "dispatch.hpp"

namespace brimel::detail {
namespace {

// Inline verification, no prefetch: the candidates are sorted, so consecutive
// pairs mostly share row i of A and walk B forward.
template <bool EarlyExit>
[[gnu::always_inline]] inline std::vector<PairRecord> verify_cross(std::span<const CandidatePair> candidates,
                                                                   ByteSpan a_data, ByteSpan b_data,
                                                                   std::uint64_t d_bytes, std::uint32_t k) {
    std::vector<PairRecord> records;
    for (const auto [i, j] : candidates) {
        const std::uint8_t* a = a_data.data() + i * d_bytes;
        const std::uint8_t* b = b_data.data() + j * d_bytes;
        std::uint32_t dist;
        if constexpr (EarlyExit) {
            if (!hamming_within(a, b, d_bytes, k, dist)) continue;
        } else {
            dist = hamming_distance(a, b, d_bytes);
            if (dist > k) continue;
        }
        records.push_back({i, j, dist});
    }
    return records;
}

BRIMEL_POPCNT_CLONES
std::vector<PairRecord> verify_cross_early_exit(std::span<const CandidatePair> candidates, ByteSpan a_data,
                                                ByteSpan b_data, std::uint64_t d_bytes, std::uint32_t k) {
    return verify_cross<true>(candidates, a_data, b_data, d_bytes, k);
}

BRIMEL_POPCNT_CLONES
std::vector<PairRecord> verify_cross_full(std::span<const CandidatePair> candidates, ByteSpan a_data,
                                          ByteSpan b_data, std::uint64_t d_bytes, std::uint32_t k) {
    return verify_cross<false>(candidates, a_data, b_data, d_bytes, k);
}

}  // namespace

void check_cross_join_lengths(ByteSpan a_data, std::uint64_t n_a, ByteSpan b_data, std::uint64_t n_b,
                              std::uint64_t d_bytes) {
    assert_equal(a_data.size(), n_a * d_bytes, "a_data length mismatch");
    assert_equal(b_data.size(), n_b * d_bytes, "b_data length mismatch");
}

void check_cross_join_rows(std::uint64_t n_a, std::uint64_t n_b) {
    if (n_a > kMaxRows) panic("n_a exceeds u32::MAX");
    if (n_b > kMaxRows) panic("n_b exceeds u32::MAX");
}

std::vector<PairRecord> sort_dedup_verify_cross(std::vector<CandidatePair> candidates, ByteSpan a_data,
                                                ByteSpan b_data, std::uint64_t d_bytes, std::uint32_t k,
                                                VerifyKernel kernel) {
    if (candidates.empty()) return {};
    sort_candidates(candidates);
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    return kernel == VerifyKernel::early_exit
               ? verify_cross_early_exit(candidates, a_data, b_data, d_bytes, k)
               : verify_cross_full(candidates, a_data, b_data, d_bytes, k);
}

}  // namespace brimel::detail
