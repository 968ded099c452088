#include "candidate_sort.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <utility>

namespace brimel::detail {
namespace {

constexpr unsigned kDigitBits = 11;  // 2048 buckets: the counters stay in L1
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
constexpr std::size_t kRadixThreshold = 1 << 12;

}  // namespace

void sort_candidates(std::vector<CandidatePair>& pairs) {
    const std::size_t n = pairs.size();
    if (n < kRadixThreshold) {
        std::sort(pairs.begin(), pairs.end());
        return;
    }
    std::uint32_t max_i = 0;
    std::uint32_t max_j = 0;
    for (const CandidatePair& p : pairs) {
        max_i = std::max(max_i, p.i);
        max_j = std::max(max_j, p.j);
    }
    const unsigned j_bits = static_cast<unsigned>(std::bit_width(max_j));
    const unsigned key_bits = j_bits + static_cast<unsigned>(std::bit_width(max_i));
    const auto key = [j_bits](const CandidatePair& p) {
        return (static_cast<std::uint64_t>(p.i) << j_bits) | p.j;
    };
    const unsigned passes = (key_bits + kDigitBits - 1) / kDigitBits;

    // Histograms of every digit in one read of the list.
    std::vector<std::array<std::size_t, kBuckets>> counts(passes);
    for (auto& count : counts) count.fill(0);
    for (const CandidatePair& p : pairs) {
        const std::uint64_t k = key(p);
        for (unsigned d = 0; d < passes; ++d) ++counts[d][(k >> (d * kDigitBits)) & (kBuckets - 1)];
    }

    std::vector<CandidatePair> scratch(n);
    for (unsigned d = 0; d < passes; ++d) {
        auto& count = counts[d];
        // A digit that all pairs share leaves the order as it is.
        if (std::find(count.begin(), count.end(), n) != count.end()) continue;
        std::size_t offset = 0;
        for (std::size_t& c : count) offset += std::exchange(c, offset);
        const unsigned shift = d * kDigitBits;
        for (const CandidatePair& p : pairs) scratch[count[(key(p) >> shift) & (kBuckets - 1)]++] = p;
        pairs.swap(scratch);
    }
}

}  // namespace brimel::detail
