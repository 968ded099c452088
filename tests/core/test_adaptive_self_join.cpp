#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "brimel/bit_plan.hpp"
#include "brimel/entropy.hpp"
#include "brimel/self_join.hpp"
#include "brute_force.hpp"
#include "position_key_reader.hpp"
#include "test_support.hpp"

namespace brimel {
namespace {

using testing::expect_panic;

// The table reader gives extract_bits_at's key for lists of 0 to 128
// positions, in any order, with repeats, in both key widths.
TEST(PositionKeyReader, SameKeysAsExtractBitsAt) {
    const std::uint64_t d_bytes = 24;
    const auto rows = testing::random_codes(8, d_bytes, 3);
    std::mt19937_64 rng(5);
    for (std::size_t length = 0; length <= kMaxChunkBits; ++length) {
        std::vector<std::uint64_t> positions(length);
        for (auto& p : positions) p = rng() % (8 * d_bytes);
        const detail::PositionKeyReader<ChunkKey> wide(positions);
        for (std::uint64_t r = 0; r < 8; ++r) {
            const std::uint8_t* row = rows.data() + r * d_bytes;
            ASSERT_EQ(wide(row), extract_bits_at(row, positions)) << length;
            if (length <= 64) {
                const detail::PositionKeyReader<std::uint64_t> narrow(positions);
                ASSERT_EQ(ChunkKey{narrow(row)}, extract_bits_at(row, positions)) << length;
            }
        }
    }
    expect_panic([] { detail::PositionKeyReader<ChunkKey>(std::vector<std::uint64_t>(129, 0)); },
                 "extract_bits_at: too many positions");
}

// Every odd row becomes a copy of an earlier row with 0 to k + 1 bits flipped
// among bits [lo_bit, hi_bit): pairs at every distance up to k and just past.
void plant(std::vector<std::uint8_t>& codes, std::uint64_t n, std::uint64_t d_bytes, std::uint32_t k,
           std::uint64_t lo_bit, std::uint64_t hi_bit) {
    std::mt19937_64 rng(41);
    for (std::uint64_t r = 1; r < n; r += 2) {
        std::uint8_t* row = codes.data() + r * d_bytes;
        const std::uint8_t* source = codes.data() + (rng() % r) * d_bytes;
        std::copy(source, source + d_bytes, row);
        for (std::uint64_t f = rng() % (k + 2); f > 0; --f) {
            const std::uint64_t bit = lo_bit + rng() % (hi_bit - lo_bit);
            row[bit / 8] ^= static_cast<std::uint8_t>(0x80u >> (bit % 8));
        }
    }
}

// Planted codes in which many bits carry little or no information.
std::vector<std::uint8_t> make(const std::string& kind, std::uint64_t n, std::uint64_t d_bytes,
                               std::uint32_t k) {
    auto codes = testing::random_codes(n, d_bytes, 43);
    const std::uint64_t bits = 8 * d_bytes;
    if (kind == "planted") {
        plant(codes, n, d_bytes, k, 0, bits);
    } else if (kind == "half_constant") {
        // The second half is the same for every row; flips stay in the first.
        for (std::uint64_t r = 0; r < n; ++r)
            std::fill_n(codes.data() + r * d_bytes + d_bytes / 2, d_bytes - d_bytes / 2, 0xA5);
        plant(codes, n, d_bytes, k, 0, 8 * (d_bytes / 2));
    } else if (kind == "skewed") {
        // After the first quarter each bit is set with probability 1/8.
        std::mt19937_64 rng(45);
        for (std::uint64_t r = 0; r < n; ++r)
            for (std::uint64_t t = d_bytes / 4; t < d_bytes; ++t)
                codes[r * d_bytes + t] &= static_cast<std::uint8_t>(rng() & rng());
        plant(codes, n, d_bytes, k, 0, bits);
    } else if (kind == "odd_rows_only") {
        // The second half is zero in even rows, the entropy sample at n =
        // 20000 (stride 2). Each odd row copies the row before and flips up to
        // k + 1 bits anywhere, so its pair differs partly or only in bits that
        // the sample sees as constant.
        std::mt19937_64 rng(47);
        for (std::uint64_t r = 0; r < n; r += 2)
            std::fill_n(codes.data() + r * d_bytes + d_bytes / 2, d_bytes - d_bytes / 2, 0);
        for (std::uint64_t r = 1; r < n; r += 2) {
            std::uint8_t* row = codes.data() + r * d_bytes;
            std::copy(row - d_bytes, row, row);
            for (std::uint64_t f = rng() % (k + 2); f > 0; --f) {
                const std::uint64_t bit = rng() % bits;
                row[bit / 8] ^= static_cast<std::uint8_t>(0x80u >> (bit % 8));
            }
        }
    }
    return codes;
}

struct AdaptiveCase {
    const char* data_kind;
    std::uint64_t n;
    std::uint64_t d_bytes;
    std::uint32_t k;
};

std::string case_name(const ::testing::TestParamInfo<AdaptiveCase>& info) {
    const AdaptiveCase& c = info.param;
    return std::string(c.data_kind) + "_n" + std::to_string(c.n) + "_d" + std::to_string(c.d_bytes) + "_k" +
           std::to_string(c.k);
}

class AdaptiveSelfJoin : public ::testing::TestWithParam<AdaptiveCase> {};

// Equals the brute-force reference; CTest runs it again under pools of 1, 2
// and 8 workers.
TEST_P(AdaptiveSelfJoin, EqualsBruteForce) {
    const AdaptiveCase c = GetParam();
    const auto codes = make(c.data_kind, c.n, c.d_bytes, c.k);
    EXPECT_EQ(find_pairs_self_adaptive(codes, c.n, c.d_bytes, c.k),
              reference::self_join(codes.data(), c.n, c.d_bytes, c.k));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, AdaptiveSelfJoin,
    ::testing::Values(
        AdaptiveCase{"planted", 1500, 8, 3}, AdaptiveCase{"planted", 1000, 3, 9},
        AdaptiveCase{"half_constant", 2000, 8, 4}, AdaptiveCase{"half_constant", 1000, 32, 15},
        AdaptiveCase{"skewed", 2000, 8, 5}, AdaptiveCase{"skewed", 1000, 32, 7},
        // Lists of more than 64 positions (128-bit keys) and at the 128 cap,
        // where even bit chunks would be too wide for a key.
        AdaptiveCase{"planted", 800, 24, 1}, AdaptiveCase{"planted", 600, 64, 1},
        AdaptiveCase{"planted", 600, 40, 2}),
    case_name);

// Over a constant second half no position of it is planned, and the result is
// still the bit-level one.
TEST(AdaptiveSelfJoin, ConstantHalfLeftOutOfThePlan) {
    const auto codes = make("half_constant", 1500, 16, 6);
    const auto entropies = estimate_bit_entropies(codes, 1500, 16, 10000);
    for (const auto& list : plan_adaptive_chunks(entropies, 7, kMaxChunkBits)) {
        ASSERT_FALSE(list.empty());
        for (const std::uint64_t p : list) EXPECT_LT(p, 64u);
    }
    EXPECT_EQ(find_pairs_self_adaptive(codes, 1500, 16, 6), find_pairs_self_bit(codes, 1500, 16, 6));
}

// At n = 20000 the sample is rows 0, 2, ..., 19998: the second half never
// varies there and is left out of the plan, yet pairs that differ there are
// all found. The oracle is a word-wise brute force (the reference counts bit
// by bit, which is slow for 2e8 pairs; the even bit plan would key half its
// chunks on near-constant bits).
TEST(AdaptiveSelfJoin, BitsVaryingOutsideTheSampleStillVerified) {
    const auto codes = make("odd_rows_only", 20000, 8, 3);
    const auto entropies = estimate_bit_entropies(codes, 20000, 8, 10000);
    for (const auto& list : plan_adaptive_chunks(entropies, 4, kMaxChunkBits)) {
        ASSERT_FALSE(list.empty());
        for (const std::uint64_t p : list) EXPECT_LT(p, 32u);
    }
    std::vector<std::uint64_t> words(20000);
    std::memcpy(words.data(), codes.data(), codes.size());
    std::vector<PairRecord> expected;
    for (std::uint32_t i = 0; i < 20000; ++i)
        for (std::uint32_t j = i + 1; j < 20000; ++j) {
            const auto dist = static_cast<std::uint32_t>(std::popcount(words[i] ^ words[j]));
            if (dist <= 3) expected.push_back({i, j, dist});
        }
    EXPECT_GT(expected.size(), 8000u);  // most odd rows pair with the row before
    EXPECT_EQ(find_pairs_self_adaptive(codes, 20000, 8, 3), expected);
}

TEST(AdaptiveSelfJoin, KZeroIsTheBitJoin) {
    const auto codes = testing::clustered_codes(800, 32, 40, 9);
    EXPECT_EQ(find_pairs_self_adaptive(codes, 800, 32, 0), find_pairs_self_bit(codes, 800, 32, 0));
}

// Too few varying bits for k + 1 lists: the bit-level join answers, or stops
// with its own texts.
TEST(AdaptiveSelfJoin, FallsBackToTheBitJoin) {
    const std::vector<std::uint8_t> equal8(6 * 8, 0x3C);
    const auto result = find_pairs_self_adaptive(equal8, 6, 8, 1);
    EXPECT_EQ(result.size(), 15u);
    for (const PairRecord& r : result) EXPECT_EQ(r.dist, 0u);

    const std::vector<std::uint8_t> equal64(6 * 64, 0x3C);
    expect_panic([&] { find_pairs_self_adaptive(equal64, 6, 64, 1); }, "bit chunk wider than 128 bits");
    expect_panic([&] { find_pairs_self_adaptive(ByteSpan{}, 0, 1000000000000ull, 1); },
                 "bit chunk wider than 128 bits");

    // Two varying bits: k = 1 plans, k = 2 falls back (and runs).
    auto two_bits = equal8;
    two_bits[8 * 1] ^= 0x80;
    two_bits[8 * 2] ^= 0x01;
    EXPECT_EQ(find_pairs_self_adaptive(two_bits, 6, 8, 1), reference::self_join(two_bits.data(), 6, 8, 1));
    EXPECT_EQ(find_pairs_self_adaptive(two_bits, 6, 8, 2), reference::self_join(two_bits.data(), 6, 8, 2));

    // k at or beyond the code width: the bit join's k text, even for the
    // largest k (no plan of k + 1 lists is built).
    const auto codes = testing::random_codes(50, 8, 4);
    expect_panic([&] { find_pairs_self_adaptive(codes, 50, 8, 64); },
                 "brimel: k (64) must be < 8*d_bytes (64)");
    expect_panic([&] { find_pairs_self_adaptive(codes, 50, 8, 4294967295u); },
                 "brimel: k (4294967295) must be < 8*d_bytes (64)");
    EXPECT_TRUE(find_pairs_self_adaptive(ByteSpan{}, 0, 8, 3).empty());
}

TEST(AdaptiveSelfJoin, Checks) {
    const auto codes = testing::random_codes(4, 8, 2);
    const ByteSpan short_by_one(codes.data(), codes.size() - 1);
    expect_panic([&] { find_pairs_self_adaptive(short_by_one, 4, 8, 0); },
                 "assertion `left == right` failed: data length mismatch\n  left: 31\n right: 32");
    expect_panic([&] { find_pairs_self_adaptive(ByteSpan{}, 4294967296ull, 0, 1); }, "n exceeds u32::MAX");
}

}  // namespace
}  // namespace brimel
