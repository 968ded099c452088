#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "brimel/errors.hpp"
#include "brimel/self_join.hpp"
#include "brute_force.hpp"
#include "self_join_pipeline.hpp"
#include "test_support.hpp"

namespace brimel {
namespace {

using SelfJoin = std::vector<PairRecord> (*)(ByteSpan, std::uint64_t, std::uint64_t, std::uint32_t);

struct JoinCase {
    const char* data_kind;
    std::uint64_t n;
    std::uint64_t d_bytes;
    std::uint32_t k;
};

std::vector<std::uint8_t> make(const JoinCase& c) {
    const std::string kind = c.data_kind;
    if (kind == "random") return testing::random_codes(c.n, c.d_bytes, 17);
    if (kind == "clustered") return testing::clustered_codes(c.n, c.d_bytes, 30, 17);
    if (kind == "equal") return std::vector<std::uint8_t>(c.n * c.d_bytes, 0x3C);
    return testing::planted_codes(c.n, c.d_bytes, c.k + 1, 17);
}

class ByteSelfJoin : public ::testing::TestWithParam<JoinCase> {};

// Both byte self-joins equal the brute-force reference on every input; run
// under several pool sizes by CTest (RAYON_NUM_THREADS = 1, 2, 8).
TEST_P(ByteSelfJoin, EqualsBruteForce) {
    const JoinCase c = GetParam();
    const auto codes = make(c);
    const auto expected = reference::self_join(codes.data(), c.n, c.d_bytes, c.k);
    EXPECT_EQ(find_pairs_self_no_dedup_par_prefetch(codes, c.n, c.d_bytes, c.k), expected);
    EXPECT_EQ(find_pairs_self_no_dedup_par_prefetch_full(codes, c.n, c.d_bytes, c.k), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ByteSelfJoin,
    ::testing::Values(JoinCase{"planted", 0, 8, 3}, JoinCase{"planted", 1, 8, 3}, JoinCase{"planted", 2000, 8, 3},
                      JoinCase{"planted", 2000, 8, 7}, JoinCase{"planted", 1500, 2, 1},
                      JoinCase{"planted", 1500, 12, 5}, JoinCase{"planted", 800, 17, 0},
                      JoinCase{"planted", 800, 32, 1}, JoinCase{"planted", 800, 34, 1},
                      JoinCase{"planted", 600, 32, 12}, JoinCase{"random", 3000, 3, 2},
                      JoinCase{"clustered", 1200, 8, 3}, JoinCase{"clustered", 900, 20, 0},
                      JoinCase{"equal", 300, 8, 2}, JoinCase{"equal", 120, 40, 0}),
    [](const auto& info) {
        const JoinCase& c = info.param;
        return std::string(c.data_kind) + "_n" + std::to_string(c.n) + "_d" + std::to_string(c.d_bytes) + "_k" +
               std::to_string(c.k);
    });

TEST(ByteSelfJoin, WorkedExample) {
    const std::vector<std::uint8_t> codes{0x00, 0x00, 0x00, 0x01, 0x01, 0x01, 0x00, 0x00};
    const std::vector<PairRecord> expected{{0, 1, 1}, {0, 3, 0}, {1, 2, 1}, {1, 3, 1}};
    EXPECT_EQ(find_pairs_self_no_dedup_par_prefetch(codes, 4, 2, 1), expected);
}

TEST(ByteSelfJoin, ZeroWidthRowsGiveAnEmptyPlan) {
    const std::vector<std::uint8_t> none;
    EXPECT_TRUE(find_pairs_self_no_dedup_par_prefetch(none, 4294967295ull, 0, 3).empty());
}

void expect_panic(const std::function<void()>& call, const std::string& message) {
    try {
        call();
        FAIL() << "expected Panic: " << message;
    } catch (const Panic& e) {
        EXPECT_EQ(e.what(), message);
    }
}

TEST(ByteSelfJoin, Checks) {
    const auto codes = testing::random_codes(4, 8, 2);
    const ByteSpan short_by_one(codes.data(), codes.size() - 1);
    for (SelfJoin join : {&find_pairs_self_no_dedup_par_prefetch, &find_pairs_self_no_dedup_par_prefetch_full}) {
        expect_panic([&] { join(short_by_one, 4, 8, 3); },
                     "assertion `left == right` failed: data length mismatch\n  left: 31\n right: 32");
        expect_panic([&] { join(ByteSpan{}, 4294967296ull, 0, 3); }, "n exceeds u32::MAX");
    }
}

TEST(VerificationPieces, SizeRule) {
    EXPECT_EQ(detail::verification_piece_size(1, 2), 1024u);
    EXPECT_EQ(detail::verification_piece_size(1024, 0), 1024u);
    EXPECT_EQ(detail::verification_piece_size(80000, 2), 10000u);
    EXPECT_EQ(detail::verification_piece_size(80000, 0), 20000u);
}

}  // namespace
}  // namespace brimel
