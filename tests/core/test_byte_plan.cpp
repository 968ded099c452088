#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "brimel/byte_plan.hpp"
#include "brimel/errors.hpp"
#include "chunk_table.hpp"
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

std::vector<CandidatePair> sorted(std::vector<CandidatePair> pairs) {
    std::sort(pairs.begin(), pairs.end());
    return pairs;
}

// Brute-force grouping: every pair i < j equal on [start, end).
std::vector<CandidatePair> equal_on_range(const std::vector<std::uint8_t>& codes, std::uint64_t n,
                                          std::uint64_t d, std::uint64_t start, std::uint64_t end) {
    std::vector<CandidatePair> pairs;
    for (std::uint32_t i = 0; i < n; ++i)
        for (std::uint32_t j = i + 1; j < n; ++j)
            if (std::equal(codes.begin() + i * d + start, codes.begin() + i * d + end,
                           codes.begin() + j * d + start))
                pairs.push_back({i, j});
    return pairs;
}

TEST(CandidatesForChunk, EmptyAndSingleRow) {
    const auto codes = testing::random_codes(1, 8, 1);
    EXPECT_TRUE(candidates_for_chunk(codes, 0, 8, 0, 8).empty());
    EXPECT_TRUE(candidates_for_chunk(codes, 1, 8, 0, 8).empty());
    // An empty buffer may have no address at all: nothing is offset from it.
    EXPECT_TRUE(candidates_for_chunk(ByteSpan{}, 0, 14, 3, 4).empty());
}

TEST(CandidatesForChunk, AllEqualRowsGiveEveryPairOnce) {
    const std::vector<std::uint8_t> codes(50 * 4, 0x5A);
    const auto pairs = candidates_for_chunk(codes, 50, 4, 1, 3);
    EXPECT_EQ(pairs.size(), 50u * 49u / 2u);
    for (const auto& p : pairs) EXPECT_LT(p.i, p.j);
    EXPECT_EQ(sorted(pairs), equal_on_range(codes, 50, 4, 1, 3));
}

// 16-byte chunks use the integer key, 17-byte chunks the byte-string key; both
// must group by exact byte equality, including rows that differ only in the
// chunk's last byte.
class CandidatesWidth : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(CandidatesWidth, GroupsByExactEquality) {
    const std::uint64_t width = GetParam();
    const std::uint64_t d = width + 3;
    const std::uint64_t n = 300;
    auto codes = testing::clustered_codes(n, d, 20, 11);
    for (std::uint64_t r = 0; r < n; r += 5) codes[r * d + 1 + width - 1] ^= 0x80;  // last chunk byte
    const auto pairs = candidates_for_chunk(codes, n, d, 1, 1 + width);
    EXPECT_EQ(sorted(pairs), equal_on_range(codes, n, d, 1, 1 + width));
}

INSTANTIATE_TEST_SUITE_P(KeyKinds, CandidatesWidth, ::testing::Values(1, 2, 3, 7, 8, 15, 16, 17, 24, 40));

// The array-indexed grouping of narrow keys must give the hashed grouping's
// pairs in the hashed grouping's order (first appearance, then row-major).
TEST(DenseKeyGrouping, SameOutputAsHashedGrouping) {
    for (const std::uint32_t key_space : {1u << 8, 1u << 16}) {
        for (const std::uint64_t n : {0u, 1u, 2u, 3000u}) {
            std::mt19937_64 rng(key_space + n);
            std::vector<std::uint32_t> keys(n);
            // Half the rows on 40 popular keys, half spread over the key space.
            for (auto& key : keys)
                key =
                    static_cast<std::uint32_t>(rng() % 2 ? rng() % key_space : rng() % 40 * (key_space / 64));
            const auto key_of = [&](std::uint32_t r) { return keys[r]; };
            const auto dense = detail::candidates_by_dense_key(n, key_space, key_of);
            const auto hashed = detail::candidates_by_key<ChunkKey, detail::ChunkKeyHasher>(
                n, [&](std::uint32_t r) { return ChunkKey{keys[r]}; });
            EXPECT_EQ(dense, hashed) << "key_space " << key_space << ", n " << n;
        }
    }
}

TEST(CandidatesForChunk, RangeOutsideRowPanics) {
    const auto codes = testing::random_codes(4, 8, 3);
    EXPECT_THROW(candidates_for_chunk(codes, 4, 8, 5, 9), Panic);
    EXPECT_THROW(candidates_for_chunk(codes, 4, 8, 6, 5), Panic);
    EXPECT_THROW(candidates_for_chunk(codes, 5, 8, 0, 8), Panic);  // last row past the buffer
}

}  // namespace
}  // namespace brimel
