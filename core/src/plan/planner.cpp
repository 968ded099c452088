// The planner: candidate plans, their estimated cost on a sample of the
// input's pairs, and the choice.
//
// Cost model, in nanoseconds of one core: a pair of w-word codes costs about
// c (1 + w) ns to verify inside a tile, c = 0.05 with the AVX-512 kernel,
// 0.15 with AVX2 and 0.3 scalar; a row costs about 12 + 2 w ns per part to
// key, sort and copy into its group's tile. A plan's candidates on part p are
// the pairs within t_p on p: all_pairs * P_p, P_p measured on a fixed-seed
// sample of pairs, and never taken below the rate of uniform random codes, so
// that a small sample which happens to see no near pair does not make a part
// look free.
#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <map>
#include <numeric>
#include <string_view>

#include "../kernels/clones.hpp"
#include "../kernels/scan.hpp"
#include "../keys/code_words.hpp"
#include "../keys/part_keys.hpp"
#include "brimel/bit_plan.hpp"
#include "brimel/byte_plan.hpp"
#include "brimel/entropy.hpp"
#include "brimel/limits.hpp"
#include "brimel/plan.hpp"
#include "part_families.hpp"

namespace brimel {
namespace {

// Pairs sampled to measure each part's near rate; fewer when rows are wide.
// Each option's estimate walks them all: 2^13 pairs plan 50k PDQ codes at
// k = 31 (27 options) in 6 ms, 2^15 took 22 ms, and chose the same plans on
// the bench's workloads.
constexpr std::size_t kSamplePairs = 1 << 13;
// Rows per tile of gathered neighbours, as the join cuts them.
constexpr double kTileRowsEstimate = 2048;
constexpr double kFewestSamplePairs = 1 << 12;
constexpr std::size_t kSampleWords = 1 << 21;
// Below this many pair-words (about 2 ms of one core scanning) the scan
// costs about what sampling and grouping would: the scan runs, and the other
// options are estimated as for uniform codes, without a sample.
constexpr double kTinyJoinWords = 1 << 23;
// Below this many pair-words (about 15 ms of one core scanning) measuring
// the codes would cost a large share of the join (27 options of 3,000 PDQ
// codes took 1.2 ms to estimate on 1,024 pairs, against 0.7 ms for the
// join): options are estimated as for uniform codes, and the cheapest runs.
constexpr double kSampledJoinWords = 1 << 26;
// A bit whose entropy is below this makes the entropy-balanced cut worth trying.
constexpr double kSkewedEntropy = 0.95;
// Plans of more parts are not considered: each part costs a pass over the rows.
constexpr std::uint64_t kMaxPlannedParts = 1024;
// Widest key whose direct lookup table (4 bytes per value: 512 KiB) stays in
// a core's 1 MiB L2 beside the rows and tiles that probing reads. An 18-bit
// table fills it and misses: 50k PDQ rows at k = 15, 15 parts with two of 18
// bits within 1 ran in 15.9 ms, 16 exact parts of 16 bits in 13.4 ms.
constexpr std::uint64_t kCachedLookupBits = 17;
// What a self-join's row alone with its key on an exact-match part costs,
// against a row grouped.
constexpr double kLoneRowShare = 0.65;
// The same for a part grouped with others from one pass over the rows
// (plan/part_families.hpp), and that pass, once per family, against a row
// grouped (measured on 1M and 3M SimHash rows, parts of 2 of 5 blocks: 7.7
// ms per part and 10 ms per pass at 3M rows).
constexpr double kFamilyRowShare = 0.39;
constexpr double kFamilyPassShare = 0.51;
// Reading one bit of a key from a list of bits, per row (PositionKeyReader).
constexpr double kBitReadCost = 1.0;
// What a part costs whatever its rows (its passes' tasks and buckets): about
// 0.1 ms on 2 cores, measured on 30k to 300k rows.
constexpr double kPartCost = 170e3;
// Every part count up to this is considered; beyond it, only the fewest parts
// for each threshold.
constexpr std::uint64_t kEveryPartCount = 40;

// Part values within t of a given one, itself excluded.
double probes(std::uint64_t bits, std::uint32_t t) {
    double total = 0;
    for (std::uint32_t i = 1; i <= t && i <= bits; ++i) total += binomial(bits, i);
    return total;
}

// Per pair verified, by the kernel set this CPU runs (AVX2 counts bits by
// table lookups, about three times the vector popcount's cost).
double pair_cost(std::size_t words) {
    static const double per_word = std::string_view(kernels::active().name) == "avx512" ? 0.05
                                   : std::string_view(kernels::active().name) == "avx2" ? 0.15
                                                                                        : 0.3;
    return per_word * (1.0 + static_cast<double>(words));
}
double row_cost(std::size_t words) { return 12.0 + 2.0 * static_cast<double>(words); }
// A part's key read bit by bit (a list of bits across the words of a wide
// code: bits dealt by entropy, blocks combined), per row, beyond row_cost:
// keys within one word take a few shifts, and ranges and hashes a few loads,
// counted in row_cost.
double key_read_cost(const Part& part) {
    if (part.positions.empty() || part.width() > kMaxExactPartBits ||
        detail::PartKeys::reads_in_one_word(part))
        return 0.0;
    return kBitReadCost * static_cast<double>(part.width());
}

// splitmix64: a fixed-seed stream, so one input always gets one plan.
struct SampleStream {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    std::uint64_t below(std::uint64_t bound) { return next() % bound; }
};

}  // namespace

namespace {

double pair_words(const JoinInput& input) {
    return input.all_pairs() *
           static_cast<double>(std::max<std::size_t>(detail::words_per_row(input.d_bytes), 1));
}

}  // namespace

bool is_tiny(const JoinInput& input) { return pair_words(input) < kTinyJoinWords; }

bool is_sampled(const JoinInput& input) { return pair_words(input) >= kSampledJoinWords; }

namespace {

// Rows of A and B, each keyed once per part.
double rows_keyed(const JoinInput& input) {
    return static_cast<double>(input.n_a) + (input.self() ? 0.0 : static_cast<double>(input.n_b));
}

// XOR words of sampled pairs, pair after pair.
std::vector<std::uint64_t> sample_pair_xors(const JoinInput& input, std::size_t words, std::size_t& pairs) {
    pairs = 0;
    if (!is_sampled(input)) return {};
    // Fewer for a small join, whose planning would otherwise cost a large
    // share of it: a join costs in proportion to its rows, so one pair per 8
    // rows keyed, at least kFewestSamplePairs (8k pairs took 0.2 ms of the
    // 2.4 ms join of 30k flooded SimHash rows).
    const auto scaled = static_cast<std::size_t>(std::max(kFewestSamplePairs, rows_keyed(input) / 8));
    pairs = std::min({kSamplePairs, scaled, std::max<std::size_t>(kSampleWords / words, 1)});
    SampleStream stream{0x6272696d656cull ^ input.n_a ^ (input.n_b << 1)};
    std::vector<std::uint64_t> xors(pairs * words);
    for (std::size_t s = 0; s < pairs; ++s) {
        std::uint64_t i = stream.below(input.n_a);
        std::uint64_t j;
        const std::uint8_t* other;
        if (input.self()) {
            j = stream.below(input.n_a - 1);
            if (j >= i) ++j;
            other = input.a;
        } else {
            j = stream.below(input.n_b);
            other = input.b;
        }
        const std::uint8_t* x = input.a + i * input.d_bytes;
        const std::uint8_t* y = other + j * input.d_bytes;
        for (std::size_t w = 0; w < words; ++w)
            xors[s * words + w] =
                detail::load_word(x, w, input.d_bytes) ^ detail::load_word(y, w, input.d_bytes);
    }
    return xors;
}

// A plan's atoms: the largest sets of bits that lie in the same parts (a
// plan of disjoint parts has its parts as atoms; a block plan, its blocks).
struct Atoms {
    std::vector<detail::WordMasks> masks;           // per atom
    std::vector<std::vector<std::uint32_t>> parts;  // per part: its atoms
    bool are_parts = false;                         // atom p is part p
};

Atoms atoms_of(const Plan& plan, std::size_t words) {
    Atoms atoms;
    std::vector<detail::WordMasks> part_masks;
    std::uint64_t widths = 0;
    for (const Part& part : plan.parts) {
        part_masks.push_back(detail::word_masks(part));
        widths += part.width();
    }
    std::vector<std::uint64_t> covered(words, 0);
    for (const auto& masks : part_masks)
        for (const auto& [word, mask] : masks) covered[word] |= mask;
    std::uint64_t union_bits = 0;
    for (const std::uint64_t mask : covered) union_bits += static_cast<std::uint64_t>(std::popcount(mask));
    if (union_bits == widths || plan.parts.size() > 64) {  // disjoint (or too many parts to sign)
        atoms.masks = std::move(part_masks);
        for (std::uint32_t p = 0; p < plan.parts.size(); ++p) atoms.parts.push_back({p});
        atoms.are_parts = true;
        return atoms;
    }
    // Each covered bit signed by the parts holding it; equal signatures, one atom.
    std::vector<std::pair<std::uint64_t, std::pair<std::size_t, unsigned>>> signed_bits;
    for (std::size_t w = 0; w < words; ++w)
        for (std::uint64_t rest = covered[w]; rest != 0; rest &= rest - 1) {
            const auto bit = static_cast<unsigned>(std::countr_zero(rest));
            std::uint64_t signature = 0;
            for (std::size_t p = 0; p < part_masks.size(); ++p)
                for (const auto& [word, mask] : part_masks[p])
                    if (word == w && ((mask >> bit) & 1) != 0) signature |= std::uint64_t{1} << p;
            signed_bits.push_back({signature, {w, bit}});
        }
    std::sort(signed_bits.begin(), signed_bits.end());
    atoms.parts.resize(plan.parts.size());
    for (std::size_t b = 0; b < signed_bits.size(); ++b) {
        const auto [signature, where] = signed_bits[b];
        if (b == 0 || signature != signed_bits[b - 1].first) {
            for (std::uint64_t rest = signature; rest != 0; rest &= rest - 1)
                atoms.parts[static_cast<std::size_t>(std::countr_zero(rest))].push_back(
                    static_cast<std::uint32_t>(atoms.masks.size()));
            atoms.masks.emplace_back();
        }
        detail::WordMasks& masks = atoms.masks.back();
        if (masks.empty() || masks.back().first != where.first) masks.emplace_back(where.first, 0);
        masks.back().second |= std::uint64_t{1} << where.second;
    }
    return atoms;
}

// Each sampled pair's distance on each atom (sample-major), for the plans
// that share these atoms (the block plans of one cut, for every r).
using AtomDistances = std::vector<std::uint8_t>;
using DistanceCache = std::map<std::vector<detail::WordMasks>, AtomDistances>;

BRIMEL_POPCNT_CLONES
AtomDistances atom_distances(const std::vector<detail::WordMasks>& atoms,
                             const std::vector<std::uint64_t>& xors, std::size_t sampled, std::size_t words) {
    AtomDistances out(sampled * atoms.size());
    for (std::size_t a = 0; a < atoms.size(); ++a) {
        const detail::WordMasks& masks = atoms[a];
        if (masks.size() == 1) {  // the common case: one word
            const auto [word, mask] = masks.front();
            for (std::size_t s = 0; s < sampled; ++s)
                out[s * atoms.size() + a] =
                    static_cast<std::uint8_t>(std::min(std::popcount(xors[s * words + word] & mask), 255));
            continue;
        }
        for (std::size_t s = 0; s < sampled; ++s) {
            std::uint32_t count = 0;
            for (const auto& [word, mask] : masks)
                count += static_cast<std::uint32_t>(std::popcount(xors[s * words + word] & mask));
            out[s * atoms.size() + a] = static_cast<std::uint8_t>(std::min<std::uint32_t>(count, 255));
        }
    }
    return out;
}

// Per part, the sampled pairs near on it (distances above 255 count as
// 255, past every threshold a sampled part can have: kMaxProbes bounds a
// part with a threshold to a few bits of it). A pair differing in more
// than the largest threshold on every atom is near on no part (most pairs
// of a selective plan).
BRIMEL_POPCNT_CLONES
std::vector<std::size_t> near_counts(const Plan& plan, const std::vector<std::uint64_t>& xors,
                                     std::size_t sampled, std::size_t words, DistanceCache& cache) {
    Atoms atoms = atoms_of(plan, words);
    std::vector<std::size_t> near(plan.parts.size(), 0);
    if (atoms.are_parts) {  // disjoint parts: counted as they come
        for (std::size_t p = 0; p < plan.parts.size(); ++p) {
            const detail::WordMasks& masks = atoms.masks[p];
            if (masks.size() == 1) {  // the common case: one word, a tight loop
                const auto [word, mask] = masks.front();
                const std::uint32_t threshold = plan.parts[p].threshold;
                std::size_t count = 0;
                for (std::size_t s = 0; s < sampled; ++s)
                    count +=
                        static_cast<std::uint32_t>(std::popcount(xors[s * words + word] & mask)) <= threshold;
                near[p] = count;
                continue;
            }
            for (std::size_t s = 0; s < sampled; ++s) {
                std::uint32_t count = 0;
                for (const auto& [word, mask] : masks)
                    count += static_cast<std::uint32_t>(std::popcount(xors[s * words + word] & mask));
                near[p] += count <= plan.parts[p].threshold;
            }
        }
        return near;
    }
    auto found = cache.find(atoms.masks);
    if (found == cache.end())
        found = cache.emplace(atoms.masks, atom_distances(atoms.masks, xors, sampled, words)).first;
    const AtomDistances& distance = found->second;
    const std::size_t count_atoms = atoms.masks.size();
    // A part is near only when each of its atoms is within the largest
    // threshold: a pair with fewer such atoms than the smallest part holds
    // is near on no part.
    std::uint32_t most = 0;
    std::size_t fewest = SIZE_MAX;
    for (std::size_t p = 0; p < plan.parts.size(); ++p) {
        most = std::max(most, plan.parts[p].threshold);
        fewest = std::min(fewest, atoms.parts[p].size());
    }
    for (std::size_t s = 0; s < sampled; ++s) {
        const std::uint8_t* d = distance.data() + s * count_atoms;
        if (static_cast<std::size_t>(
                std::count_if(d, d + count_atoms, [most](std::uint8_t x) { return x <= most; })) < fewest)
            continue;
        for (std::size_t p = 0; p < plan.parts.size(); ++p) {
            const std::uint32_t threshold = plan.parts[p].threshold;
            std::uint32_t count = 0;
            for (const std::uint32_t a : atoms.parts[p])
                if ((count += d[a]) > threshold) break;
            near[p] += count <= threshold;
        }
    }
    return near;
}

double scan_cost(const JoinInput& input, std::size_t words) {
    return input.all_pairs() * pair_cost(words) + rows_keyed(input) * 2.0 * static_cast<double>(words);
}

// Which parts of a self-join's plan the join groups in families, each
// family's pass added to `cost`.
std::vector<bool> family_parts(const JoinInput& input, const Plan& plan, std::size_t words, double& cost) {
    std::vector<bool> in_family(plan.parts.size(), false);
    if (!input.self()) return in_family;
    for (std::size_t p = 0; p < plan.parts.size();) {
        const std::size_t end =
            detail::part_family(plan.parts, p, plan.parts.size(), input.n_a, input.d_bytes).end;
        if (end - p >= 2) {
            std::fill(in_family.begin() + static_cast<std::ptrdiff_t>(p),
                      in_family.begin() + static_cast<std::ptrdiff_t>(end), true);
            cost += rows_keyed(input) * row_cost(words) * kFamilyPassShare;
        }
        p = end;
    }
    return in_family;
}

PlanEstimate estimate(const JoinInput& input, Plan plan, const std::vector<std::uint64_t>& xors,
                      std::size_t sampled, std::size_t words, DistanceCache& cache) {
    const double all = input.all_pairs();
    const double rows_a = static_cast<double>(input.n_a);
    const double rows = rows_keyed(input);
    PlanEstimate out;
    if (plan.is_scan()) {
        out.candidates = all;
        out.cost = scan_cost(input, words);
        out.plan = std::move(plan);
        return out;
    }
    // Unsampled: every part's rate is that of uniform codes.
    const std::vector<std::size_t> near_pairs = sampled != 0 ? near_counts(plan, xors, sampled, words, cache)
                                                             : std::vector<std::size_t>(plan.parts.size());
    const std::vector<bool> in_family = family_parts(input, plan, words, out.cost);
    for (std::size_t p = 0; p < plan.parts.size(); ++p) {
        const Part& part = plan.parts[p];
        const std::uint64_t bits = part.width();
        const std::size_t near = near_pairs[p];
        const double uniform = std::ldexp(1.0 + probes(bits, part.threshold),
                                          -static_cast<int>(std::min<std::uint64_t>(bits, 1000)));
        const double rate =
            std::max(sampled ? static_cast<double>(near) / static_cast<double>(sampled) : 0.0, uniform);
        const double candidates = all * rate;
        const double flips = bits <= kMaxExactPartBits ? probes(bits, part.threshold) : 0.0;
        const double key_space = std::ldexp(1.0, static_cast<int>(std::min<std::uint64_t>(bits, 1000)));
        const double groups = std::min(rows_a, key_space);
        // Probing: one lookup per group and flip, the rows of the
        // neighbouring groups that exist gathered into a tile once per group
        // (about a nanosecond per row and word), and one kernel call per
        // query row and tile. A lookup is cheap while the direct table (4
        // bytes per key value) stays in cache, up to 17 bits; a larger one, or
        // a search of the sorted keys, misses it.
        const double lookup = bits <= kCachedLookupBits ? 5.0 : 40.0;
        const double occupied = std::min(1.0, groups / key_space);
        // An exact-match part verifies only the rows that pair on it (the
        // rest are dropped after sorting): at most two per candidate.
        const double all_queries = input.self() ? rows_a : static_cast<double>(input.n_b);
        const double query_rows = part.threshold == 0 ? std::min(all_queries, 2.0 * candidates) : all_queries;
        const double gathered = rows_a * flips * occupied;
        const double probe_cost =
            groups * flips * lookup + gathered * static_cast<double>(words) +
            query_rows * (1.0 + gathered / std::max(groups, 1.0) / kTileRowsEstimate) * 10.0;
        // A self-join's exact-match part sorts and lays out only the rows
        // that share their key (at most two per candidate); the others cost
        // only their key and a pass that drops them, about 0.65 of a row
        // grouped (measured from 300k to 10M SimHash rows: parts of 26 bits
        // that keep few rows against parts of 16 bits that keep all).
        const double kept =
            input.self() && part.threshold == 0 ? std::min(1.0, 2.0 * candidates / rows) : 1.0;
        const double lone_share = in_family[p] ? kFamilyRowShare : kLoneRowShare;
        const double grouped =
            rows * (row_cost(words) * (lone_share + (1.0 - kLoneRowShare) * kept) + key_read_cost(part));
        out.candidates += candidates;
        out.cost += kPartCost + grouped + probe_cost + candidates * pair_cost(words);
    }
    out.plan = std::move(plan);
    return out;
}

// What grouping a plan's rows costs at the least, whatever the sample
// shows: every row alone with its key on every exact-match part.
double least_grouping_cost(const JoinInput& input, const Plan& plan, std::size_t words) {
    double cost = 0;
    const std::vector<bool> in_family = family_parts(input, plan, words, cost);
    for (std::size_t p = 0; p < plan.parts.size(); ++p)
        cost +=
            kPartCost + rows_keyed(input) *
                            (row_cost(words) * (in_family[p] ? kFamilyRowShare
                                                : input.self() && plan.parts[p].threshold == 0 ? kLoneRowShare
                                                                                               : 1.0) +
                             key_read_cost(plan.parts[p]));
    return cost;
}

Part range_part(std::uint64_t lo, std::uint64_t hi, std::uint32_t threshold) {
    Part part;
    part.lo = lo;
    part.hi = hi;
    part.threshold = threshold;
    return part;
}

// Thresholds summing, with one per part, to k + 1 (so sum(t_p + 1) > k):
// the first (k + 1) mod m parts get one more.
std::vector<std::uint32_t> thresholds(std::uint32_t k, std::size_t m) {
    const std::uint64_t total = std::uint64_t{k} + 1;
    std::vector<std::uint32_t> t(m, static_cast<std::uint32_t>(total / m - 1));
    for (std::size_t p = 0; p < total % m; ++p) ++t[p];
    return t;
}

bool plannable(const Part& part) {
    const std::uint64_t bits = part.width();
    if (bits == 0) return false;
    if (part.threshold == 0) return true;  // wider parts are hashed
    return bits <= kMaxExactPartBits && part.threshold < bits &&
           probes(bits, part.threshold) <= static_cast<double>(kMaxProbes);
}

}  // namespace

bool scan_beats_plans_of(const JoinInput& input, std::uint64_t parts) {
    const std::size_t words = std::max<std::size_t>(detail::words_per_row(input.d_bytes), 1);
    return scan_cost(input, words) < static_cast<double>(parts) * rows_keyed(input) * row_cost(words);
}

std::uint64_t most_parts_below_scan(const JoinInput& input) {
    const std::size_t words = std::max<std::size_t>(detail::words_per_row(input.d_bytes), 1);
    return most_parts_below(input, scan_cost(input, words));
}

std::uint64_t most_parts_below(const JoinInput& input, double cost) {
    const std::size_t words = std::max<std::size_t>(detail::words_per_row(input.d_bytes), 1);
    // At most what least_grouping_cost charges a part, whatever its kind.
    const double per_part =
        kPartCost + rows_keyed(input) * row_cost(words) * std::min(kFamilyRowShare, kLoneRowShare);
    return static_cast<std::uint64_t>(std::min(cost / per_part, 1e18));
}

double JoinInput::all_pairs() const {
    const auto na = static_cast<double>(n_a);
    return self() ? na * (na - 1) / 2 : na * static_cast<double>(n_b);
}

Plan scan_plan() { return {"scan", {}}; }

std::vector<std::uint64_t> Part::bits() const {
    if (!positions.empty()) return positions;
    std::vector<std::uint64_t> out(hi - lo);
    std::iota(out.begin(), out.end(), lo);
    return out;
}

std::vector<std::vector<std::uint64_t>> even_blocks(std::uint64_t total_bits, std::uint64_t m) {
    std::vector<std::vector<std::uint64_t>> blocks;
    for (const auto& [lo, hi] : chunk_bit_boundaries(total_bits, m))
        blocks.push_back(Part{lo, hi, {}, 0}.bits());
    return blocks;
}

double binomial(std::uint64_t n, std::uint64_t r) {
    double c = 1;
    for (std::uint64_t i = 0; i < r; ++i) c = c * static_cast<double>(n - i) / static_cast<double>(i + 1);
    return c;
}

bool Plan::same_parts(const Plan& other) const {
    return std::equal(
        parts.begin(), parts.end(), other.parts.begin(), other.parts.end(), [](const Part& x, const Part& y) {
            return x.lo == y.lo && x.hi == y.hi && x.positions == y.positions && x.threshold == y.threshold;
        });
}

Plan chunk_plan(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& bit_ranges) {
    Plan plan{"chunks", {}};
    for (const auto& [lo, hi] : bit_ranges) plan.parts.push_back(range_part(lo, hi, 0));
    return plan;
}

Plan chunk_plan(const std::vector<std::vector<std::uint64_t>>& position_lists) {
    Plan plan{"chunks", {}};
    for (const auto& list : position_lists) {
        Part part;
        part.positions = list;
        plan.parts.push_back(std::move(part));
    }
    return plan;
}

Plan byte_chunk_plan(std::uint64_t d_bytes, std::uint32_t k) {
    std::vector<BitRange> ranges;
    for (const auto& [start, end] : chunk_boundaries(d_bytes, std::uint64_t{k} + 1))
        ranges.emplace_back(8 * start, 8 * end);
    return chunk_plan(ranges);
}

std::vector<Plan> fixed_plans(std::uint64_t d_bytes, std::uint32_t k, const std::vector<double>* entropies) {
    std::vector<Plan> plans;
    // Each of them has k + 1 parts (one for k = 0), a pass over the rows
    // each: past kMaxPlannedParts they are not worth making, and making them
    // would cost memory in proportion to k, not to the rows.
    if (std::uint64_t{k} + 1 > kMaxPlannedParts) return plans;
    if (k < d_bytes) plans.push_back(byte_chunk_plan(d_bytes, k));
    const std::vector<BitRange> bits = plan_bit_chunks(d_bytes, k);
    if (plan_fits_chunk_keys(bits)) plans.push_back(chunk_plan(bits));
    if (entropies != nullptr && k > 0 &&
        static_cast<std::uint64_t>(
            std::count_if(entropies->begin(), entropies->end(), [](double e) { return e > 0.0; })) > k) {
        const PositionLists lists = plan_adaptive_chunks(*entropies, std::uint64_t{k} + 1, kMaxChunkBits);
        if (std::none_of(lists.begin(), lists.end(), [](const auto& list) { return list.empty(); }))
            plans.push_back(chunk_plan(lists));
    }
    return plans;
}

std::vector<Plan> candidate_plans(std::uint64_t d_bytes, std::uint32_t k,
                                  const std::vector<double>* entropies, std::uint64_t max_parts) {
    const std::uint64_t total_bits = 8 * d_bytes;
    std::vector<Plan> plans;
    if (!k_below_code_width(k, d_bytes)) return plans;
    const bool skewed = entropies != nullptr && std::any_of(entropies->begin(), entropies->end(),
                                                            [](double e) { return e < kSkewedEntropy; });
    // Part counts m from k + 1 (exact-match parts) down: every m up to
    // kEveryPartCount, and beyond it the fewest parts for each threshold t
    // (m (t + 1) > k). Fewer parts are wider and probe more values, so the
    // walk stops once parts get too wide to key or too dear to probe.
    // The fewest parts for threshold t is ceil((k + 1) / (t + 1)); its values
    // are walked from the largest of at most kMaxPlannedParts down, each once
    // (not t by t: k / 40 steps for a large k).
    const std::uint64_t bits_to_cover = std::uint64_t{k} + 1;
    const auto ceil_div = [](std::uint64_t x, std::uint64_t y) { return x / y + (x % y != 0); };
    std::vector<std::uint64_t> counts;
    for (std::uint64_t m = 1; m <= std::min(bits_to_cover, kEveryPartCount); ++m) counts.push_back(m);
    for (std::uint64_t m = ceil_div(bits_to_cover, ceil_div(bits_to_cover, kMaxPlannedParts));
         m > kEveryPartCount; m = ceil_div(bits_to_cover, ceil_div(bits_to_cover, m - 1)))
        counts.push_back(m);
    std::sort(counts.begin(), counts.end(), std::greater<>());
    counts.erase(std::unique(counts.begin(), counts.end()), counts.end());
    for (const std::uint64_t m : counts) {
        if (m > total_bits || m > kMaxPlannedParts || m > max_parts) continue;
        const std::uint64_t widest = (total_bits + m - 1) / m;
        const std::vector<std::uint32_t> t_p = thresholds(k, static_cast<std::size_t>(m));
        // Parts with a threshold must be exact, and fewer parts only get wider.
        if (t_p.front() > 0 && widest > kMaxExactPartBits) break;
        // More bits per probe only get dearer from here.
        if (probes(widest, t_p.front()) > static_cast<double>(kMaxProbes)) break;

        // The larger thresholds go to the wider parts.
        const auto ranges = chunk_bit_boundaries(total_bits, m);
        std::vector<std::size_t> by_width(ranges.size());
        std::iota(by_width.begin(), by_width.end(), 0);
        std::stable_sort(by_width.begin(), by_width.end(), [&](std::size_t x, std::size_t y) {
            return ranges[x].second - ranges[x].first > ranges[y].second - ranges[y].first;
        });
        Plan even{"even", {}};
        for (const auto& [lo, hi] : ranges) even.parts.push_back(range_part(lo, hi, 0));
        for (std::size_t r = 0; r < by_width.size(); ++r) even.parts[by_width[r]].threshold = t_p[r];
        if (std::all_of(even.parts.begin(), even.parts.end(), plannable)) plans.push_back(std::move(even));

        if (skewed) {
            const PositionLists lists = plan_adaptive_chunks(*entropies, m, widest);
            Plan balanced{"balanced", {}};
            for (std::size_t p = 0; p < lists.size(); ++p) {
                Part part;
                part.positions = lists[p];
                part.threshold = t_p[p];
                balanced.parts.push_back(std::move(part));
            }
            if (std::all_of(balanced.parts.begin(), balanced.parts.end(), plannable))
                plans.push_back(std::move(balanced));
        }
    }
    return plans;
}

std::uint32_t block_threshold(std::uint32_t k, std::uint64_t m, std::uint64_t r) {
    const std::uint64_t spread = std::uint64_t{k} / m;
    const std::uint64_t rest = std::uint64_t{k} % m;
    return static_cast<std::uint32_t>(r * spread + (rest > m - r ? rest - (m - r) : 0));
}

namespace {

// Block counts tried by block_plans: beyond this, parts of a few blocks are
// too narrow to pay for their passes.
constexpr std::uint64_t kMaxBlocks = 8;
// Widest codes, in bits, that block plans are made for (1024-bit codes and
// narrower: every common hash).
constexpr std::uint64_t kMaxBlockedBits = 1024;

}  // namespace

std::vector<Part> block_parts(const std::vector<std::vector<std::uint64_t>>& blocks, std::uint64_t r,
                              std::uint32_t threshold) {
    std::vector<Part> parts;
    const std::size_t m = blocks.size();
    std::vector<std::size_t> chosen(r);
    std::iota(chosen.begin(), chosen.end(), 0);
    while (true) {
        Part part;
        part.threshold = threshold;
        for (const std::size_t b : chosen)
            part.positions.insert(part.positions.end(), blocks[b].begin(), blocks[b].end());
        std::sort(part.positions.begin(), part.positions.end());
        if (part.positions.back() - part.positions.front() + 1 == part.positions.size()) {
            part.lo = part.positions.front();
            part.hi = part.positions.back() + 1;
            part.positions.clear();
        }
        parts.push_back(std::move(part));
        // Next choice: the last index that can still move right moves, and
        // the ones after it follow it.
        std::size_t i = r;
        while (i-- > 0 && chosen[i] == m - r + i) {
        }
        if (i == SIZE_MAX) return parts;
        ++chosen[i];
        for (std::size_t j = i + 1; j < r; ++j) chosen[j] = chosen[j - 1] + 1;
    }
}

std::vector<BlockCut> block_cuts(std::uint64_t d_bytes, std::uint32_t k, const std::vector<double>* entropies,
                                 std::uint64_t max_parts) {
    const std::uint64_t total_bits = 8 * d_bytes;
    std::vector<BlockCut> cuts;
    // Parts list their bit positions: on codes wider than kMaxBlockedBits the
    // lists alone would cost memory in proportion to the width times the
    // parts, for exact matches over parts far wider than any key.
    if (std::uint64_t{k} >= total_bits || total_bits > kMaxBlockedBits) return cuts;
    const bool skewed = entropies != nullptr && std::any_of(entropies->begin(), entropies->end(),
                                                            [](double e) { return e < kSkewedEntropy; });
    for (std::uint64_t m = 3; m <= std::min(kMaxBlocks, total_bits); ++m) {
        for (std::uint64_t r = 2; r < m; ++r) {
            if (binomial(m, r) > static_cast<double>(std::min(max_parts, kMaxBlockParts))) continue;
            const std::uint32_t t = block_threshold(k, m, r);
            const std::uint64_t widest = r * ((total_bits + m - 1) / m);
            if (t > 0 && (widest > kMaxExactPartBits || probes(widest, t) > static_cast<double>(kMaxProbes)))
                continue;
            cuts.push_back(BlockCut{"blocks", even_blocks(total_bits, m), r, t});
            if (skewed) {
                PositionLists lists = plan_adaptive_chunks(*entropies, m, (total_bits + m - 1) / m);
                if (std::none_of(lists.begin(), lists.end(), [](const auto& list) { return list.empty(); }))
                    cuts.push_back(BlockCut{"balanced blocks", std::move(lists), r, t});
            }
        }
    }
    return cuts;
}

std::vector<Plan> block_plans(std::uint64_t d_bytes, std::uint32_t k, const std::vector<double>* entropies,
                              std::uint64_t max_parts) {
    std::vector<Plan> plans;
    for (const BlockCut& cut : block_cuts(d_bytes, k, entropies, max_parts)) {
        Plan plan{cut.name, block_parts(cut.blocks, cut.r, cut.threshold)};
        if (std::all_of(plan.parts.begin(), plan.parts.end(), plannable)) plans.push_back(std::move(plan));
    }
    return plans;
}

Plan segment_plan(std::uint64_t d_bytes, std::uint32_t k, std::uint64_t rows) {
    std::vector<std::uint64_t> bits(8 * d_bytes);
    std::iota(bits.begin(), bits.end(), std::uint64_t{0});
    return segment_plan(bits, d_bytes, k, rows);
}

Plan segment_plan(const std::vector<std::uint64_t>& bits, std::uint64_t d_bytes, std::uint32_t k,
                  std::uint64_t rows) {
    // Per query, in nanoseconds of one core: a directory lookup per probed
    // key, and per listed row its code fetched and counted; both are cache
    // misses in a large segment, overlapped by prefetching. The scan gathers
    // and counts every row.
    constexpr double kProbe = 12.0;
    constexpr double kListed = 12.0;
    const double words = static_cast<double>(std::max<std::size_t>(detail::words_per_row(d_bytes), 1));
    const double n = static_cast<double>(rows);
    Plan best = scan_plan();
    double best_cost = n * (2.0 + 0.5 * words);
    if (rows < 64) return best;
    const std::uint64_t total_bits = bits.size();
    // A part's directory has 2^width + 1 entries of 4 bytes: at most about
    // half the rows, so that it costs at most 2 bytes per row. (A probe and a
    // listed row each cost about one cache miss in a large segment: wider
    // parts trade directory bytes for fewer listed rows.)
    const auto widest = std::min<std::uint64_t>(
        {kMaxSegmentPartBits, static_cast<std::uint64_t>(std::bit_width(rows / 2) - 1), total_bits});
    const std::uint64_t most_parts =
        std::min<std::uint64_t>({std::uint64_t{k} + 1, kMaxSegmentParts, total_bits});
    for (std::uint64_t m = 1; m <= most_parts; ++m) {
        // The first total_bits mod m parts are a bit wider, and the larger
        // thresholds go to them; parts are capped at `widest` bits, leaving
        // the rest of the bits unkeyed.
        const std::vector<std::uint32_t> t_p = thresholds(k, static_cast<std::size_t>(m));
        Plan plan{"segment", {}};
        double cost = 0;
        std::uint64_t at = 0;
        bool usable = true;
        for (std::uint64_t p = 0; p < m && usable; ++p) {
            const std::uint64_t width = std::min(widest, total_bits / m + (p < total_bits % m));
            const double keys = 1.0 + probes(width, t_p[p]);
            usable = width > 0 && t_p[p] < width && keys <= static_cast<double>(kMaxProbes);
            cost += keys * kProbe + n * std::ldexp(keys, -static_cast<int>(width)) * kListed;
            // A run of consecutive bits is read as a range.
            Part part;
            part.threshold = t_p[p];
            if (width > 0 && bits[at + width - 1] - bits[at] + 1 == width) {
                part.lo = bits[at];
                part.hi = bits[at] + width;
            } else {
                part.positions.assign(bits.begin() + static_cast<std::ptrdiff_t>(at),
                                      bits.begin() + static_cast<std::ptrdiff_t>(at + width));
            }
            plan.parts.push_back(std::move(part));
            at += width;
        }
        if (usable && cost < best_cost) {
            best = std::move(plan);
            best_cost = cost;
        }
    }
    return best;
}

PlanChoice choose_plan(const JoinInput& sample, std::vector<Plan> plans, std::uint64_t priced_rows) {
    return choose_plan(sample, std::move(plans), priced_rows, {});
}

PlanChoice choose_plan(const JoinInput& sample, std::vector<Plan> plans, std::uint64_t priced_rows,
                       const std::vector<LaterPlans>& later) {
    const std::size_t words = std::max<std::size_t>(detail::words_per_row(sample.d_bytes), 1);
    std::size_t sampled = 0;
    const std::vector<std::uint64_t> xors = sample_pair_xors(sample, words, sampled);
    JoinInput input = sample;
    if (priced_rows != 0) input.n_a = priced_rows;
    const bool tiny = is_tiny(input);
    PlanChoice choice;
    DistanceCache cache;
    double best = HUGE_VAL;
    const auto consider = [&](Plan& plan) {
        // A plan met before (the fixed chunks often equal an even cut) is
        // estimated once. Unless the join is tiny (whose options are all
        // shown), a plan of parts many enough that grouping the rows alone
        // costs more than an option already estimated is left out (sampling
        // every block plan cost more than a join of 30,000 rows; estimating
        // them, half a join of 5,000).
        if (std::any_of(choice.options.begin(), choice.options.end(),
                        [&](const PlanEstimate& seen) { return seen.plan.same_parts(plan); }) ||
            (!tiny && !plan.is_scan() && least_grouping_cost(input, plan, words) >= best))
            return;
        // Nor is one sampled whose estimate for uniform codes, below every
        // sampled estimate (a part's near rate is never taken below the
        // uniform rate), already costs more.
        if (!tiny && sampled != 0 && !plan.is_scan() &&
            estimate(input, plan, xors, 0, words, cache).cost >= best)
            return;
        choice.options.push_back(estimate(input, std::move(plan), xors, sampled, words, cache));
        best = std::min(best, choice.options.back().cost);
    };
    for (Plan& plan : plans) consider(plan);
    for (const LaterPlans& more : later) {
        const std::uint64_t max_parts =
            tiny ? SIZE_MAX : most_parts_below(input, std::min(best, scan_cost(input, words)));
        for (Plan& plan : more(max_parts)) consider(plan);
    }
    Plan scan = scan_plan();
    consider(scan);
    for (std::size_t o = 1; o < choice.options.size(); ++o)
        if (choice.options[o].cost < choice.options[choice.chosen].cost) choice.chosen = o;
    return choice;
}

}  // namespace brimel
