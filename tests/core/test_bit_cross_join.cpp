#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "brimel/cross_join.hpp"
#include "brute_force.hpp"
#include "test_support.hpp"

namespace brimel {
namespace {

using testing::expect_panic;

struct CrossCase {
    const char* data_kind;
    std::uint64_t n_a;
    std::uint64_t n_b;
    std::uint64_t d_bytes;
    std::uint32_t k;
};

// A and B drawn as two slices of one matrix, so B holds near-duplicates of A's
// rows (and of its own).
std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>> make(const CrossCase& c) {
    const std::string kind = c.data_kind;
    const std::uint64_t n = c.n_a + c.n_b;
    const auto all = kind == "clustered" ? testing::clustered_codes(n, c.d_bytes, 20, 41)
                                         : testing::planted_codes(n, c.d_bytes, c.k + 1, 41);
    const auto split = all.begin() + static_cast<std::ptrdiff_t>(c.n_a * c.d_bytes);
    return {{all.begin(), split}, {split, all.end()}};
}

class BitCrossJoin : public ::testing::TestWithParam<CrossCase> {};

TEST_P(BitCrossJoin, EqualsBruteForce) {
    const CrossCase c = GetParam();
    const auto [a, b] = make(c);
    EXPECT_EQ(find_pairs_cross_bit(a, c.n_a, b, c.n_b, c.d_bytes, c.k),
              reference::cross_join(a.data(), c.n_a, b.data(), c.n_b, c.d_bytes, c.k));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, BitCrossJoin,
    ::testing::Values(CrossCase{"planted", 0, 50, 8, 3}, CrossCase{"planted", 50, 0, 8, 3},
                      CrossCase{"planted", 300, 300, 1, 7}, CrossCase{"planted", 500, 400, 3, 9},
                      CrossCase{"planted", 800, 700, 12, 13}, CrossCase{"planted", 1000, 1000, 8, 10},
                      CrossCase{"planted", 400, 400, 8, 63}, CrossCase{"planted", 600, 600, 32, 0},
                      CrossCase{"planted", 600, 600, 32, 1}, CrossCase{"planted", 500, 500, 64, 3},
                      CrossCase{"clustered", 600, 500, 5, 4}, CrossCase{"clustered", 300, 300, 20, 0}),
    [](const auto& info) {
        const CrossCase& c = info.param;
        return std::string(c.data_kind) + "_a" + std::to_string(c.n_a) + "_b" + std::to_string(c.n_b) +
               "_d" + std::to_string(c.d_bytes) + "_k" + std::to_string(c.k);
    });

TEST(BitCrossJoin, SameMatrixOnBothSides) {
    // Every row meets itself at distance 0, found on all chunks, reported once.
    const auto codes = testing::planted_codes(700, 8, 6, 43);
    const auto result = find_pairs_cross_bit(codes, 700, codes, 700, 8, 5);
    EXPECT_EQ(result, reference::cross_join(codes.data(), 700, codes.data(), 700, 8, 5));
    std::size_t diagonal = 0;
    for (const PairRecord& r : result) diagonal += r.i == r.j && r.dist == 0;
    EXPECT_EQ(diagonal, 700u);
}

TEST(BitCrossJoin, KZeroVerifiesBeyondTheKeyedBytes) {
    std::vector<std::uint8_t> a(2 * 32, 0x11);
    std::vector<std::uint8_t> b(2 * 32, 0x11);
    b[0 * 32 + 20] ^= 0x04;  // equal to A's rows on bits 0..127 only
    EXPECT_EQ(find_pairs_cross_bit(a, 2, b, 2, 32, 0), (std::vector<PairRecord>{{0, 1, 0}, {1, 1, 0}}));
}

TEST(BitCrossJoin, Checks) {
    const auto codes = testing::random_codes(4, 8, 2);
    const ByteSpan short_by_one(codes.data(), codes.size() - 1);
    // a_data, b_data, k, n_a, n_b, then the plan.
    expect_panic([&] { find_pairs_cross_bit(short_by_one, 4, short_by_one, 4, 8, 64); },
                 "assertion `left == right` failed: a_data length mismatch\n  left: 31\n right: 32");
    expect_panic([&] { find_pairs_cross_bit(codes, 4, short_by_one, 4, 8, 64); },
                 "assertion `left == right` failed: b_data length mismatch\n  left: 31\n right: 32");
    expect_panic([&] { find_pairs_cross_bit(codes, 4, codes, 4, 8, 64); },
                 "brimel: k (64) must be < 8*d_bytes (64)");
    expect_panic([&] { find_pairs_cross_bit(ByteSpan{}, 4294967296ull, ByteSpan{}, 4294967296ull, 0, 0); },
                 "brimel: k (0) must be < 8*d_bytes (0)");
    // 2^61 rows of 8 bytes: the length product wraps to 0, so an empty buffer
    // passes the length checks and the row count is what fails.
    expect_panic([&] { find_pairs_cross_bit(ByteSpan{}, 0x2000000000000000ull, ByteSpan{}, 0, 8, 3); },
                 "n_a exceeds u32::MAX");
    expect_panic([&] { find_pairs_cross_bit(ByteSpan{}, 0, ByteSpan{}, 0x2000000000000000ull, 8, 3); },
                 "n_b exceeds u32::MAX");
    expect_panic([&] { find_pairs_cross_bit(ByteSpan{}, 0, ByteSpan{}, 0, 64, 1); },
                 "bit chunk wider than 128 bits");
    EXPECT_TRUE(find_pairs_cross_bit(ByteSpan{}, 0, ByteSpan{}, 0, 64, 0).empty());
}

}  // namespace
}  // namespace brimel
