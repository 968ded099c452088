#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "candidate_sort.hpp"

namespace brimel {
namespace {

struct SortCase {
    std::size_t n;
    std::uint32_t max_i;
    std::uint32_t max_j;
};

class SortCandidates : public ::testing::TestWithParam<SortCase> {};

// Same order as a comparison sort, whatever the id ranges (the radix sort packs
// i and j into as many bits as they need: from a few up to all 64).
TEST_P(SortCandidates, MatchesComparisonSort) {
    const auto [n, max_i, max_j] = GetParam();
    std::mt19937_64 rng(n + max_i);
    std::vector<CandidatePair> pairs(n);
    for (auto& p : pairs)
        p = {static_cast<std::uint32_t>(rng() % (std::uint64_t{max_i} + 1)),
             static_cast<std::uint32_t>(rng() % (std::uint64_t{max_j} + 1))};
    // Repeats, as when a pair agrees on several chunks.
    for (std::size_t r = 0; r + 7 < n; r += 7) pairs[r + 3] = pairs[r];
    auto expected = pairs;
    std::sort(expected.begin(), expected.end());
    detail::sort_candidates(pairs);
    EXPECT_EQ(pairs, expected);
}

INSTANTIATE_TEST_SUITE_P(Ranges, SortCandidates,
                         ::testing::Values(SortCase{0, 0, 0}, SortCase{100, 50, 50}, SortCase{50000, 0, 0},
                                           SortCase{50000, 0, 70000}, SortCase{50000, 70000, 0},
                                           SortCase{60000, 999, 99999}, SortCase{60000, 2047, 2047},
                                           SortCase{60000, 4294967295u, 3},
                                           SortCase{60000, 4294967295u, 4294967295u}),
                         [](const auto& info) {
                             const SortCase& c = info.param;
                             return "n" + std::to_string(c.n) + "_i" + std::to_string(c.max_i) + "_j" +
                                    std::to_string(c.max_j);
                         });

}  // namespace
}  // namespace brimel
