// What the engine fuzzer (at most 64 rows) cannot reach: every plan and every
// fixed join against the brute-force reference on groups of thousands of rows
// (cut into 2048-row tiles) and 32-byte rows; the planner's plans. CTest runs
// the *Join* tests again under pools of 1, 2 and 8 workers. (Each join's checks
// and their order: tests/python/test_entry_points.py.)
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
