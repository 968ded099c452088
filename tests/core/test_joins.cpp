// The join pipeline against the brute-force reference, over every kind of
// plan; the engine checks of each join, in order; the planner's plans.
// CTest runs the *Join* tests again under pools of 1, 2 and 8 workers.
#include <gtest/gtest.h>

#include <numeric>
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

using testing::expect_panic;

// Rows that all share their first 4 bytes: every 16- or 32-bit part over
// them is one group holding every row.
std::vector<std::uint8_t> flood_codes(std::uint64_t n, std::uint64_t d_bytes, std::uint32_t seed) {
    auto codes = testing::planted_codes(n, d_bytes, 3, seed);
    for (std::uint64_t r = 0; r < n; ++r)
        for (std::uint64_t t = 0; t < std::min<std::uint64_t>(4, d_bytes); ++t) codes[r * d_bytes + t] = 0xA5;
    return codes;
}

std::vector<std::uint8_t> make(const std::string& kind, std::uint64_t n, std::uint64_t d, std::uint32_t k,
                               std::uint32_t seed) {
    if (kind == "random") return testing::random_codes(n, d, seed);
    if (kind == "clustered") return testing::clustered_codes(n, d, 9, seed);
    if (kind == "flood") return flood_codes(n, d, seed);
    return testing::planted_codes(n, d, k + 1, seed);
}

// Plans of every kind for (d_bytes, k): the candidate plans (even and, on
// skewed bits, balanced, with thresholds), the k + 1 bit chunks (hashed when
// wider than 64 bits), and the scan.
std::vector<Plan> every_plan(const std::vector<std::uint8_t>& codes, std::uint64_t n, std::uint64_t d,
                             std::uint32_t k) {
    auto entropies = estimate_bit_entropies(codes, n, d, 1000);
    for (std::size_t p = 0; p < entropies.size(); p += 3) entropies[p] *= 0.5;  // force balanced plans too
    std::vector<Plan> plans = candidate_plans(d, k, &entropies);
    const auto chunks = plan_bit_chunks(d, k);
    if (plan_fits_chunk_keys(chunks)) plans.push_back(chunk_plan(chunks));
    plans.push_back(scan_plan());
    return plans;
}

struct JoinCase {
    const char* kind;
    std::uint64_t n;
    std::uint64_t d_bytes;
    std::uint32_t k;
};

class PlannedJoin : public ::testing::TestWithParam<JoinCase> {};

TEST_P(PlannedJoin, EveryPlanEqualsBruteForce) {
    const JoinCase& c = GetParam();
    const auto a = make(c.kind, c.n, c.d_bytes, c.k, 3);
    const auto b = make(c.kind, c.n / 2 + 1, c.d_bytes, c.k, 4);
    const auto expected_self = reference::self_join(a.data(), c.n, c.d_bytes, c.k);
    const auto expected_cross = reference::cross_join(a.data(), c.n, b.data(), c.n / 2 + 1, c.d_bytes, c.k);
    for (const Plan& plan : every_plan(a, c.n, c.d_bytes, c.k)) {
        std::string parts;
        for (const Part& p : plan.parts)
            parts += std::to_string(p.width()) + "/" + std::to_string(p.threshold) + " ";
        const JoinInput self{a.data(), c.n, nullptr, 0, c.d_bytes, c.k};
        ASSERT_EQ(join_with_plan(self, plan), expected_self) << plan.name << " " << parts;
        const JoinInput cross{a.data(), c.n, b.data(), c.n / 2 + 1, c.d_bytes, c.k};
        ASSERT_EQ(join_with_plan(cross, plan), expected_cross) << plan.name << " " << parts;
    }
    EXPECT_EQ(find_pairs(a, c.n, std::nullopt, 0, c.d_bytes, c.k), expected_self);
    EXPECT_EQ(find_pairs(a, c.n, ByteSpan(b), c.n / 2 + 1, c.d_bytes, c.k), expected_cross);
}

// Sizes around the 2048-row tile, so large groups are cut into tiles.
INSTANTIATE_TEST_SUITE_P(Data, PlannedJoin,
                         ::testing::Values(JoinCase{"planted", 300, 8, 3}, JoinCase{"planted", 300, 8, 10},
                                           JoinCase{"planted", 200, 1, 2}, JoinCase{"planted", 200, 3, 5},
                                           JoinCase{"planted", 150, 32, 31}, JoinCase{"planted", 120, 13, 40},
                                           JoinCase{"random", 400, 2, 4}, JoinCase{"clustered", 300, 8, 2},
                                           JoinCase{"clustered", 2500, 4, 1}, JoinCase{"flood", 4500, 8, 3},
                                           JoinCase{"flood", 700, 32, 15}, JoinCase{"planted", 60, 24, 0}),
                         [](const auto& info) {
                             const JoinCase& c = info.param;
                             return std::string(c.kind) + "_n" + std::to_string(c.n) + "_d" +
                                    std::to_string(c.d_bytes) + "_k" + std::to_string(c.k);
                         });

