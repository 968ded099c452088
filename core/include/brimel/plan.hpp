// Plans of the pair joins, the limits that bound them, and the planner.
//
// A plan cuts the bits of a code into m disjoint parts, part p with a
// threshold t_p. Two codes within distance k differ in at most k bits; if they
// differed in more than t_p bits of every part they would differ in at least
// sum(t_p + 1) > k bits. So whenever sum(t_p + 1) > k, every pair within k
// agrees within t_p on at least one part (the box principle, generalised):
// grouping rows by each part's value and probing the values within t_p finds
// every pair. Bits in no part cost selectivity only. The k + 1 exact-match
// chunks are the plan with every t_p = 0.
//
// A plan with no part is the tile scan: every pair is verified.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "brimel/types.hpp"

namespace brimel {

// Widest part whose value is used as a key as is, in bits; a wider part is
// keyed by a 32-bit hash of its bits, which serves exact-match parts only
// (threshold 0), so planned parts with a threshold are at most this wide.
// Keys and row ids then pack into one 64-bit word for the radix sort.
inline constexpr std::uint64_t kMaxExactPartBits = 32;
// Most probes (part values at distance 1 .. t_p of a row's own) a planned part
// may ask for per group.
inline constexpr std::uint64_t kMaxProbes = 8192;

// One part: the bit range [lo, hi) when `positions` is empty, else the listed
// bit positions (ascending, distinct). Bit numbering: bit p is the bit of
// weight 2^(7 - p mod 8) in byte p / 8.
struct Part {
    std::uint64_t lo = 0;
    std::uint64_t hi = 0;
    std::vector<std::uint64_t> positions;
    std::uint32_t threshold = 0;

    std::uint64_t width() const { return positions.empty() ? hi - lo : positions.size(); }
    // The part's bit positions, ascending.
    std::vector<std::uint64_t> bits() const;
};

struct Plan {
    // "scan", "chunks" (the fixed exact-match plans), "even" (contiguous parts
    // of nearly equal width), "balanced" (positions dealt by entropy), or
    // "blocks" / "balanced blocks" (parts combining blocks; see block_plans).
    std::string name;
    std::vector<Part> parts;

    bool is_scan() const { return parts.empty(); }
    bool same_parts(const Plan& other) const;
};

// The tile scan.
Plan scan_plan();
// k + 1 exact-match chunks over byte ranges or bit ranges, and over position
// lists (the adaptive chunks), as the fixed joins cut them.
Plan chunk_plan(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& bit_ranges);
Plan chunk_plan(const std::vector<std::vector<std::uint64_t>>& position_lists);
// The byte chunks of chunk_boundaries(d_bytes, k + 1) as bit ranges.
Plan byte_chunk_plan(std::uint64_t d_bytes, std::uint32_t k);

// The plans of the list-returning joins for codes of d_bytes bytes at bound k
// (k < 8 * d_bytes): byte chunks (when k < d_bytes), bit chunks (when they fit
// chunk keys) and, given `entropies`, the entropy chunks of the adaptive join
// (when k + 1 bits vary). The planned join weighs them too, so that it never
// expects to lose to one of them.
std::vector<Plan> fixed_plans(std::uint64_t d_bytes, std::uint32_t k, const std::vector<double>* entropies);

// The codes a join reads: A, and B for a cross-join (std::nullopt for a
// self-join), n rows of d_bytes bytes back to back each. Lengths are checked
// by the caller.
struct JoinInput {
    const std::uint8_t* a;
    std::uint64_t n_a;
    const std::uint8_t* b;  // nullptr for a self-join
    std::uint64_t n_b;
    std::uint64_t d_bytes;
    std::uint32_t k;

    bool self() const { return b == nullptr; }
    // Pairs the tile scan would verify: n_a (n_a - 1) / 2 or n_a * n_b.
    double all_pairs() const;
};

// What the planner expects of one plan on one input. Costs are in
// nanoseconds of one core; candidates are the pairs a plan verifies (a pair
// near in several parts counts once per part).
struct PlanEstimate {
    Plan plan;
    double candidates = 0;
    double cost = 0;
};

struct PlanChoice {
    std::vector<PlanEstimate> options;  // as considered; the scan is always one of them
    std::size_t chosen = 0;             // index into options

