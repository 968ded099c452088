// find_pairs and find_groups: the planned join for any k below the code width.
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include <cstdint>
#include <cstring>

#include "../tables/distinct_codes.hpp"
#include "brimel/entropy.hpp"
#include "brimel/errors.hpp"
#include "brimel/limits.hpp"
#include "brimel/pairs.hpp"
#include "brimel/pool.hpp"
#include "pages.hpp"
#include "tile_join.hpp"

namespace brimel {
namespace {

namespace tbb = oneapi::tbb;

// Rows read for the entropy estimate behind the balanced plans, at most.
constexpr std::uint64_t kEntropySampleRows = 4096;
// A chunk plan runs when expected to cost at most this share of the best
// plan of disjoint parts (its keys are read bit by bit, and its costs are the
// less well modelled); a block plan, this other share (its cost per part is
// measured, and a near tie is no gain).
constexpr double kChunkPlanMargin = 0.8;
constexpr double kBlockPlanMargin = 0.97;

JoinInput checked_input(ByteSpan a_data, std::uint64_t n_a, std::optional<ByteSpan> b_data, std::uint64_t n_b,
                        std::uint64_t d_bytes, std::uint32_t k) {
    assert_equal(a_data.size(), n_a * d_bytes, "a_data length mismatch");
    if (b_data) assert_equal(b_data->size(), n_b * d_bytes, "b_data length mismatch");
    if (!k_below_code_width(k, d_bytes)) panic(messages::k_not_below_code_bits("find_pairs: ", k, d_bytes));
    if (!rows_fit_ids(n_a) || (b_data && !rows_fit_ids(n_b)))
        throw RowLimit(std::string(messages::kTooManyRows));
    return {a_data.data(), n_a, b_data ? b_data->data() : nullptr, b_data ? n_b : 0, d_bytes, k};
}

bool no_pair_possible(const JoinInput& input) {
    return input.n_a == 0 || (input.self() ? input.n_a < 2 : input.n_b == 0);
}

// The plans considered: the parts of one plan, the blocks combined, and the
// fixed plans of the list-returning joins. A tiny join scans; the options
// of a join too small to sample are estimated as for uniform codes.
PlanChoice plan_for(const JoinInput& input) {
    const bool tiny = is_tiny(input);
    const bool sampled = is_sampled(input);
    std::vector<double> entropies;
    if (sampled)
        entropies = estimate_bit_entropies(ByteSpan(input.a, input.n_a * input.d_bytes), input.n_a,
                                           input.d_bytes, kEntropySampleRows);
    const std::vector<double>* skew = sampled ? &entropies : nullptr;
    // Plans of parts so many that they could not cost less than the scan are
    // not made (most of a small join's planning); a tiny join shows them all.
    const std::uint64_t most_parts = tiny ? SIZE_MAX : most_parts_below_scan(input);
    // Block plans, up to 64 parts each, are made only with as many parts as
    // could still beat the plans estimated before them (max_parts, at most
    // most_parts: the scan bounds both).
    PlanChoice choice = choose_plan(
        input, candidate_plans(input.d_bytes, input.k, skew, most_parts), 0,
        {[&](std::uint64_t max_parts) { return block_plans(input.d_bytes, input.k, skew, max_parts); },
         [&](std::uint64_t) { return fixed_plans(input.d_bytes, input.k, skew); }});
    if (tiny) {
        choice.chosen = choice.options.size() - 1;
        return choice;
    }
    // Block and chunk plans run only when expected cheaper than the best plan
    // of disjoint parts or the scan by their margin.
    const auto margin = [&](std::size_t o) {
        const std::string& name = choice.options[o].plan.name;
        return name == "chunks"                                ? kChunkPlanMargin
               : name == "blocks" || name == "balanced blocks" ? kBlockPlanMargin
                                                               : 1.0;
    };
    if (margin(choice.chosen) < 1.0) {
        std::size_t best = choice.options.size() - 1;  // the scan
        for (std::size_t o = 0; o < choice.options.size(); ++o)
            if (margin(o) == 1.0 && choice.options[o].cost < choice.options[best].cost) best = o;
        if (choice.options[choice.chosen].cost > margin(choice.chosen) * choice.options[best].cost)
            choice.chosen = best;
    }
    return choice;
}

}  // namespace

std::vector<PairRecord> find_pairs(ByteSpan a_data, std::uint64_t n_a, std::optional<ByteSpan> b_data,
                                   std::uint64_t n_b, std::uint64_t d_bytes, std::uint32_t k,
                                   JoinStats* stats, RunControl* control) {
    const JoinInput input = checked_input(a_data, n_a, b_data, n_b, d_bytes, k);
    if (no_pair_possible(input)) {
        if (stats != nullptr) *stats = JoinStats{"none", {}, 0, 0};
        return {};
    }
    check_code_width(d_bytes);  // rows that wide are views of memory that is not there
    return join_with_plan(input, is_tiny(input) ? scan_plan() : plan_for(input).plan(), stats, control);
}

PlanChoice explain_pairs(ByteSpan a_data, std::uint64_t n_a, std::optional<ByteSpan> b_data,
                         std::uint64_t n_b, std::uint64_t d_bytes, std::uint32_t k) {
    const JoinInput input = checked_input(a_data, n_a, b_data, n_b, d_bytes, k);
    return plan_for(input);
}

std::vector<std::uint32_t> find_groups(ByteSpan a_data, std::uint64_t n_a, std::uint64_t d_bytes,
                                       std::uint32_t k, RunControl* control) {
    const JoinInput input = checked_input(a_data, n_a, std::nullopt, 0, d_bytes, k);
    if (n_a <= 1) return std::vector<std::uint32_t>(n_a, 0);  // no row to compare, however wide
    check_code_width(d_bytes);
    std::vector<std::uint32_t> labels;
    pool::run([&] {
        detail::DistinctCodes distinct = detail::distinct_codes(input.a, n_a, d_bytes, control);
        const std::uint64_t m = distinct.first_row.size();
        // The join reads the distinct codes, in the order they are numbered:
        // the input itself when every code is distinct, else a copy.
        std::vector<std::uint8_t> copy;
        if (m < n_a) {
            copy.resize(m * d_bytes);
            tbb::parallel_for(tbb::blocked_range<std::size_t>(0, m, 1 << 14),
                              [&](const tbb::blocked_range<std::size_t>& codes) {
                                  for (std::size_t c = codes.begin(); c != codes.end(); ++c)
                                      std::memcpy(copy.data() + c * d_bytes,
                                                  input.a + std::uint64_t{distinct.first_row[c]} * d_bytes,
                                                  d_bytes);
                              });
        }
        detail::UnionFind groups(m);
        if (m >= 2) {
            const JoinInput codes{m < n_a ? copy.data() : input.a, m, nullptr, 0, d_bytes, k};
            detail::unite_with_plan(codes, plan_for(codes).plan(), groups, control);
        }
        // A component's lowest code number is its code with the lowest first
        // row, which is the lowest row of the component.
        labels = std::move(distinct.of_row);
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n_a, 1 << 14),
                          [&](const tbb::blocked_range<std::size_t>& rows) {
                              for (std::size_t r = rows.begin(); r != rows.end(); ++r)
                                  labels[r] = distinct.first_row[groups.find(labels[r])];
                          });
    });
    return labels;
}

