// Chunk plans: byte and bit boundaries, the bit chunks for (d_bytes, k) and the
// entropy-balanced plans. (Keys read from chunks: test_keys.cpp.)
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "brimel/bit_plan.hpp"
#include "brimel/byte_plan.hpp"
#include "brimel/entropy.hpp"
#include "brimel/plan.hpp"
#include "test_support.hpp"

namespace brimel {
namespace {

std::vector<std::uint64_t> widths(const std::vector<BitRange>& plan) {
    std::vector<std::uint64_t> w;
    for (const auto& [lo, hi] : plan) w.push_back(hi - lo);
    return w;
}

TEST(ChunkBoundaries, Examples) {
    using Bytes = std::vector<ByteRange>;
    EXPECT_EQ(chunk_boundaries(8, 3), (Bytes{{0, 2}, {2, 5}, {5, 8}}));
    EXPECT_EQ(chunk_boundaries(10, 4), (Bytes{{0, 2}, {2, 5}, {5, 7}, {7, 10}}));
    EXPECT_EQ(chunk_boundaries(20, 6), (Bytes{{0, 3}, {3, 6}, {6, 10}, {10, 13}, {13, 16}, {16, 20}}));
    EXPECT_EQ(chunk_boundaries(32, 5), (Bytes{{0, 6}, {6, 12}, {12, 19}, {19, 25}, {25, 32}}));
    EXPECT_EQ(chunk_boundaries(16, 1), (Bytes{{0, 16}}));
    EXPECT_EQ(chunk_boundaries(3, 5), (Bytes{{0, 1}, {1, 2}, {2, 3}}));
    EXPECT_EQ(chunk_boundaries(0, 4), Bytes{});
    EXPECT_EQ(chunk_bit_boundaries(64, 3), (std::vector<BitRange>{{0, 21}, {21, 42}, {42, 64}}));
    EXPECT_EQ(widths(chunk_bit_boundaries(10, 4)), (std::vector<std::uint64_t>{2, 3, 2, 3}));
    EXPECT_EQ(chunk_bit_boundaries(3, 5), (std::vector<BitRange>{{0, 1}, {1, 2}, {2, 3}}));
    EXPECT_TRUE(chunk_bit_boundaries(0, 1).empty());
}

// The count and widest range of chunk_boundaries, told without making them,
// against the ranges made, with products that wrap (ranges dropped, widths of
// the floor only) among them.
TEST(ChunkBoundaries, CountAndWidthWithoutMakingThem) {
    const std::uint64_t big = std::uint64_t{1} << 62;
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> cases{
        {0, 3},           {3, 5},           {10, 4},      {64, 3},     {1000, 7},
        {2 * big + 1, 2}, {3 * big + 1, 7}, {3 * big, 5}, {big + 5, 3}};
    for (const auto& [units, chunks] : cases) {
        const auto ranges = chunk_boundaries(units, chunks);
        std::uint64_t widest = 0;
        for (const auto& [lo, hi] : ranges) widest = std::max(widest, hi - lo);
        const bool wraps = units != 0 && chunks > UINT64_MAX / units;
        EXPECT_TRUE(wraps ? chunk_count_at_least(units, chunks) <= ranges.size()
                          : chunk_count_at_least(units, chunks) == ranges.size())
            << units << " " << chunks;
        for (const std::uint64_t width : {widest - 1, widest, widest + 1})
            if (width != UINT64_MAX)
                EXPECT_EQ(chunks_at_most(units, chunks, width), widest <= width) << units;
    }
}

// k + 1 bit chunks, one chunk of the first 128 bits at k = 0, and whether
// every chunk fits a key.
TEST(PlanBitChunks, WidthsAndLimit) {
    const std::vector<std::tuple<std::uint64_t, std::uint32_t, std::vector<std::uint64_t>, bool>> cases{
        {8, 0, {64}, true},         {8, 3, {16, 16, 16, 16}, true},      {32, 0, {128}, true},
        {17, 0, {128}, true},       {32, 1, {128, 128}, true},           {32, 2, {85, 85, 86}, true},
        {64, 1, {256, 256}, false}, {64, 3, {128, 128, 128, 128}, true}, {17, 1, {68, 68}, true}};
    for (const auto& [d, k, expected, fits] : cases) {
        const auto plan = plan_bit_chunks(d, k);
        EXPECT_EQ(widths(plan), expected) << d << " " << k;
        EXPECT_EQ(plan_fits_chunk_keys(plan), fits) << d << " " << k;
        EXPECT_EQ(bit_plan_fits_chunk_keys(d, k), fits) << d << " " << k;
        EXPECT_EQ(bit_plan_chunks_at_least(d, k), plan.size()) << d << " " << k;
        EXPECT_EQ(plan.front().first, 0u);
    }
}

using Lists = PositionLists;

TEST(PlanAdaptiveChunks, GreedyBalancing) {
    const std::vector<double> e{0.5, 1.0, 0.0, 1.0, 0.25};
    EXPECT_EQ(plan_adaptive_chunks(e, 2, 128), (Lists{{0, 1}, {3, 4}}));
    EXPECT_EQ(plan_adaptive_chunks(e, 1, 2), (Lists{{1, 3}}));
    EXPECT_EQ(plan_adaptive_chunks({0.0, 0.3, 0.0}, 3, 128), (Lists{{1}, {}, {}}));
    EXPECT_EQ(plan_adaptive_chunks(std::vector<double>(64, 0.0), 3, 128), (Lists{{}, {}, {}}));
    EXPECT_TRUE(plan_adaptive_chunks(e, 0, 128).empty());
    // At the width cap the lowest-entropy positions (256 and on) are left out.
    std::vector<double> falling(300);
    for (std::size_t p = 0; p < falling.size(); ++p) falling[p] = 1.0 - static_cast<double>(p) / 1000.0;
    const Lists capped = plan_adaptive_chunks(falling, 2, 128);
    ASSERT_EQ(capped.size(), 2u);
    for (const auto& list : capped) {
        EXPECT_EQ(list.size(), 128u);
        EXPECT_LT(*std::max_element(list.begin(), list.end()), 256u);
    }
}

// Bit 0 set in one row of three: H(1/3). Of 20,000 rows a sample of 10,000
// reads every other row (stride 2; odd rows are never read), the sample trap of
// the adaptive join's property test; of 10,001 rows, rows 0 to 9,999.
TEST(EstimateBitEntropies, ValuesAndSample) {
    const auto e3 = estimate_bit_entropies(std::vector<std::uint8_t>{0x80, 0x00, 0x00}, 3, 1, 10000);
    EXPECT_NEAR(e3[0], 0.9182958340544896, 1e-15);
    EXPECT_EQ(std::vector<double>(e3.begin() + 1, e3.end()), std::vector<double>(7, 0.0));
    std::vector<std::uint8_t> codes(20000, 0);
    for (std::uint64_t r = 1; r < codes.size(); r += 2) codes[r] = 0xFF;
    EXPECT_EQ(estimate_bit_entropies(codes, 20000, 1, 10000), std::vector<double>(8, 0.0));
    std::vector<std::uint8_t> last(10001, 0);
    last[10000] = 0x80;
    EXPECT_EQ(estimate_bit_entropies(last, 10001, 1, 10000)[0], 0.0);
    last[9999] = 0x80;
    EXPECT_GT(estimate_bit_entropies(last, 10001, 1, 10000)[0], 0.0);
}

// Plans left out unestimated (too many parts, or too dear on uniform codes)
// never include the cheapest: the batched choice costs what the cheapest of
// every plan estimated on its own does.
TEST(ChoosePlan, LeavingPlansOutKeepsTheCheapest) {
    struct Case {
        std::vector<std::uint8_t> codes;
        std::uint64_t d_bytes;
        std::uint32_t k;
        std::string kind;  // of the plan chosen, where a later batch holds it
    };
    const std::vector<Case> cases{{testing::planted_codes(100000, 8, 3, 1), 8, 3, "blocks"},
                                  {testing::clustered_codes(30000, 8, 300, 2), 8, 3, ""},
                                  {testing::planted_codes(20000, 8, 10, 3), 8, 10, ""},
                                  {testing::planted_codes(20000, 32, 15, 4), 32, 15, ""}};
    for (const Case& c : cases) {
        const std::uint64_t n = c.codes.size() / c.d_bytes;
        const JoinInput input{c.codes.data(), n, nullptr, 0, c.d_bytes, c.k};
        const std::vector<double> entropies = estimate_bit_entropies(c.codes, n, c.d_bytes, 4096);
        std::vector<Plan> all = candidate_plans(c.d_bytes, c.k, &entropies);
        for (auto&& more : {block_plans(c.d_bytes, c.k, &entropies), fixed_plans(c.d_bytes, c.k, &entropies)})
            all.insert(all.end(), more.begin(), more.end());
        double cheapest = choose_plan(input, {}).options.back().cost;  // the scan
        for (const Plan& plan : all)
            cheapest = std::min(cheapest, choose_plan(input, {plan}).options[0].cost);
        const PlanChoice batched = choose_plan(
            input, candidate_plans(c.d_bytes, c.k, &entropies), 0,
            {[&](std::uint64_t max_parts) { return block_plans(c.d_bytes, c.k, &entropies, max_parts); },
             [&](std::uint64_t) { return fixed_plans(c.d_bytes, c.k, &entropies); }});
        EXPECT_EQ(batched.options[batched.chosen].cost, cheapest) << c.d_bytes << " bytes, k = " << c.k;
        EXPECT_LT(batched.options.size(), all.size() + 1) << "nothing left out";
        if (!c.kind.empty()) EXPECT_EQ(batched.plan().name, c.kind);
    }
}

}  // namespace
}  // namespace brimel
