// The sub-index of a heavy id list: the rows listed under one key, keyed again
// on bits that key does not cover, so that a query probing the key verifies
// the rows near it on those bits instead of the whole list.
//
// Rows listed under one key of a part agree on that part (or, for a hashed
// part, merely collide on it). A row within distance k of the query differs
// from it in at most k of the bits outside the part, so by the box principle
// it is within t_p of the query on some part p of any plan over those bits
// whose thresholds t_p sum (plus one each) past k: the sub-index keys the
// listed rows on the plan the index itself would choose for that many rows
// of that many bits, and gives back, as candidates, the rows listed under
// the query's keys or keys within t_p of them. A sub-index's own heavy lists get sub-indexes in turn, on the
// bits left, made the first time a query needs them; with no more than k bits left every listed row is a
// candidate.
//
// Without it, codes crafted to share one part key make every query that probes
// that key verify every one of them, however few are near.
//
// A sub-index is immutable once made (its children are a cache) and safe to
// query from several threads.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "../keys/part_keys.hpp"
#include "key_hasher.hpp"

namespace brimel::detail {

// Lists longer than this get a sub-index: below it, verifying the list costs
// little next to a query's lookups.
inline constexpr std::size_t kHeavyList = 4096;

// A heavy list gets its sub-index at its this-many-th probe; until then each
// probe verifies it whole. Making one costs about as much as verifying the
// list some tens of times, so a key probed once or twice (a rare large group
// of real codes) costs no more than it did, and a key probed often costs at
// most about twice what it would with the sub-index made at once.
inline constexpr std::uint32_t kProbesBeforeSubIndex = 32;

class SubIndex;

// The bits of `free_bits` (ascending) that `part` does not cover, ascending.
std::vector<std::uint64_t> bits_outside(const std::vector<std::uint64_t>& free_bits, const Part& part);

// A heavy list's probes so far and its sub-index, once made.
struct HeavyList {
    std::uint32_t probes = 0;
    std::shared_ptr<const SubIndex> sub;
};

class SubIndex {
public:
    // Keys `ids` (ascending) on a plan over `free_bits` (ascending bit
    // positions of d_bytes-byte codes). `codes` is the index's code buffer:
    // row r at r * d_bytes.
    SubIndex(std::span<const std::uint32_t> ids, std::vector<std::uint64_t> free_bits, std::uint32_t k,
             const std::uint8_t* codes, std::uint64_t d_bytes);

    // Number of ids keyed (the list's first size() ids).
    std::size_t size() const noexcept { return size_; }

    // Appends to `out` every keyed id listed under a key within a part's
    // threshold of `row`'s (a superset of the keyed ids within distance k of
    // `row`), each once. `codes` is the code buffer the sub-index was made
    // from, or a longer one holding the same rows.
    void candidates(const std::uint8_t* row, const std::uint8_t* codes,
                    std::vector<std::uint32_t>& out) const;

private:
    // A key's ids: ids_[first, first + count), ascending.
    struct Listed {
        std::uint32_t first;
        std::uint32_t count;
    };
    using Table = boost::unordered_flat_map<std::uint64_t, Listed, KeyHasher>;

    std::span<const std::uint32_t> listed(const Listed& at) const {
        return {ids_.data() + at.first, at.count};
    }
    // The sub-index of the list `ids` under `key` on `part`, or null while
    // the list is to be verified whole.
    const SubIndex* child(std::size_t part, std::uint64_t key, std::span<const std::uint32_t> ids,
                          const std::uint8_t* codes) const;

    std::vector<std::uint64_t> free_bits_;
    std::vector<Part> parts_;
    std::vector<PartKeys> keys_;
    std::vector<std::vector<std::uint64_t>> flips_;  // per part: key differences within its threshold
    std::vector<Table> tables_;
    // Every part's lists back to back; with no part (no more than k bits
    // left), the keyed ids themselves.
    std::vector<std::uint32_t> ids_;
    std::uint32_t k_;
    std::uint64_t d_bytes_;
    std::size_t size_;
    mutable std::mutex mutex_;  // guards children_
    mutable boost::unordered_flat_map<std::uint64_t, HeavyList> children_;
};

}  // namespace brimel::detail