// The fixed joins keep their records whichever plan the planner runs them on.
TEST(FixedJoin, EqualsBruteForce) {
    for (const auto& [kind, n, d, k] : std::vector<JoinCase>{{"planted", 500, 8, 3},
                                                             {"flood", 3000, 8, 2},
                                                             {"clustered", 400, 32, 7},
                                                             {"planted", 300, 20, 19},
                                                             {"planted", 200, 3, 23}}) {
        const auto a = make(kind, n, d, k, 8);
        const auto b = make(kind, n / 3, d, k, 9);
        const auto self = reference::self_join(a.data(), n, d, k);
        const auto cross = reference::cross_join(a.data(), n, b.data(), n / 3, d, k);
        EXPECT_EQ(find_pairs_self_bit(a, n, d, k), self) << kind << k;
        EXPECT_EQ(find_pairs_self_adaptive(a, n, d, k), self) << kind << k;
        EXPECT_EQ(find_pairs_cross_bit(a, n, b, n / 3, d, k), cross) << kind << k;
        if (k < d) {
            EXPECT_EQ(find_pairs_self_no_dedup_par_prefetch(a, n, d, k), self) << kind << k;
            EXPECT_EQ(find_pairs_self_no_dedup_par_prefetch_full(a, n, d, k), self) << kind << k;
            EXPECT_EQ(find_pairs_cross(a, n, b, n / 3, d, k), cross) << kind << k;
        }
    }
}

TEST(FixedJoin, WorkedExamples) {
    const std::vector<std::uint8_t> codes{0x00, 0x00, 0x00, 0x01, 0x01, 0x01, 0x00, 0x00};
    const std::vector<PairRecord> expected{{0, 1, 1}, {0, 3, 0}, {1, 2, 1}, {1, 3, 1}};
    EXPECT_EQ(find_pairs_self_no_dedup_par_prefetch(codes, 4, 2, 1), expected);
    // k = 0 over 32 bytes keys only the first 16, but verifies whole rows.
    std::vector<std::uint8_t> wide(4 * 32, 0x5A);
    wide[2 * 32 + 31] ^= 0x01;
    wide[3 * 32 + 0] ^= 0x80;
    EXPECT_EQ(find_pairs_self_bit(wide, 4, 32, 0), (std::vector<PairRecord>{{0, 1, 0}}));
    EXPECT_EQ(find_pairs_cross_bit(wide, 4, wide, 4, 32, 0),
              (std::vector<PairRecord>{{0, 0, 0}, {0, 1, 0}, {1, 0, 0}, {1, 1, 0}, {2, 2, 0}, {3, 3, 0}}));
    // Rows of zero bytes give an empty plan: no rows are read, however many.
    EXPECT_TRUE(find_pairs_self_no_dedup_par_prefetch(ByteSpan{}, 4294967295ull, 0, 3).empty());
}

