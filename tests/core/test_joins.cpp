// What the engine fuzzer (at most 64 rows) cannot reach: every plan and every
// fixed join against the brute-force reference on groups of thousands of rows
// (cut into 2048-row tiles) and 32-byte rows; each join's checks, in order; the
// planner's plans. CTest runs the *Join* tests again under pools of 1, 2 and 8
// workers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "brimel/bit_plan.hpp"
#include "brimel/cross_join.hpp"
#include "brimel/entropy.hpp"
#include "brimel/pairs.hpp"
#include "brimel/self_join.hpp"
#include "brute_force.hpp"
#include "test_support.hpp"

namespace brimel {
namespace {

struct JoinCase {
    const char* kind;  // "flood": every row shares its first 4 bytes; "clustered": 9 distinct rows
    std::uint64_t n, d_bytes;
    std::uint32_t k;
};

class Join : public ::testing::TestWithParam<JoinCase> {};

TEST_P(Join, EveryPlanAndFixedJoinEqualsBruteForce) {
    const auto [kind, n, d, k] = GetParam();
    const auto make = [&, kind = std::string(kind)](std::uint64_t rows, std::uint32_t seed) {
        if (kind == "clustered") return testing::clustered_codes(rows, d, 9, seed);
        auto codes = testing::planted_codes(rows, d, k + 1, seed);
        for (std::uint64_t r = 0; kind == "flood" && r < rows; ++r) std::fill_n(&codes[r * d], 4, 0xA5);
        return codes;
    };
    const auto a = make(n, 3), b = make(n / 2 + 1, 4);
    const auto self = reference::self_join(a.data(), n, d, k);
    const auto cross = reference::cross_join(a.data(), n, b.data(), n / 2 + 1, d, k);
    // The candidate plans (balanced ones too, on skewed bits), the k + 1 bit
    // chunks and the scan.
    auto entropies = estimate_bit_entropies(a, n, d, 1000);
    for (std::size_t p = 0; p < entropies.size(); p += 3) entropies[p] *= 0.5;
    std::vector<Plan> plans = candidate_plans(d, k, &entropies);
    if (plan_fits_chunk_keys(plan_bit_chunks(d, k))) plans.push_back(chunk_plan(plan_bit_chunks(d, k)));
    plans.push_back(scan_plan());
    for (const Plan& plan : plans) {
        ASSERT_EQ(join_with_plan({a.data(), n, nullptr, 0, d, k}, plan), self) << plan.name;
        ASSERT_EQ(join_with_plan({a.data(), n, b.data(), n / 2 + 1, d, k}, plan), cross) << plan.name;
    }
    EXPECT_EQ(find_pairs(a, n, std::nullopt, 0, d, k), self);
    EXPECT_EQ(find_pairs(a, n, ByteSpan(b), n / 2 + 1, d, k), cross);
    EXPECT_EQ(find_pairs_self_bit(a, n, d, k), self);
    EXPECT_EQ(find_pairs_self_adaptive(a, n, d, k), self);
    EXPECT_EQ(find_pairs_cross_bit(a, n, b, n / 2 + 1, d, k), cross);
    if (k < d) {
        EXPECT_EQ(find_pairs_self_no_dedup_par_prefetch(a, n, d, k), self);
        EXPECT_EQ(find_pairs_self_no_dedup_par_prefetch_full(a, n, d, k), self);
        EXPECT_EQ(find_pairs_cross(a, n, b, n / 2 + 1, d, k), cross);
    }
}

INSTANTIATE_TEST_SUITE_P(Data, Join,
                         ::testing::Values(JoinCase{"flood", 4500, 8, 3}, JoinCase{"clustered", 2500, 4, 1},
                                           JoinCase{"flood", 700, 32, 15}, JoinCase{"clustered", 400, 32, 7},
                                           JoinCase{"planted", 300, 20, 19},
                                           JoinCase{"planted", 150, 32, 31}));

TEST(JoinChecks, InOrder) {
    using testing::expect_panic;
    const auto codes = testing::random_codes(4, 8, 2);
    const ByteSpan whole(codes), short_by_one(codes.data(), codes.size() - 1);
    const std::uint64_t too_many = 4294967296ull, huge_n = 0x2000000000000000ull;
    const ByteSpan huge(codes.data(), too_many);  // never read
    const auto length = [](const std::string& name) {
        return "assertion `left == right` failed: " + name + " length mismatch\n  left: 31\n right: 32";
    };
    const auto byte_k = [](int k, int d) {
        return "brimel: k (" + std::to_string(k) + ") must be < d_bytes (" + std::to_string(d) +
               "). At k >= d_bytes the byte-aligned chunk brimelhole can miss pairs. Use FAISS "
               "IndexBinaryFlat for that regime.";
    };
    const std::string bit_k = "brimel: k (64) must be < 8*d_bytes (64)",
                      wide = "bit chunk wider than 128 bits";
    for (auto join : {&find_pairs_self_no_dedup_par_prefetch, &find_pairs_self_no_dedup_par_prefetch_full,
                      &find_pairs_self_bit, &find_pairs_self_adaptive}) {
        expect_panic([&] { join(short_by_one, 4, 8, 64, nullptr); }, length("data"));
        expect_panic([&] { join(ByteSpan{}, too_many, 0, 1, nullptr); }, "n exceeds u32::MAX");
    }
    expect_panic([&] { find_pairs_self_bit(codes, 4, 8, 64); }, bit_k);
    expect_panic([&] { find_pairs_self_bit(ByteSpan{}, 0, 0, 0); }, "brimel: k (0) must be < 8*d_bytes (0)");
    expect_panic([&] { find_pairs_self_bit(ByteSpan{}, 0, 64, 1); }, wide);
    expect_panic([&] { find_pairs_self_adaptive(codes, 4, 8, 4294967295u); },
                 "brimel: k (4294967295) must be < 8*d_bytes (64)");
    expect_panic([&] { find_pairs_cross(short_by_one, 4, short_by_one, 4, 8, 8); }, length("a_data"));
    expect_panic([&] { find_pairs_cross(whole, 4, short_by_one, 4, 8, 8); }, length("b_data"));
    expect_panic([&] { find_pairs_cross(huge, too_many, huge, too_many, 1, 1); }, byte_k(1, 1));
    expect_panic([&] { find_pairs_cross(ByteSpan{}, 0, ByteSpan{}, 0, 0, 0); }, byte_k(0, 0));
    expect_panic([&] { find_pairs_cross(huge, too_many, huge, too_many, 1, 0); }, "n_a exceeds u32::MAX");
    expect_panic([&] { find_pairs_cross(whole.first(2), 2, huge, too_many, 1, 0); }, "n_b exceeds u32::MAX");
    expect_panic([&] { find_pairs_cross_bit(short_by_one, 4, short_by_one, 4, 8, 64); }, length("a_data"));
    expect_panic([&] { find_pairs_cross_bit(whole, 4, short_by_one, 4, 8, 64); }, length("b_data"));
    expect_panic([&] { find_pairs_cross_bit(whole, 4, whole, 4, 8, 64); }, bit_k);
    expect_panic([&] { find_pairs_cross_bit(ByteSpan{}, huge_n, ByteSpan{}, 0, 8, 3); },
                 "n_a exceeds u32::MAX");
    expect_panic([&] { find_pairs_cross_bit(ByteSpan{}, 0, ByteSpan{}, huge_n, 8, 3); },
                 "n_b exceeds u32::MAX");
    expect_panic([&] { find_pairs_cross_bit(ByteSpan{}, 0, ByteSpan{}, 0, 64, 1); }, wide);
    expect_panic([&] { find_pairs(short_by_one, 4, std::nullopt, 0, 8, 3); }, length("a_data"));
    expect_panic([&] { find_pairs(whole, 4, short_by_one, 4, 8, 3); }, length("b_data"));
    expect_panic([&] { find_pairs(whole, 4, std::nullopt, 0, 8, 64); },
                 "find_pairs: k (64) must be < 8*d_bytes (64)");
    expect_panic([&] { find_pairs(ByteSpan{}, huge_n, std::nullopt, 0, 8, 3); }, "n_a exceeds u32::MAX");
    // Empty inputs, and rows of zero bytes (an empty plan: no row is read, however many).
    EXPECT_TRUE(find_pairs_self_bit(ByteSpan{}, 0, 64, 0).empty());
    EXPECT_TRUE(find_pairs_self_adaptive(ByteSpan{}, 0, 8, 3).empty());
    EXPECT_TRUE(find_pairs_self_no_dedup_par_prefetch(ByteSpan{}, 4294967295ull, 0, 3).empty());
}

// Every candidate plan is exact (sum(t_p + 1) > k over disjoint parts) and
// within the limits.
TEST(Planner, PlansAreExactAndBounded) {
    for (const std::uint64_t d : {1u, 2u, 8u, 13u, 32u, 128u})
        for (std::uint32_t k = 0; k < 8 * d; k += 1 + k / 3) {
            std::vector<double> skewed(8 * d, 1.0);
            for (std::size_t p = 0; p < skewed.size(); p += 2) skewed[p] = 0.3;
            for (const Plan& plan : candidate_plans(d, k, &skewed)) {
                std::uint64_t sum = 0;
                std::vector<int> used(8 * d, 0);
                for (const Part& part : plan.parts) {
                    sum += part.threshold + 1;
                    if (part.threshold > 0) EXPECT_LE(part.width(), kMaxExactPartBits);
                    EXPECT_LT(part.threshold, part.width());
                    if (part.positions.empty()) {
                        for (std::uint64_t p = part.lo; p < part.hi; ++p) ++used[p];
                    } else {
                        for (const std::uint64_t p : part.positions) ++used[p];
                    }
                }
                EXPECT_GT(sum, k) << d << " " << k << " " << plan.name;
                EXPECT_LE(*std::max_element(used.begin(), used.end()), 1);
            }
        }
}

}  // namespace
}  // namespace brimel
