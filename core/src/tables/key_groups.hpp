// Rows grouped by a 64-bit key through a radix sort: no hash table, so no key
// distribution (natural or crafted) makes grouping cost more than a few
// passes over the rows.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace brimel::detail {

class KeyGroups {
public:
    static constexpr std::size_t npos = SIZE_MAX;

    // Groups rows 0 .. keys.size() - 1 by keys[r], whose significant bits are
    // the low `key_bits` (1 .. 64; higher bits must be 0). Groups come in
    // ascending key order, rows ascending within a group. With `lookups`,
    // find() is served by a direct table when key_bits <= kDirectLookupBits.
    // Runs its key passes on the pool when called inside pool::run().
    KeyGroups(std::vector<std::uint64_t> keys, unsigned key_bits, bool lookups);

    std::size_t groups() const { return group_keys_.size(); }
    std::uint64_t key(std::size_t g) const { return group_keys_[g]; }
    std::span<const std::uint32_t> group(std::size_t g) const {
        return {rows_.data() + start_[g], start_[g + 1] - start_[g]};
    }
    // The group holding `key`, or npos.
    std::size_t find(std::uint64_t key) const;
    // True when find() costs one load rather than a binary search.
    bool direct_lookup() const { return !direct_.empty(); }

    static constexpr unsigned kDirectLookupBits = 20;

private:
    std::vector<std::uint64_t> group_keys_;  // ascending
    std::vector<std::uint32_t> start_;       // groups() + 1 offsets into rows_
    std::vector<std::uint32_t> rows_;        // all rows, group by group
    std::vector<std::uint32_t> direct_;      // key -> group + 1 (0: absent)
};

}  // namespace brimel::detail
