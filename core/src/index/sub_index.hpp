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
// less than making one (about (k + 1) table inserts per row).
inline constexpr std::size_t kHeavyList = 4096;

class SubIndex {
public:
    // Keys `ids` (ascending) on a plan over `free_bits` (ascending bit
    // positions of d_bytes-byte codes). `codes` is the index's code
    // buffer: row r at r * d_bytes.
    SubIndex(std::span<const std::uint32_t> ids, std::vector<std::uint64_t> free_bits, std::uint32_t k,
             const std::uint8_t* codes, std::uint64_t d_bytes);

    // Number of ids keyed (the list's first size() ids).
    std::size_t size() const noexcept { return size_; }

    // Appends to `out` every keyed id listed under a key within a part's
    // threshold of `row`'s (a superset of the keyed ids within distance k of
    // `row`), each once. `codes` is the code buffer the sub-index was made from, or a
    // longer one holding the same rows.
    void candidates(const std::uint8_t* row, const std::uint8_t* codes,
                    std::vector<std::uint32_t>& out) const;

private:
    using Table = boost::unordered_flat_map<std::uint64_t, std::vector<std::uint32_t>, KeyHasher>;

    const SubIndex& child(std::size_t part, std::uint64_t key, const std::vector<std::uint32_t>& ids,
                          const std::uint8_t* codes) const;

    std::vector<std::uint32_t> all_;  // the ids, when no more than k bits are left
    std::vector<std::uint64_t> free_bits_;
    std::vector<Part> parts_;
    std::vector<PartKeys> keys_;
    std::vector<std::vector<std::uint64_t>> flips_;  // per part: key differences within its threshold
    std::vector<Table> tables_;
    std::uint32_t k_;
    std::uint64_t d_bytes_;
    std::size_t size_;
    mutable std::mutex mutex_;  // guards children_
    mutable boost::unordered_flat_map<std::uint64_t, std::shared_ptr<const SubIndex>> children_;
};

}  // namespace brimel::detail
