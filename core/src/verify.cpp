#include "brimel/verify.hpp"

#include "brimel/errors.hpp"

#include "dispatch.hpp"

namespace brimel {
namespace {

constexpr std::size_t kPrefetchDistance = 8;

template <bool EarlyExit>
[[gnu::always_inline]] inline std::vector<PairRecord> verify_run(std::span<const CandidatePair> pairs,
                                                                 ByteSpan data, std::uint64_t d_bytes,
                                                                 std::uint32_t k) {
    const std::uint8_t* base = data.data();
    const std::uint64_t rows_in_buffer = d_bytes == 0 ? UINT64_MAX : data.size() / d_bytes;
    std::vector<PairRecord> out;
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        if (p + kPrefetchDistance < pairs.size()) {
            const CandidatePair ahead = pairs[p + kPrefetchDistance];
            // Only prefetch addresses inside the buffer; the bounds check below
            // rejects the pair when it comes up.
            if (ahead.i < rows_in_buffer && ahead.j < rows_in_buffer) {
                __builtin_prefetch(base + ahead.i * d_bytes, 0, 3);
                __builtin_prefetch(base + ahead.j * d_bytes, 0, 3);
            }
        }
        const auto [i, j] = pairs[p];
        if (i >= rows_in_buffer) panic_out_of_range((i + 1) * d_bytes, data.size());
        if (j >= rows_in_buffer) panic_out_of_range((j + 1) * d_bytes, data.size());
        const std::uint8_t* a = base + i * d_bytes;
        const std::uint8_t* b = base + j * d_bytes;
        std::uint32_t dist;
        if constexpr (EarlyExit) {
            if (!hamming_within(a, b, d_bytes, k, dist)) continue;
        } else {
            dist = hamming_distance(a, b, d_bytes);
            if (dist > k) continue;
        }
        out.push_back({i, j, dist});
    }
    return out;
}

}  // namespace

BRIMEL_POPCNT_CLONES
std::vector<PairRecord> verify_with_prefetch(std::span<const CandidatePair> pairs, ByteSpan data,
                                             std::uint64_t d_bytes, std::uint32_t k) {
    return verify_run<true>(pairs, data, d_bytes, k);
}

BRIMEL_POPCNT_CLONES
std::vector<PairRecord> verify_with_prefetch_full(std::span<const CandidatePair> pairs,
                                                  ByteSpan data, std::uint64_t d_bytes,
                                                  std::uint32_t k) {
    return verify_run<false>(pairs, data, d_bytes, k);
}

}  // namespace brimel
