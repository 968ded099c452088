#include <gtest/gtest.h>

#include <vector>

#include "brimel/byte_plan.hpp"
#include "brimel/errors.hpp"
#include "test_support.hpp"

namespace brimel {
namespace {

using Plan = std::vector<ByteRange>;

struct PlanCase {
    std::uint64_t d_bytes;
    std::uint64_t num_chunks;
    Plan expected;
};

class ChunkBoundaries : public ::testing::TestWithParam<PlanCase> {};

TEST_P(ChunkBoundaries, MatchesTable) {
    const auto& c = GetParam();
    EXPECT_EQ(chunk_boundaries(c.d_bytes, c.num_chunks), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ChunkBoundaries,
    ::testing::Values(PlanCase{8, 3, {{0, 2}, {2, 5}, {5, 8}}},
                      PlanCase{10, 4, {{0, 2}, {2, 5}, {5, 7}, {7, 10}}},
                      PlanCase{20, 6, {{0, 3}, {3, 6}, {6, 10}, {10, 13}, {13, 16}, {16, 20}}},
                      PlanCase{32, 5, {{0, 6}, {6, 12}, {12, 19}, {19, 25}, {25, 32}}},
                      PlanCase{64, 7, {{0, 9}, {9, 18}, {18, 27}, {27, 36}, {36, 45}, {45, 54}, {54, 64}}},
                      PlanCase{16, 1, {{0, 16}}}, PlanCase{3, 5, {{0, 1}, {1, 2}, {2, 3}}},
                      PlanCase{0, 4, {}}, PlanCase{4, 4, {{0, 1}, {1, 2}, {2, 3}, {3, 4}}}));

TEST(ChunkBoundariesErrors, ZeroChunksDividesByZero) {
    try {
        chunk_boundaries(8, 0);
        FAIL();
    } catch (const Panic& e) {
        EXPECT_STREQ(e.what(), "attempt to divide by zero");
    }
}

TEST(ByteChunkKey, FirstByteIsLeastSignificant) {
    const std::uint8_t bytes[] = {0xAB, 0xCD};
    EXPECT_EQ(byte_chunk_key(bytes, 2), ChunkKey{0xCDAB});
    std::uint8_t sixteen[16];
    for (int t = 0; t < 16; ++t) sixteen[t] = static_cast<std::uint8_t>(t + 1);
    const ChunkKey key = byte_chunk_key(sixteen, 16);
    EXPECT_EQ(static_cast<std::uint64_t>(key), 0x0807060504030201ull);
    EXPECT_EQ(static_cast<std::uint64_t>(key >> 64), 0x100f0e0d0c0b0a09ull);
}

}  // namespace
}  // namespace brimel
