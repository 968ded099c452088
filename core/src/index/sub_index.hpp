// Heavy lists and their sub-indexes: the rows listed under one value of a
// part, keyed again on bits that part does not cover, so that a query probing
// the value verifies the rows near it on those bits instead of the whole list.
//
// Rows listed under one value of a part agree on that part. A row within k of
// the query differs from it in at most k of the bits outside the part (and,
// of those, only the bits on which the listed rows differ among themselves
// are worth keying: a query that differs from all of them in more than k of
// the others meets none of them), so by
// the box principle it is within t_q of the query on some part q of any plan
// over those bits whose thresholds t_q sum (plus one each) past k. A
// sub-index keys the listed rows on the plan a segment of that many rows
// would take over those bits (segment_plan), grouped by value behind a
// directory as a segment's are. The rows listed under the query's values or
// values within t_q of them are verified in tiles, as a segment's are, and
// those within k given back, each once (on the first part where they are
// near): the few that are, not every listed row, pay for the first-part rule.
// Its own heavy lists get sub-indexes in turn, on the bits left; with no plan
// worth keying every listed row is verified.
//
// Without them, codes crafted to share a part's value (or natural codes that
// happen to) make every query that probes that value verify every one of them,
// however few are near.
//
// A list is heavy when it holds more than kHeavyRows rows; it gets its
// sub-index at its kProbesBeforeSubIndex-th probe: making one costs about as
// much as verifying the list some tens of times, so a value probed once or
// twice costs no more than it did. Sub-indexes are a cache beside immutable
// tables, never saved, and found without a lock: the values of a part whose
// lists are heavy are listed once, by the first probe that meets one (a pass
// over the part's directory), and each has a probe count and a sub-index made
// once, both published by compare-exchange. Safe to query from several
// threads.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "../keys/part_keys.hpp"
#include "../keys/part_probe.hpp"
#include "brimel/plan.hpp"

namespace brimel::detail {

inline constexpr std::size_t kHeavyRows = 64;
inline constexpr std::uint32_t kProbesBeforeSubIndex = 32;

// The bits of `free_bits` (ascending) that `part` does not cover, ascending.
std::vector<std::uint64_t> bits_outside(const std::vector<std::uint64_t>& free_bits, const Part& part);

class SubIndex;

// A part's lists, as a segment's or a sub-index's tables hold them: list v
// (v < values) is order[begin, end), end = min(directory[v + 1], rows),
// begin = min(directory[v], end), so that offsets out of range (only a
// corrupted image holds them) list nothing past the rows.
struct PartLists {
    const std::uint32_t* directory;
    std::uint64_t values;
    std::uint32_t rows;

    std::uint32_t size(std::uint64_t v) const noexcept {
        const std::uint32_t end = std::min(directory[v + 1], rows);
        return end - std::min(directory[v], end);
    }
};

// The heavy lists of one set of tables (of at most kMaxSegmentParts parts),
// by (part, value).
class HeavyLists {
public:
    HeavyLists() = default;
    HeavyLists(const HeavyLists&) = delete;
    HeavyLists& operator=(const HeavyLists&) = delete;
    ~HeavyLists();

    // The lists of the next part, in part order, while the tables are set up
    // (before any find).
    void add_part(const PartLists& lists) { lists_.push_back(lists); }

    // The sub-index of `rows`, the list under `value` of part `part` (of
    // `planned`), over `free_bits` (null: every bit of the code) less that
    // part; null while the list is to be verified whole. `codes`: row r at
    // r * d_bytes.
    const SubIndex* find(std::size_t part, std::uint64_t value, std::span<const std::uint32_t> rows,
                         const Part& planned, const std::vector<std::uint64_t>* free_bits, std::uint32_t k,
                         const std::uint8_t* codes, std::uint64_t d_bytes) const;

private:
    struct List {
        std::atomic<std::uint32_t> probes{0};
        std::atomic<const SubIndex*> sub{nullptr};  // owned
    };
    // The heavy values of one part, ascending, and their lists.
    struct HeavyPart {
        std::vector<std::uint64_t> values;
        std::unique_ptr<List[]> lists;
        ~HeavyPart();
    };
    std::vector<PartLists> lists_;
    mutable std::array<std::atomic<const HeavyPart*>, kMaxSegmentParts> heavy_{};  // owned; null until met
};

class SubIndex {
public:
    // Keys `rows` (row r's code at codes + r * d_bytes) on a plan over
    // `free_bits` (ascending bit positions).
    SubIndex(std::span<const std::uint32_t> rows, std::vector<std::uint64_t> free_bits, std::uint32_t k,
             const std::uint8_t* codes, std::uint64_t d_bytes);

    // Appends to `out` every keyed row within k (the bound it was made for)
    // of `row`, each once, in no order.
    void candidates(const std::uint8_t* row, const std::uint8_t* codes,
                    std::vector<std::uint32_t>& out) const;

private:
    // The listed rows' shared code and the mask of the bits they all agree
    // on, as 64-bit words (keys/code_words.hpp); only the bits on which they
    // differ are keyed.
    std::vector<std::uint64_t> common_;
    std::vector<std::uint64_t> fixed_;
    std::vector<std::uint64_t> free_bits_;
    Plan plan_;
    std::vector<PartKeys> keys_;
    std::vector<PartProbe> probes_;
    std::vector<std::vector<std::uint32_t>> directories_;  // per part: 2^width + 1 offsets
    std::vector<std::vector<std::uint32_t>> orders_;       // per part: the rows in value order
    std::vector<std::uint32_t> rows_;                      // with no part: the rows themselves
    std::uint32_t k_;
    std::uint64_t d_bytes_;
    HeavyLists heavy_;
};

}  // namespace brimel::detail
