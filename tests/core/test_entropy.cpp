#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "brimel/entropy.hpp"
#include "test_support.hpp"

namespace brimel {
namespace {

using Lists = PositionLists;

TEST(PlanAdaptiveChunks, GreedyBalancingExamples) {
    const std::vector<double> e{0.5, 1.0, 0.0, 1.0, 0.25};
    EXPECT_EQ(plan_adaptive_chunks(e, 2, 128), (Lists{{0, 1}, {3, 4}}));
    EXPECT_EQ(plan_adaptive_chunks(e, 1, 2), (Lists{{1, 3}}));
    EXPECT_EQ(plan_adaptive_chunks({0.0, 0.3, 0.0}, 3, 128), (Lists{{1}, {}, {}}));
    EXPECT_TRUE(plan_adaptive_chunks(e, 0, 128).empty());
}

TEST(PlanAdaptiveChunks, WidthCapLeavesLowestEntropyOut) {
    std::vector<double> e(300);
    for (std::size_t p = 0; p < e.size(); ++p) e[p] = 1.0 - static_cast<double>(p) / 1000.0;
    const Lists lists = plan_adaptive_chunks(e, 2, 128);
    ASSERT_EQ(lists.size(), 2u);
    EXPECT_EQ(lists[0].size(), 128u);
    EXPECT_EQ(lists[1].size(), 128u);
    for (const auto& list : lists)
        for (auto p : list) EXPECT_LT(p, 256u);  // positions 256.. have the lowest entropy
}

// The plan by its defining rule, one scan over all lists per position.
Lists greedy_by_scanning(const std::vector<double>& e, std::uint64_t num_chunks, std::uint64_t max_width) {
    std::vector<std::uint64_t> order;
    for (std::uint64_t p = 0; p < e.size(); ++p)
        if (e[p] > 0.0) order.push_back(p);
    std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return e[a] > e[b]; });
    Lists lists(num_chunks);
    std::vector<double> load(num_chunks, 0.0);
    for (const auto p : order) {
        std::uint64_t chosen = num_chunks;
        for (std::uint64_t c = 0; c < num_chunks; ++c)
            if (lists[c].size() < max_width && (chosen == num_chunks || load[c] < load[chosen])) chosen = c;
        if (chosen == num_chunks) break;
        lists[chosen].push_back(p);
        load[chosen] += e[p];
    }
    for (auto& list : lists) std::sort(list.begin(), list.end());
    return lists;
}

TEST(PlanAdaptiveChunks, SameAsScanningEveryList) {
    std::mt19937_64 rng(5);
    for (int round = 0; round < 300; ++round) {
        const std::size_t bits = 1 + rng() % 400;
        // Few distinct values, many zeros: ties in entropy and in load.
        std::vector<double> e(bits);
        for (auto& v : e) v = (rng() % 3 == 0) ? 0.0 : static_cast<double>(1 + rng() % 4) / 4.0;
        const std::uint64_t chunks = rng() % 70;
        const std::uint64_t width = rng() % 2 ? 128 : rng() % 6;
        ASSERT_EQ(plan_adaptive_chunks(e, chunks, width), greedy_by_scanning(e, chunks, width))
            << "round " << round;
    }
}

TEST(EstimateBitEntropies, Values) {
    // Bit 0 set in one row of three; bit 1 in two of four; all else constant.
    const std::vector<std::uint8_t> three{0x80, 0x00, 0x00};
    const auto e3 = estimate_bit_entropies(three, 3, 1, 10000);
    EXPECT_NEAR(e3[0], 0.9182958340544896, 1e-15);
    for (int p = 1; p < 8; ++p) EXPECT_EQ(e3[p], 0.0);
    const std::vector<std::uint8_t> four{0x40, 0x40, 0x00, 0x00};
    EXPECT_EQ(estimate_bit_entropies(four, 4, 1, 10000)[1], 1.0);
    const std::vector<std::uint8_t> quarter{0x01, 0x00, 0x00, 0x00};
    EXPECT_NEAR(estimate_bit_entropies(quarter, 4, 1, 10000)[7], 0.8112781244591328, 1e-15);
}

TEST(EstimateBitEntropies, EmptyAndEqualRows) {
    EXPECT_EQ(estimate_bit_entropies({}, 0, 4, 1), std::vector<double>(32, 0.0));
    EXPECT_TRUE(estimate_bit_entropies({}, 0, 0, 1).empty());
    const std::vector<std::uint8_t> equal(50 * 8, 0x5A);
    EXPECT_EQ(estimate_bit_entropies(equal, 50, 8, 10000), std::vector<double>(64, 0.0));
    EXPECT_EQ(plan_adaptive_chunks(std::vector<double>(64, 0.0), 3, 128), (Lists{{}, {}, {}}));
}

TEST(EstimateBitEntropies, StridedSampleSkipsOddRows) {
    // n = 20000 with a sample of 10000: stride 2, odd rows are never read.
    const std::uint64_t n = 20000;
    std::vector<std::uint8_t> codes(n, 0);
    for (std::uint64_t r = 1; r < n; r += 2) codes[r] = 0xFF;
    EXPECT_EQ(estimate_bit_entropies(codes, n, 1, 10000), std::vector<double>(8, 0.0));
    // n = 10001: stride 1, rows 0..9999; the last row is not read.
    std::vector<std::uint8_t> last(10001, 0);
    last[10000] = 0x80;
    EXPECT_EQ(estimate_bit_entropies(last, 10001, 1, 10000)[0], 0.0);
    last[9999] = 0x80;
    EXPECT_GT(estimate_bit_entropies(last, 10001, 1, 10000)[0], 0.0);
}

}  // namespace
}  // namespace brimel
