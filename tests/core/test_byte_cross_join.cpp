#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "brimel/cross_join.hpp"
#include "brimel/errors.hpp"
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

// B's rows: about half are copies of a random row of A with 0 to max_flips
// bits flipped, the rest random, so pairs sit at, below and just above k.
std::vector<std::uint8_t> planted_queries(const std::vector<std::uint8_t>& a, std::uint64_t n_a,
                                          std::uint64_t n_b, std::uint64_t d_bytes, std::uint32_t max_flips,
                                          std::uint32_t seed) {
    std::mt19937_64 rng(seed);
    auto b = testing::random_codes(n_b, d_bytes, seed + 3);
    if (n_a == 0 || d_bytes == 0) return b;
    for (std::uint64_t j = 0; j < n_b; j += 2) {
        const std::uint64_t source = rng() % n_a;
        for (std::uint64_t t = 0; t < d_bytes; ++t) b[j * d_bytes + t] = a[source * d_bytes + t];
        const auto flips = static_cast<std::uint32_t>(rng() % (max_flips + 1));
        for (std::uint32_t f = 0; f < flips; ++f) {
            const std::uint64_t bit = rng() % (8 * d_bytes);
            b[j * d_bytes + bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        }
    }
    return b;
}

std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>> make(const CrossCase& c) {
    const std::string kind = c.data_kind;
    if (kind == "clustered") {
        // Both sides drawn from the same few rows: large groups on every chunk.
        return {testing::clustered_codes(c.n_a, c.d_bytes, 25, 11),
                testing::clustered_codes(c.n_b, c.d_bytes, 25, 11 + 100)};
    }
    auto a = testing::planted_codes(c.n_a, c.d_bytes, c.k + 1, 11);
    auto b = planted_queries(a, c.n_a, c.n_b, c.d_bytes, c.k + 1, 12);
    return {std::move(a), std::move(b)};
}

class ByteCrossJoin : public ::testing::TestWithParam<CrossCase> {};

TEST_P(ByteCrossJoin, EqualsBruteForce) {
    const CrossCase c = GetParam();
    const auto [a, b] = make(c);
    const auto expected = reference::cross_join(a.data(), c.n_a, b.data(), c.n_b, c.d_bytes, c.k);
    EXPECT_EQ(find_pairs_cross(a, c.n_a, b, c.n_b, c.d_bytes, c.k), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ByteCrossJoin,
    ::testing::Values(CrossCase{"planted", 0, 50, 8, 3}, CrossCase{"planted", 50, 0, 8, 3},
                      CrossCase{"planted", 1, 1, 8, 3}, CrossCase{"planted", 1500, 900, 8, 3},
                      CrossCase{"planted", 1500, 900, 8, 7}, CrossCase{"planted", 900, 1500, 2, 1},
                      CrossCase{"planted", 1000, 700, 3, 2}, CrossCase{"planted", 1000, 700, 12, 5},
                      CrossCase{"planted", 800, 800, 17, 0}, CrossCase{"planted", 800, 600, 32, 1},
                      CrossCase{"planted", 800, 600, 34, 1}, CrossCase{"planted", 500, 500, 40, 39},
                      CrossCase{"planted", 600, 400, 64, 12}, CrossCase{"clustered", 700, 500, 8, 3},
                      CrossCase{"clustered", 400, 300, 34, 0}),
    [](const auto& info) {
        const CrossCase& c = info.param;
        return std::string(c.data_kind) + "_a" + std::to_string(c.n_a) + "_b" + std::to_string(c.n_b) + "_d" +
               std::to_string(c.d_bytes) + "_k" + std::to_string(c.k);
    });

TEST(ByteCrossJoin, SameBufferOnBothSides) {
    const auto codes = testing::planted_codes(1200, 16, 4, 21);
    const auto result = find_pairs_cross(codes, 1200, codes, 1200, 16, 3);
    EXPECT_EQ(result, reference::cross_join(codes.data(), 1200, codes.data(), 1200, 16, 3));
    for (std::uint32_t r = 0; r < 1200; ++r)
        EXPECT_NE(std::find(result.begin(), result.end(), PairRecord{r, r, 0}), result.end());
}

TEST(ByteCrossJoin, OrderIsByRowOfAThenRowOfB) {
    // A = [x, y], B = [y, x] with x and y farther apart than k.
    const std::vector<std::uint8_t> a{0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
    const std::vector<std::uint8_t> b{0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(find_pairs_cross(a, 2, b, 2, 4, 3), (std::vector<PairRecord>{{0, 1, 0}, {1, 0, 0}}));
}

TEST(ByteCrossJoin, PairAgreeingOnOneChunkOrAll) {
    // d_bytes = 4, k = 1: chunks [0, 2) and [2, 4).
    const std::vector<std::uint8_t> a{0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(find_pairs_cross(a, 1, std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0x01}, 1, 4, 1),
              (std::vector<PairRecord>{{0, 0, 1}}));
    EXPECT_EQ(find_pairs_cross(a, 1, a, 1, 4, 1), (std::vector<PairRecord>{{0, 0, 0}}));
    // Agrees on [0, 2), distance k + 1: a candidate, rejected.
    EXPECT_TRUE(find_pairs_cross(a, 1, std::vector<std::uint8_t>{0x00, 0x00, 0x01, 0x01}, 1, 4, 1).empty());
}

std::string k_too_large(std::uint32_t k, std::uint64_t d_bytes) {
    return "brimel: k (" + std::to_string(k) + ") must be < d_bytes (" + std::to_string(d_bytes) +
           "). At k >= d_bytes the byte-aligned chunk brimelhole can miss pairs. Use FAISS IndexBinaryFlat "
           "for that regime.";
}

TEST(ByteCrossJoin, ChecksInOrder) {
    const auto codes = testing::random_codes(4, 8, 2);
    const ByteSpan whole(codes);
    const ByteSpan short_by_one(codes.data(), codes.size() - 1);
    // Row counts past 32 bits, with buffers of the matching length that are never read.
    const std::uint64_t too_many = 4294967296ull;
    const ByteSpan huge(codes.data(), too_many);

    expect_panic([&] { find_pairs_cross(short_by_one, 4, short_by_one, 4, 8, 8); },
                 "assertion `left == right` failed: a_data length mismatch\n  left: 31\n right: 32");
    expect_panic([&] { find_pairs_cross(whole, 4, short_by_one, 4, 8, 8); },
                 "assertion `left == right` failed: b_data length mismatch\n  left: 31\n right: 32");
    expect_panic([&] { find_pairs_cross(huge, too_many, huge, too_many, 1, 1); }, k_too_large(1, 1));
    expect_panic([&] { find_pairs_cross(whole, 4, whole, 4, 8, 8); }, k_too_large(8, 8));
    expect_panic([&] { find_pairs_cross(ByteSpan{}, 0, ByteSpan{}, 0, 0, 0); }, k_too_large(0, 0));
    expect_panic([&] { find_pairs_cross(huge, too_many, huge, too_many, 1, 0); }, "n_a exceeds u32::MAX");
    expect_panic([&] { find_pairs_cross(ByteSpan(codes.data(), 2), 2, huge, too_many, 1, 0); },
                 "n_b exceeds u32::MAX");
}

}  // namespace
}  // namespace brimel
