// The joins with fixed chunk plans: byte chunks, bit chunks and the entropy
// chunks of the adaptive self-join, each k + 1 exact-match parts. They check
// their input exactly as they always have, then run on the tile pipeline;
// where the planner expects the tile scan to be cheaper than the chunk plan
// (heavy groups, natural or crafted), the scan runs instead, with the same
// records.
#include <algorithm>
#include <functional>
#include <vector>

#include "brimel/bit_plan.hpp"
#include "brimel/byte_plan.hpp"
#include "brimel/cross_join.hpp"
#include "brimel/entropy.hpp"
#include "brimel/errors.hpp"
#include "brimel/limits.hpp"
#include "brimel/pairs.hpp"
#include "brimel/self_join.hpp"

namespace brimel {
namespace {

// Rows read for the adaptive join's entropy estimate, at most.
constexpr std::uint64_t kEntropySampleRows = 10000;

void check_self_join_input(ByteSpan data, std::uint64_t n, std::uint64_t d_bytes) {
    assert_equal(data.size(), n * d_bytes, "data length mismatch");
    if (!rows_fit_ids(n)) panic(messages::rows_exceed_ids("n"));
}

void check_cross_join_lengths(ByteSpan a_data, std::uint64_t n_a, ByteSpan b_data, std::uint64_t n_b,
                              std::uint64_t d_bytes) {
    assert_equal(a_data.size(), n_a * d_bytes, "a_data length mismatch");
    assert_equal(b_data.size(), n_b * d_bytes, "b_data length mismatch");
}

void check_cross_join_rows(std::uint64_t n_a, std::uint64_t n_b) {
    if (!rows_fit_ids(n_a)) panic(messages::rows_exceed_ids("n_a"));
    if (!rows_fit_ids(n_b)) panic(messages::rows_exceed_ids("n_b"));
}

void check_bit_k(std::uint32_t k, std::uint64_t d_bytes) {
    if (!k_below_code_bits(k, d_bytes)) panic(messages::k_not_below_code_bits("brimel: ", k, d_bytes));
}

void check_bit_plan(std::uint64_t d_bytes, std::uint32_t k) {
    if (!bit_plan_fits_chunk_keys(d_bytes, k)) panic(messages::kChunkTooWide);
}

// The chunk plan made by make_chunks(), or the tile scan where that is
// expected to be cheaper. A plan of at most k chunks (a byte plan asked for
// k >= d_bytes) can miss pairs; it runs as it is, so its records stay those
// of its chunks. Nothing is made without a pair of rows, nor when the scan
// costs less than any plan of `chunks_at_least` parts: the k + 1 chunks of a
// large k over a few rows would cost far more than the scan, in time and memory.
std::vector<PairRecord> join_fixed(const JoinInput& input, std::uint64_t chunks_at_least,
                                   const std::function<Plan()>& make_chunks, RunControl* control) {
    if (input.n_a == 0 || (input.self() ? input.n_a < 2 : input.n_b == 0)) return {};
    // Rows wider than this exist only as views of memory that is not there;
    // the bit count the plans are made from would have wrapped.
    check_code_width(input.d_bytes);
    if (chunks_at_least > input.k && scan_beats_plans_of(input, chunks_at_least))
        return join_with_plan(input, scan_plan(), nullptr, control);
    Plan chunks = make_chunks();
    if (chunks.parts.empty()) return {};  // rows of zero bytes: no chunk, no candidate
    if (chunks.parts.size() <= input.k) return join_with_plan(input, chunks, nullptr, control);
    std::vector<Plan> plans;
    plans.push_back(std::move(chunks));
    const PlanChoice choice = choose_plan(input, std::move(plans));
    return join_with_plan(input, choice.plan(), nullptr, control);
}

std::vector<PairRecord> byte_self_join(ByteSpan data, std::uint64_t n, std::uint64_t d_bytes, std::uint32_t k,
                                       RunControl* control) {
    check_self_join_input(data, n, d_bytes);
    // With no row pair there is nothing to plan (and k may be far beyond the
    // code width: the caller checks it).
    if (n < 2) return {};
    return join_fixed(
        {data.data(), n, nullptr, 0, d_bytes, k}, chunk_count_at_least(d_bytes, std::uint64_t{k} + 1),
        [&] { return byte_chunk_plan(d_bytes, k); }, control);
}

}  // namespace

std::vector<PairRecord> find_pairs_self_no_dedup_par_prefetch(ByteSpan data, std::uint64_t n,
                                                              std::uint64_t d_bytes, std::uint32_t k,
                                                              RunControl* control) {
    return byte_self_join(data, n, d_bytes, k, control);
}

std::vector<PairRecord> find_pairs_self_no_dedup_par_prefetch_full(ByteSpan data, std::uint64_t n,
                                                                   std::uint64_t d_bytes, std::uint32_t k,
                                                                   RunControl* control) {
    return byte_self_join(data, n, d_bytes, k, control);
}

std::vector<PairRecord> find_pairs_self_bit(ByteSpan data, std::uint64_t n, std::uint64_t d_bytes,
                                            std::uint32_t k, RunControl* control) {
    check_self_join_input(data, n, d_bytes);
    check_bit_k(k, d_bytes);
    check_bit_plan(d_bytes, k);
    return join_fixed(
        {data.data(), n, nullptr, 0, d_bytes, k}, bit_plan_chunks_at_least(d_bytes, k),
        [&] { return chunk_plan(plan_bit_chunks(d_bytes, k)); }, control);
}

std::vector<PairRecord> find_pairs_self_adaptive(ByteSpan data, std::uint64_t n, std::uint64_t d_bytes,
                                                 std::uint32_t k, RunControl* control) {
    check_self_join_input(data, n, d_bytes);
    if (k == 0) return find_pairs_self_bit(data, n, d_bytes, 0, control);

    // Fewer than two rows leave every bit constant over the sample: fall back
    // without counting bits (8 * d_bytes counters, whatever d_bytes is).
    if (n < 2) return find_pairs_self_bit(data, n, d_bytes, k, control);

    check_code_width(d_bytes);  // 8 * d_bytes bits are counted
    const std::uint64_t num_lists = std::uint64_t{k} + 1;
    const std::vector<double> entropies =
        estimate_bit_entropies(data, n, d_bytes, std::min(std::max<std::uint64_t>(n, 1), kEntropySampleRows));
    // The plan deals the highest-entropy positions one per list first, so some
    // list stays empty exactly when fewer than k + 1 positions vary: then the
    // bit plan runs. Testing the count first keeps a huge k from building
    // billions of empty lists.
    const auto varying = static_cast<std::uint64_t>(
        std::count_if(entropies.begin(), entropies.end(), [](double e) { return e > 0.0; }));
    if (varying < num_lists) return find_pairs_self_bit(data, n, d_bytes, k, control);
    const PositionLists lists = plan_adaptive_chunks(entropies, num_lists, kMaxChunkBits);
    return join_fixed(
        {data.data(), n, nullptr, 0, d_bytes, k}, lists.size(), [&] { return chunk_plan(lists); }, control);
}

std::vector<PairRecord> find_pairs_cross(ByteSpan a_data, std::uint64_t n_a, ByteSpan b_data,
                                         std::uint64_t n_b, std::uint64_t d_bytes, std::uint32_t k,
                                         RunControl* control) {
    check_cross_join_lengths(a_data, n_a, b_data, n_b, d_bytes);
    if (k >= d_bytes) panic(messages::k_not_below_d_bytes(k, d_bytes, messages::kEngineAdvice));
    check_cross_join_rows(n_a, n_b);
    return join_fixed(
        {a_data.data(), n_a, b_data.data(), n_b, d_bytes, k},
        chunk_count_at_least(d_bytes, std::uint64_t{k} + 1), [&] { return byte_chunk_plan(d_bytes, k); },
        control);
}

std::vector<PairRecord> find_pairs_cross_bit(ByteSpan a_data, std::uint64_t n_a, ByteSpan b_data,
                                             std::uint64_t n_b, std::uint64_t d_bytes, std::uint32_t k,
                                             RunControl* control) {
    check_cross_join_lengths(a_data, n_a, b_data, n_b, d_bytes);
    check_bit_k(k, d_bytes);
    check_cross_join_rows(n_a, n_b);
    check_bit_plan(d_bytes, k);
    return join_fixed(
        {a_data.data(), n_a, b_data.data(), n_b, d_bytes, k}, bit_plan_chunks_at_least(d_bytes, k),
        [&] { return chunk_plan(plan_bit_chunks(d_bytes, k)); }, control);
}

}  // namespace brimel
