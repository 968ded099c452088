#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bit_join_plan.hpp"
#include "brimel/bit_plan.hpp"
#include "brimel/self_join.hpp"
#include "brute_force.hpp"
#include "test_support.hpp"

namespace brimel {
namespace {

using testing::expect_panic;

// The reader gives extract_bits' key for every range of up to 128 bits,
// aligned or not, one byte or many.
TEST(BitChunkReader, SameKeysAsExtractBits) {
    const auto rows = testing::random_codes(3, 20, 5);
    const std::uint64_t row_bits = 8 * 20;
    for (std::uint64_t lo = 0; lo <= row_bits; ++lo)
        for (std::uint64_t hi = lo; hi <= std::min(row_bits, lo + kMaxChunkBits); ++hi) {
            const detail::BitChunkReader reader({lo, hi});
            for (std::uint64_t r = 0; r < 3; ++r) {
                const std::uint8_t* row = rows.data() + 20 * r;
                ASSERT_EQ(reader(row), extract_bits(row, lo, hi)) << "[" << lo << ", " << hi << ")";
            }
        }
}

struct BitJoinCase {
    const char* data_kind;
    std::uint64_t n;
    std::uint64_t d_bytes;
    std::uint32_t k;
};

std::vector<std::uint8_t> make(const BitJoinCase& c) {
    const std::string kind = c.data_kind;
    if (kind == "random") return testing::random_codes(c.n, c.d_bytes, 23);
    if (kind == "clustered") return testing::clustered_codes(c.n, c.d_bytes, 25, 23);
    return testing::planted_codes(c.n, c.d_bytes, c.k + 1, 23);
}

std::string case_name(const ::testing::TestParamInfo<BitJoinCase>& info) {
    const BitJoinCase& c = info.param;
    return std::string(c.data_kind) + "_n" + std::to_string(c.n) + "_d" + std::to_string(c.d_bytes) + "_k" +
           std::to_string(c.k);
}

class BitSelfJoin : public ::testing::TestWithParam<BitJoinCase> {};

// Equals the brute-force reference; CTest runs it again under pools of 1, 2
// and 8 workers.
TEST_P(BitSelfJoin, EqualsBruteForce) {
    const BitJoinCase c = GetParam();
    const auto codes = make(c);
    EXPECT_EQ(find_pairs_self_bit(codes, c.n, c.d_bytes, c.k),
              reference::self_join(codes.data(), c.n, c.d_bytes, c.k));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, BitSelfJoin,
    ::testing::Values(
        // Narrow codes, k up to 8 * d_bytes - 1 (one-bit chunks: every pair of
        // non-complementary rows is a candidate).
        BitJoinCase{"random", 300, 1, 0}, BitJoinCase{"random", 300, 1, 3},
        BitJoinCase{"random", 300, 1, 7}, BitJoinCase{"random", 400, 3, 5},
        BitJoinCase{"planted", 600, 3, 11}, BitJoinCase{"random", 200, 3, 23},
        // Widths that are not a multiple of 8, chunks not byte-aligned.
        BitJoinCase{"planted", 1500, 5, 6}, BitJoinCase{"planted", 1500, 12, 9},
        BitJoinCase{"planted", 1000, 13, 30}, BitJoinCase{"planted", 0, 8, 3}, BitJoinCase{"planted", 1, 8, 3},
        // 64-bit codes at k beyond the byte plan's reach, and near 8 * d_bytes.
        BitJoinCase{"planted", 2000, 8, 10}, BitJoinCase{"planted", 500, 8, 62},
        // k = 0 over more than 128 bits: only the first 16 bytes are keyed.
        BitJoinCase{"clustered", 800, 17, 0}, BitJoinCase{"planted", 800, 32, 0},
        // Chunks of exactly 128 bits.
        BitJoinCase{"planted", 800, 32, 1}, BitJoinCase{"planted", 600, 64, 3},
        BitJoinCase{"planted", 1000, 32, 15}, BitJoinCase{"clustered", 1000, 8, 3}),
    case_name);

// Wherever both apply (k < d_bytes), the bit and byte self-joins agree.
TEST(BitSelfJoin, EqualsByteSelfJoin) {
    for (const auto [d_bytes, k] : {std::pair{8u, 3u}, {8u, 7u}, {12u, 5u}, {20u, 0u}, {32u, 1u}, {2u, 1u}}) {
        const auto codes = testing::planted_codes(1500, d_bytes, k + 1, 31);
        EXPECT_EQ(find_pairs_self_bit(codes, 1500, d_bytes, k),
                  find_pairs_self_no_dedup_par_prefetch(codes, 1500, d_bytes, k))
            << d_bytes << " " << k;
    }
}

TEST(BitSelfJoin, KZeroVerifiesBeyondTheKeyedBytes) {
    // Rows 0, 1, 2 share their first 16 bytes; row 2 differs in the last byte.
    std::vector<std::uint8_t> codes(4 * 32, 0x5A);
    codes[2 * 32 + 31] ^= 0x01;
    codes[3 * 32 + 0] ^= 0x80;
    EXPECT_EQ(find_pairs_self_bit(codes, 4, 32, 0), (std::vector<PairRecord>{{0, 1, 0}}));
}

TEST(BitSelfJoin, IdenticalRowsReportedOnce) {
    const std::vector<std::uint8_t> codes(5 * 4, 0xC3);
    const auto result = find_pairs_self_bit(codes, 5, 4, 31);  // 32 one-bit chunks, all shared
    EXPECT_EQ(result.size(), 10u);
    for (const PairRecord& r : result) EXPECT_EQ(r.dist, 0u);
}

TEST(BitSelfJoin, Checks) {
    const auto codes = testing::random_codes(4, 8, 2);
    const ByteSpan short_by_one(codes.data(), codes.size() - 1);
    // Length first, then rows, then k, then the plan.
    expect_panic([&] { find_pairs_self_bit(short_by_one, 4, 8, 64); },
                 "assertion `left == right` failed: data length mismatch\n  left: 31\n right: 32");
    expect_panic([&] { find_pairs_self_bit(ByteSpan{}, 4294967296ull, 0, 0); }, "n exceeds u32::MAX");
    expect_panic([&] { find_pairs_self_bit(codes, 4, 8, 64); }, "brimel: k (64) must be < 8*d_bytes (64)");
    expect_panic([&] { find_pairs_self_bit(ByteSpan{}, 0, 0, 0); }, "brimel: k (0) must be < 8*d_bytes (0)");
    expect_panic([&] { find_pairs_self_bit(ByteSpan{}, 0, 64, 1); }, "bit chunk wider than 128 bits");
    expect_panic([&] { find_pairs_self_bit(ByteSpan{}, 0, 33, 1); }, "bit chunk wider than 128 bits");
    EXPECT_TRUE(find_pairs_self_bit(ByteSpan{}, 0, 64, 0).empty());
    EXPECT_TRUE(find_pairs_self_bit(ByteSpan{}, 0, 32, 1).empty());
}

}  // namespace
}  // namespace brimel
