// find_pairs: the planned join for any k below the code width.
#include <string>

#include "brimel/entropy.hpp"
#include "brimel/errors.hpp"
#include "brimel/pairs.hpp"

namespace brimel {
namespace {

// Rows read for the entropy estimate behind the balanced plans, at most.
constexpr std::uint64_t kEntropySampleRows = 4096;

JoinInput checked_input(ByteSpan a_data, std::uint64_t n_a, std::optional<ByteSpan> b_data, std::uint64_t n_b,
                        std::uint64_t d_bytes, std::uint32_t k) {
    assert_equal(a_data.size(), n_a * d_bytes, "a_data length mismatch");
    if (b_data) assert_equal(b_data->size(), n_b * d_bytes, "b_data length mismatch");
    if (std::uint64_t{k} >= 8 * d_bytes)
        panic("find_pairs: k (" + std::to_string(k) + ") must be < 8*d_bytes (" +
              std::to_string(8 * d_bytes) + ")");
    if (n_a > kMaxRows) panic("n_a exceeds u32::MAX");
    if (b_data && n_b > kMaxRows) panic("n_b exceeds u32::MAX");
    return {a_data.data(), n_a, b_data ? b_data->data() : nullptr, b_data ? n_b : 0, d_bytes, k};
}

bool no_pair_possible(const JoinInput& input) {
    return input.n_a == 0 || (input.self() ? input.n_a < 2 : input.n_b == 0);
}

PlanChoice plan_for(const JoinInput& input) {
    if (is_tiny(input)) {  // the scan, the other options shown as for uniform codes
        PlanChoice choice = choose_plan(input, candidate_plans(input.d_bytes, input.k, nullptr));
        choice.chosen = choice.options.size() - 1;
        return choice;
    }
    const std::vector<double> entropies = estimate_bit_entropies(
        ByteSpan(input.a, input.n_a * input.d_bytes), input.n_a, input.d_bytes, kEntropySampleRows);
    return choose_plan(input, candidate_plans(input.d_bytes, input.k, &entropies));
}

}  // namespace

std::vector<PairRecord> find_pairs(ByteSpan a_data, std::uint64_t n_a, std::optional<ByteSpan> b_data,
                                   std::uint64_t n_b, std::uint64_t d_bytes, std::uint32_t k,
                                   JoinStats* stats) {
    const JoinInput input = checked_input(a_data, n_a, b_data, n_b, d_bytes, k);
    if (no_pair_possible(input)) {
        if (stats != nullptr) *stats = JoinStats{"none", {}, 0, 0};
        return {};
    }
    return join_with_plan(input, plan_for(input).plan(), stats);
}

PlanChoice explain_pairs(ByteSpan a_data, std::uint64_t n_a, std::optional<ByteSpan> b_data,
                         std::uint64_t n_b, std::uint64_t d_bytes, std::uint32_t k) {
    const JoinInput input = checked_input(a_data, n_a, b_data, n_b, d_bytes, k);
    return plan_for(input);
}

}  // namespace brimel
