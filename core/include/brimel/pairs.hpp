// Pair joins over any plan, verified tile by tile, and find_pairs, the join
// whose plan the planner picks.
//
// For each part of a plan in turn, rows are grouped by the part's key (radix
// sort); each group's codes are copied into a word-major tile and every query
// row of the group, or of a group whose key lies within the part's threshold,
// is verified against the tile by the scan kernel. (A self-join of one-word
// codes on exact-match parts reads its groups from the input, and compares
// the pairs of a group of a few rows directly.) A pair near on several
// parts is verified on each but recorded only by the first part on which it is
// near, so no candidate list is ever held and no repeats need removing.
// Memory beyond the input and the records: O(n) for the part in flight (about
// 24 bytes per row while grouping) and one tile per worker.
//
// Results: every pair within k and nothing else, with its exact distance,
// ascending by (i, j); i < j in a self-join, i a row of A and j of B in a
// cross-join. Identical for any number of workers. Runs on the worker pool;
// call without the Python interpreter lock held.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "brimel/plan.hpp"
#include "brimel/run_control.hpp"
#include "brimel/types.hpp"

namespace brimel {

struct PartStats {
    std::uint64_t groups = 0;    // distinct keys of A's rows
    std::uint64_t verified = 0;  // pairs counted by the kernel
    std::uint64_t recorded = 0;  // pairs this part was the first to find
};

struct JoinStats {
    std::string plan;              // Plan::name
    std::vector<PartStats> parts;  // one per part; none for the scan
    std::uint64_t verified = 0;
    std::uint64_t pairs = 0;
};

// Every pair of `input` within input.k, found with `plan`. Exact for any plan
// with sum(t_p + 1) > k (or none); the caller has checked lengths and row
// counts. With `control`, the run reports its progress there and stops with
// Cancelled once it is cancelled (brimel/run_control.hpp); so do all the
// joins below that take one.
std::vector<PairRecord> join_with_plan(const JoinInput& input, const Plan& plan, JoinStats* stats = nullptr,
                                       RunControl* control = nullptr);

// The planned join of A with itself (b = std::nullopt) or with B, for any
// k < 8 * d_bytes. Checks, in order, before any row is read: a_data.size() ==
// n_a * d_bytes ("a_data length mismatch"), the same for B, k < 8 * d_bytes
// ("find_pairs: k (<k>) must be < 8*d_bytes (<8 * d_bytes>)"), all Panic, then
// n_a and n_b at most kMaxRows, else RowLimit ("more than 4294967295 rows: row
// ids are unsigned 32-bit").
std::vector<PairRecord> find_pairs(ByteSpan a_data, std::uint64_t n_a, std::optional<ByteSpan> b_data,
                                   std::uint64_t n_b, std::uint64_t d_bytes, std::uint32_t k,
                                   JoinStats* stats = nullptr, RunControl* control = nullptr);

// The planner's view of the same call: every plan considered with its
// estimates, and the one find_pairs would run. Same checks.
PlanChoice explain_pairs(ByteSpan a_data, std::uint64_t n_a, std::optional<ByteSpan> b_data,
                         std::uint64_t n_b, std::uint64_t d_bytes, std::uint32_t k);

// The records as three columns, record r to i[r], j[r] and dist[r] (arrays
// of records.size() entries): 2-byte distances when dist_bytes is 2 (every
// distance then below 65,536), else 4. Runs on the worker pool: on fresh
// arrays the first touch of their pages costs more than the copy (about 1 s
// for 55M records on one core), and it is spread over every worker.
void split_records(std::span<const PairRecord> records, std::uint32_t* i, std::uint32_t* j, void* dist,
                   unsigned dist_bytes);

// The rows of A grouped by "within distance k", transitively: label[r] is the
// lowest row of r's connected component in the graph of pairs within k.
// Identical codes are collapsed first (rows sorted by a hash of their code
// with a per-process random seed; rows whose hashes agree are compared in
// full, so colliding codes, even crafted ones, cost a sort and no more), the
// planned self-join runs on the distinct codes with a union-find as its sink,
// and the labels are spread back over the rows: a cluster of identical rows
// costs O(rows), and no pair list is ever held. Memory beyond the input and
// the labels: about 16 bytes per row while collapsing, then 8 per row, a copy
// of the distinct codes (none when every code is distinct) and the join's
// grouping over them. Same checks, messages and k range as find_pairs with
// b = std::nullopt.
std::vector<std::uint32_t> find_groups(ByteSpan a_data, std::uint64_t n_a, std::uint64_t d_bytes,
                                       std::uint32_t k, RunControl* control = nullptr);

}  // namespace brimel