void split_records(std::span<const PairRecord> records, std::uint32_t* i, std::uint32_t* j, void* dist,
                   unsigned dist_bytes) {
    // The columns are faulted in 4 KiB pages (detail::small_pages).
    detail::small_pages(i, records.size() * sizeof(std::uint32_t));
    detail::small_pages(j, records.size() * sizeof(std::uint32_t));
    detail::small_pages(dist, records.size() * dist_bytes);
    // 64k records (768 KiB read, 640 KiB written at most) per task: long
    // beside a task's start, short enough to balance two workers' faults.
    pool::run([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, records.size(), 1 << 16),
                          [&](const tbb::blocked_range<std::size_t>& r) {
                              for (std::size_t x = r.begin(); x != r.end(); ++x) {
                                  i[x] = records[x].i;
                                  j[x] = records[x].j;
                              }
                              if (dist_bytes == 2) {
                                  auto* to = static_cast<std::uint16_t*>(dist);
                                  for (std::size_t x = r.begin(); x != r.end(); ++x)
                                      to[x] = static_cast<std::uint16_t>(records[x].dist);
                              } else {
                                  auto* to = static_cast<std::uint32_t*>(dist);
                                  for (std::size_t x = r.begin(); x != r.end(); ++x) to[x] = records[x].dist;
                              }
                          });
    });
}

}  // namespace brimel
