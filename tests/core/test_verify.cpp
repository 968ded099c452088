#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "brimel/errors.hpp"
#include "brimel/pool.hpp"
#include "brimel/verify.hpp"
#include "self_join_pipeline.hpp"
#include "test_support.hpp"

namespace brimel {
namespace {

// Two rows of d_bytes bytes at distance `dist`, the flipped bits spread over
// the whole row so that both the word loop and the tail bytes count.
std::vector<std::uint8_t> two_rows_at(std::uint64_t d_bytes, std::uint32_t dist) {
    auto codes = testing::random_codes(2, d_bytes, 5);
    for (std::uint64_t t = 0; t < d_bytes; ++t) codes[d_bytes + t] = codes[t];
    for (std::uint32_t f = 0; f < dist; ++f) {
        const std::uint64_t bit = (f * 8 * d_bytes) / dist;  // distinct for dist <= 8 * d_bytes
        codes[d_bytes + bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    }
    return codes;
}

struct VerifyCase {
    std::uint64_t d_bytes;
    std::uint32_t dist;
};

class Verify : public ::testing::TestWithParam<VerifyCase> {};

TEST_P(Verify, AcceptsAtKRejectsAboveBothKernels) {
    const auto [d_bytes, dist] = GetParam();
    const auto codes = two_rows_at(d_bytes, dist);
    const std::vector<CandidatePair> pair{{0, 1}};
    EXPECT_EQ(hamming_distance(codes.data(), codes.data() + d_bytes, d_bytes), dist);
    for (auto kernel : {&verify_with_prefetch, &verify_with_prefetch_full}) {
        const auto at_k = kernel(pair, codes, d_bytes, dist);
        ASSERT_EQ(at_k.size(), 1u);
        EXPECT_EQ(at_k[0], (PairRecord{0, 1, dist}));
        if (dist > 0) EXPECT_TRUE(kernel(pair, codes, d_bytes, dist - 1).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, Verify,
                         ::testing::Values(VerifyCase{0, 0}, VerifyCase{5, 3}, VerifyCase{5, 40},
                                           VerifyCase{8, 1}, VerifyCase{12, 4}, VerifyCase{12, 33},
                                           VerifyCase{32, 17}, VerifyCase{33, 9}));

TEST(Verify, KeepsInputOrderAndPrefetchesSafelyOverLongRuns) {
    const std::uint64_t n = 64;
    const std::uint64_t d = 8;
    const auto codes = testing::planted_codes(n, d, 3, 9);
    std::vector<CandidatePair> pairs;
    for (std::uint32_t i = n - 1; i > 0; --i) pairs.push_back({i - 1, i});
    const auto records = verify_with_prefetch(pairs, codes, d, 64);
    ASSERT_EQ(records.size(), pairs.size());
    for (std::size_t p = 0; p < pairs.size(); ++p) EXPECT_EQ(records[p].i, pairs[p].i);
}

TEST(Verify, RowOutsideBufferPanics) {
    const auto codes = testing::random_codes(2, 8, 1);
    const std::vector<CandidatePair> pairs{{0, 2}};
    EXPECT_THROW(verify_with_prefetch(pairs, codes, 8, 3), Panic);
    EXPECT_THROW(verify_with_prefetch_full(pairs, codes, 8, 3), Panic);
}

}  // namespace
}  // namespace brimel

namespace brimel {
namespace {

// Verification pieces are cut by position in the plan-ordered candidate list
// and may span several per-chunk lists (some empty): the result must be that
// of verifying the whole list at once, sorted and free of repeats.
TEST(VerifySortDedup, PiecesSpanningChunkListsGiveTheWholeListsResult) {
    const std::uint64_t n = 400;
    const std::uint64_t d_bytes = 8;
    const std::uint32_t k = 20;
    const auto codes = testing::planted_codes(n, d_bytes, 24, 9);
    std::mt19937_64 rng(4);
    std::vector<std::vector<CandidatePair>> per_chunk;
    std::vector<CandidatePair> all;
    for (const std::size_t size : {0u, 1500u, 7u, 0u, 3100u, 1024u, 0u, 2500u}) {
        std::vector<CandidatePair> list;
        for (std::size_t c = 0; c < size; ++c) {
            const auto i = static_cast<std::uint32_t>(rng() % (n - 1));
            list.push_back({i, static_cast<std::uint32_t>(i + 1 + rng() % (n - 1 - i))});
        }
        all.insert(all.end(), list.begin(), list.end());
        per_chunk.push_back(std::move(list));
    }
    auto expected = verify_with_prefetch(all, codes, d_bytes, k);
    std::sort(expected.begin(), expected.end());
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    ASSERT_FALSE(expected.empty());

    std::vector<PairRecord> got;
    pool::run([&] {
        got = detail::verify_sort_dedup(std::move(per_chunk), codes, d_bytes, k,
                                        detail::VerifyKernel::early_exit);
    });
    EXPECT_EQ(got, expected);
}

}  // namespace
}  // namespace brimel