TEST(FixedJoin, ChecksInOrder) {
    const auto codes = testing::random_codes(4, 8, 2);
    const ByteSpan whole(codes);
    const ByteSpan short_by_one(codes.data(), codes.size() - 1);
    const std::string length =
        "assertion `left == right` failed: data length mismatch\n  left: 31\n right: 32";
    const std::string a_length =
        "assertion `left == right` failed: a_data length mismatch\n  left: 31\n right: 32";
    const std::string b_length =
        "assertion `left == right` failed: b_data length mismatch\n  left: 31\n right: 32";
    const auto byte_k = [](int k, int d) {
        return "brimel: k (" + std::to_string(k) + ") must be < d_bytes (" + std::to_string(d) +
               "). At k >= d_bytes the byte-aligned chunk brimelhole can miss pairs. Use FAISS "
               "IndexBinaryFlat "
               "for that regime.";
    };
    const std::uint64_t too_many = 4294967296ull;
    const ByteSpan huge(codes.data(), too_many);  // never read
    for (auto join : {&find_pairs_self_no_dedup_par_prefetch, &find_pairs_self_no_dedup_par_prefetch_full,
                      &find_pairs_self_bit, &find_pairs_self_adaptive}) {
        expect_panic([&] { join(short_by_one, 4, 8, 64, nullptr); }, length);
        expect_panic([&] { join(ByteSpan{}, too_many, 0, 1, nullptr); }, "n exceeds u32::MAX");
    }
    expect_panic([&] { find_pairs_self_bit(codes, 4, 8, 64); }, "brimel: k (64) must be < 8*d_bytes (64)");
    expect_panic([&] { find_pairs_self_bit(ByteSpan{}, 0, 0, 0); }, "brimel: k (0) must be < 8*d_bytes (0)");
    expect_panic([&] { find_pairs_self_bit(ByteSpan{}, 0, 64, 1); }, "bit chunk wider than 128 bits");
    expect_panic([&] { find_pairs_self_adaptive(codes, 4, 8, 4294967295u); },
                 "brimel: k (4294967295) must be < 8*d_bytes (64)");
    EXPECT_TRUE(find_pairs_self_bit(ByteSpan{}, 0, 64, 0).empty());
    EXPECT_TRUE(find_pairs_self_adaptive(ByteSpan{}, 0, 8, 3).empty());

    expect_panic([&] { find_pairs_cross(short_by_one, 4, short_by_one, 4, 8, 8); }, a_length);
    expect_panic([&] { find_pairs_cross(whole, 4, short_by_one, 4, 8, 8); }, b_length);
    expect_panic([&] { find_pairs_cross(huge, too_many, huge, too_many, 1, 1); }, byte_k(1, 1));
    expect_panic([&] { find_pairs_cross(ByteSpan{}, 0, ByteSpan{}, 0, 0, 0); }, byte_k(0, 0));
    expect_panic([&] { find_pairs_cross(huge, too_many, huge, too_many, 1, 0); }, "n_a exceeds u32::MAX");
    expect_panic([&] { find_pairs_cross(ByteSpan(codes.data(), 2), 2, huge, too_many, 1, 0); },
                 "n_b exceeds u32::MAX");
    expect_panic([&] { find_pairs_cross_bit(short_by_one, 4, short_by_one, 4, 8, 64); }, a_length);
    expect_panic([&] { find_pairs_cross_bit(whole, 4, short_by_one, 4, 8, 64); }, b_length);
    expect_panic([&] { find_pairs_cross_bit(whole, 4, whole, 4, 8, 64); },
                 "brimel: k (64) must be < 8*d_bytes (64)");
    expect_panic([&] { find_pairs_cross_bit(ByteSpan{}, 0x2000000000000000ull, ByteSpan{}, 0, 8, 3); },
                 "n_a exceeds u32::MAX");
    expect_panic([&] { find_pairs_cross_bit(ByteSpan{}, 0, ByteSpan{}, 0x2000000000000000ull, 8, 3); },
                 "n_b exceeds u32::MAX");
    expect_panic([&] { find_pairs_cross_bit(ByteSpan{}, 0, ByteSpan{}, 0, 64, 1); },
                 "bit chunk wider than 128 bits");

    expect_panic([&] { find_pairs(short_by_one, 4, std::nullopt, 0, 8, 3); }, a_length);
    expect_panic([&] { find_pairs(whole, 4, short_by_one, 4, 8, 3); }, b_length);
    expect_panic([&] { find_pairs(whole, 4, std::nullopt, 0, 8, 64); },
                 "find_pairs: k (64) must be < 8*d_bytes (64)");
    expect_panic([&] { find_pairs(ByteSpan{}, 0x2000000000000000ull, std::nullopt, 0, 8, 3); },
                 "n_a exceeds u32::MAX");
}

// Every candidate plan is exact (sum(t_p + 1) > k over disjoint parts) and
// within the limits; the planner is deterministic and turns to the scan
// when every row shares one value on every part.
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

TEST(Planner, ChoosesTheScanForAFloodAndIsDeterministic) {
    // 12,000 rows: past the size below which no sample is drawn.
    const std::vector<std::uint8_t> same(12000 * 8, 0x3C);
    const JoinInput input{same.data(), 12000, nullptr, 0, 8, 3};
    EXPECT_TRUE(choose_plan(input, candidate_plans(8, 3, nullptr)).plan().is_scan());
    const auto codes = testing::random_codes(20000, 8, 4);
    const JoinInput random{codes.data(), 20000, nullptr, 0, 8, 3};
    const PlanChoice first = choose_plan(random, candidate_plans(8, 3, nullptr));
    EXPECT_FALSE(first.plan().is_scan());
    const PlanChoice again = choose_plan(random, candidate_plans(8, 3, nullptr));
    ASSERT_EQ(first.options.size(), again.options.size());
    for (std::size_t o = 0; o < first.options.size(); ++o)
        EXPECT_EQ(first.options[o].cost, again.options[o].cost);
}

}  // namespace
}  // namespace brimel
