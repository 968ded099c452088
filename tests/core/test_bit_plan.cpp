#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "brimel/bit_plan.hpp"
#include "brimel/errors.hpp"
#include "test_support.hpp"

namespace brimel {
namespace {

using Plan = std::vector<BitRange>;

std::vector<std::uint64_t> widths(const Plan& plan) {
    std::vector<std::uint64_t> w;
    for (const auto& [lo, hi] : plan) w.push_back(hi - lo);
    return w;
}

TEST(ChunkBitBoundaries, Examples) {
    EXPECT_EQ(chunk_bit_boundaries(64, 3), (Plan{{0, 21}, {21, 42}, {42, 64}}));
    EXPECT_EQ(widths(chunk_bit_boundaries(10, 4)), (std::vector<std::uint64_t>{2, 3, 2, 3}));
    EXPECT_EQ(chunk_bit_boundaries(3, 5), (Plan{{0, 1}, {1, 2}, {2, 3}}));
    EXPECT_TRUE(chunk_bit_boundaries(0, 1).empty());
    EXPECT_THROW(chunk_bit_boundaries(8, 0), Panic);
}

struct PlanCase {
    std::uint64_t d_bytes;
    std::uint32_t k;
    std::vector<std::uint64_t> widths;
    bool fits;
};

class PlanBitChunks : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanBitChunks, WidthsAndLimit) {
    const auto& c = GetParam();
    const Plan plan = plan_bit_chunks(c.d_bytes, c.k);
    EXPECT_EQ(widths(plan), c.widths);
    EXPECT_EQ(plan_fits_chunk_keys(plan), c.fits);
    EXPECT_EQ(plan.front().first, 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, PlanBitChunks,
                         ::testing::Values(PlanCase{8, 0, {64}, true}, PlanCase{8, 3, {16, 16, 16, 16}, true},
                                           PlanCase{32, 0, {128}, true}, PlanCase{17, 0, {128}, true},
                                           PlanCase{16, 0, {128}, true}, PlanCase{32, 1, {128, 128}, true},
                                           PlanCase{32, 2, {85, 85, 86}, true},
                                           PlanCase{64, 1, {256, 256}, false},
                                           PlanCase{64, 3, {128, 128, 128, 128}, true},
                                           PlanCase{17, 1, {68, 68}, true}));

TEST(ExtractBits, Examples) {
    const std::uint8_t row[] = {0xAB, 0xCD};
    EXPECT_EQ(extract_bits(row, 0, 16), ChunkKey{0xCDAB});
    EXPECT_EQ(extract_bits(row, 0, 8), ChunkKey{0xAB});
    EXPECT_EQ(extract_bits(row, 4, 12), ChunkKey{0xCB});
    EXPECT_EQ(extract_bits(row, 3, 6), ChunkKey{2});
    EXPECT_EQ(extract_bits(row, 5, 5), ChunkKey{0});
}

TEST(ExtractBits, OneToOneOverUnalignedRanges) {
    // Flipping any single bit inside the range changes the key; outside, not.
    const auto row = testing::random_codes(1, 24, 4);
    for (std::uint64_t lo : {0u, 3u, 13u, 61u})
        for (std::uint64_t width : {1u, 7u, 9u, 64u, 65u, 127u, 128u}) {
            const std::uint64_t hi = lo + width;
            const ChunkKey key = extract_bits(row.data(), lo, hi);
            for (std::uint64_t p = 0; p < 8 * row.size(); ++p) {
                auto flipped = row;
                flipped[p / 8] ^= static_cast<std::uint8_t>(0x80u >> (p % 8));
                EXPECT_EQ(extract_bits(flipped.data(), lo, hi) != key, p >= lo && p < hi)
                    << lo << " " << width << " " << p;
            }
        }
}

TEST(ExtractBits, WidthLimits) {
    const std::vector<std::uint8_t> row(20, 0xFF);
    EXPECT_EQ(extract_bits(row.data(), 8, 136), ~ChunkKey{0});
    try {
        extract_bits(row.data(), 0, 129);
        FAIL();
    } catch (const Panic& e) {
        EXPECT_STREQ(e.what(), "extract_bits: width 129 > 128");
    }
    try {
        extract_bits(row.data(), 9, 8);
        FAIL();
    } catch (const Panic& e) {
        EXPECT_STREQ(e.what(), "extract_bits: hi_bit < lo_bit");
    }
}

TEST(ExtractBitsAt, Examples) {
    const std::uint8_t row[] = {0xAB, 0xCD};
    std::vector<std::uint64_t> positions(8);
    std::iota(positions.begin(), positions.end(), 0);
    EXPECT_EQ(extract_bits_at(row, positions), ChunkKey{0xD5});
    const std::vector<std::uint64_t> backwards{8, 0};
    EXPECT_EQ(extract_bits_at(row, backwards), ChunkKey{3});
}

TEST(ExtractBitsAt, PositionLimit) {
    const std::vector<std::uint8_t> row(20, 0xFF);
    std::vector<std::uint64_t> positions(128);
    std::iota(positions.begin(), positions.end(), 5);
    EXPECT_EQ(extract_bits_at(row.data(), positions), ~ChunkKey{0});
    positions.push_back(140);
    try {
        extract_bits_at(row.data(), positions);
        FAIL();
    } catch (const Panic& e) {
        EXPECT_STREQ(e.what(), "extract_bits_at: too many positions");
    }
}

}  // namespace
}  // namespace brimel