    const Plan& plan() const { return options[chosen].plan; }
};

// The plans worth considering for codes of d_bytes bytes at bound k
// (k < 8 * d_bytes): m parts for m from k + 1 down (every m up to 40, then
// the fewest parts for each threshold), thresholds summing with one per part
// to k + 1, the larger ones on the wider parts; cut evenly, and, when
// `entropies` shows bits of unequal information, also cut by entropy. Parts
// with a threshold wider than kMaxExactPartBits or needing more than
// kMaxProbes probes are left out, as are plans of more than `max_parts`
// parts. The scan is not included.
std::vector<Plan> candidate_plans(std::uint64_t d_bytes, std::uint32_t k,
                                  const std::vector<double>* entropies, std::uint64_t max_parts = SIZE_MAX);

// Block-combination plans for codes of d_bytes bytes at bound k (k < 8 *
// d_bytes): the bits cut into m blocks (evenly, or by entropy when
// `entropies` shows skewed bits), and one part for each choice of r of them
// (1 < r < m), its bits the union of those blocks, every part with threshold
//   t = r floor(k / m) + max(0, k mod m - (m - r)).
// Two codes within k differ in d_1 <= ... <= d_m bits of the blocks, summing
// to at most k; with x = d_r, the m - r largest are each at least x, so
// d_1 + ... + d_r <= min(r x, k - (m - r) x), at most t over every integer
// x. The r blocks where a pair differs least thus form a part on which it is
// near. Parts overlap, so a pair is near on several; the joins keep it on
// the first (keys/part_probe.hpp). A part wider than kMaxExactPartBits needs
// t = 0; plans of more than kMaxBlockParts parts are left out, as are parts
// needing more than kMaxProbes probes, and those of more than `max_parts`.
inline constexpr std::uint64_t kMaxBlockParts = 64;
std::vector<Plan> block_plans(std::uint64_t d_bytes, std::uint32_t k, const std::vector<double>* entropies,
                              std::uint64_t max_parts = kMaxBlockParts);

// The cuts block_plans makes its plans of: m blocks (ascending bit lists,
// disjoint, none empty), r of them per part, and the parts' threshold.
struct BlockCut {
    std::string name;  // "blocks" or "balanced blocks"
    std::vector<std::vector<std::uint64_t>> blocks;
    std::uint64_t r = 0;
    std::uint32_t threshold = 0;
};
std::vector<BlockCut> block_cuts(std::uint64_t d_bytes, std::uint32_t k, const std::vector<double>* entropies,
                                 std::uint64_t max_parts = kMaxBlockParts);

// m contiguous blocks of nearly equal width (chunk_bit_boundaries) over bits
// 0 .. total_bits - 1, as bit lists.
std::vector<std::vector<std::uint64_t>> even_blocks(std::uint64_t total_bits, std::uint64_t m);

// C(n, r), the choices of r of n things (r <= n), as a double: exact while
// it stays below 2^53.
double binomial(std::uint64_t n, std::uint64_t r);

// One part for each choice of r of `blocks` (1 <= r <= blocks.size()), its
// bits the union of the chosen blocks, all with `threshold`, in lexicographic
// order of the choices: the parts that share their first block b are
// consecutive, and come before those whose first block is after b. A part
// whose bits are contiguous is a bit range, else a position list.
std::vector<Part> block_parts(const std::vector<std::vector<std::uint64_t>>& blocks, std::uint64_t r,
                              std::uint32_t threshold);

// The threshold of block_plans' parts of r of m blocks at bound k.
std::uint32_t block_threshold(std::uint32_t k, std::uint64_t m, std::uint64_t r);

// Widest part of a stored segment, in bits: its directory is addressed by
// the part's value (2^width + 1 offsets).
inline constexpr std::uint64_t kMaxSegmentPartBits = 26;
// Most parts a stored segment keys on: each costs 4 bytes per stored row.
inline constexpr std::uint64_t kMaxSegmentParts = 64;

// The plan a stored segment of `rows` codes of d_bytes bytes keys on for
// bound k (k < 8 * d_bytes): contiguous parts of at most kMaxSegmentPartBits
// bits, each with a directory of at most about rows / 2 entries, thresholds
// summing with one per part to k + 1, over as many leading bits as that
// allows; or the scan, when it costs a query less (few rows, or a k that no
// plan of cheap probes covers). The cost is that of one query on uniform
// codes: a stored segment has no queries to sample. More rows get wider parts.
Plan segment_plan(std::uint64_t d_bytes, std::uint32_t k, std::uint64_t rows);
// The same over the listed bit positions `bits` (ascending) of d_bytes-byte
// codes only: parts are consecutive runs of the list (ranges where the bits
// are consecutive, position lists elsewhere).
Plan segment_plan(const std::vector<std::uint64_t>& bits, std::uint64_t d_bytes, std::uint32_t k,
                  std::uint64_t rows);

// True when the join is so small (all pairs times words per row below 2^23,
// about 2 ms of one core scanning) that planning would cost about what the
// scan does: find_pairs then scans.
bool is_tiny(const JoinInput& input);
// True when the join is large enough (all pairs times words per row at least
// 2^26) that measuring the codes pays: choose_plan samples pairs for each
// part's near rate, find_pairs the bits' entropies. A smaller join's options
// are estimated as for uniform codes.
bool is_sampled(const JoinInput& input);

// True when the scan is expected to cost less than any plan of `parts` parts
// or more (each part keys every row), so that such a plan is turned down
// without being made.
bool scan_beats_plans_of(const JoinInput& input, std::uint64_t parts);

// The most parts a plan can have and still be expected to cost less than
// the scan: each part costs a fixed share and a share of every row keyed,
// whatever its candidates. Plans of more parts need not be made.
std::uint64_t most_parts_below_scan(const JoinInput& input);
// The same against `cost` (nanoseconds of one core) rather than the scan's.
std::uint64_t most_parts_below(const JoinInput& input, double cost);

// Estimates every plan on a fixed-seed sample of the input's pairs (the same
// input always gets the same estimates; a tiny join's are those of uniform
// codes), adds the scan, and picks the cheapest. With `priced_rows` above 0,
// `input` is a sample of a self-join of that many rows of the same codes, and
// the options are priced for that join: pairs near on a part in the same
// share as in the sample.
PlanChoice choose_plan(const JoinInput& input, std::vector<Plan> plans, std::uint64_t priced_rows = 0);

// Plans made only once the options before them are estimated: given the
// most parts a plan may have to cost less than the cheapest of those options
// (or the scan), the plans to estimate next. Many-part plans are most of
// the plans a join could consider (up to 64 parts of a block cut), and
// making them costs more than a small join does.
using LaterPlans = std::function<std::vector<Plan>(std::uint64_t max_parts)>;
// choose_plan with `plans` estimated first, then each batch of `later` in
// turn, then the scan. A tiny join's later plans get no bound (every option
// is shown).
PlanChoice choose_plan(const JoinInput& input, std::vector<Plan> plans, std::uint64_t priced_rows,
                       const std::vector<LaterPlans>& later);

}  // namespace brimel
