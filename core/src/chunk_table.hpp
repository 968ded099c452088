// The chunk table shared by every self-join: rows grouped by chunk key, and the
// candidate pairs of each group emitted.
//
// The table maps each distinct key to a dense group number (a flat map with no
// per-row allocation); the row ids of each group are then laid out contiguously
// and ascending (counting sort by group), so emitting a group's pairs reads one
// run of ids instead of chasing a list per key.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "brimel/hash.hpp"
#include "brimel/types.hpp"

namespace brimel::detail {

// Hashes chunk keys with chunk_key_hash. Not declared avalanching, so the flat
// map mixes the value once more before picking a slot: the rotate of the Fx
// hash leaves keys that differ only in high bits with equal top bits.
struct ChunkKeyHasher {
    std::size_t operator()(ChunkKey key) const noexcept { return chunk_key_hash(key); }
};

// `key_of(r)` gives row r's key; Hasher hashes it. Returns every pair of rows
// with equal keys, i < j, groups in first-appearance order, row-major inside a
// group.
template <class Key, class Hasher, class KeyOf>
std::vector<CandidatePair> candidates_by_key(std::uint64_t n, KeyOf&& key_of) {
    if (n < 2) return {};
    const auto rows = static_cast<std::uint32_t>(n);

    // Pass 1: group number of every row, and the size of every group.
    std::unique_ptr<std::uint32_t[]> group_of(new std::uint32_t[rows]);
    std::vector<std::uint32_t> group_size;
    {
        boost::unordered_flat_map<Key, std::uint32_t, Hasher> table;
        table.reserve(rows);
        for (std::uint32_t r = 0; r < rows; ++r) {
            const auto next_group = static_cast<std::uint32_t>(group_size.size());
            const auto [slot, inserted] = table.try_emplace(key_of(r), next_group);
            if (inserted) group_size.push_back(0);
            group_of[r] = slot->second;
            ++group_size[slot->second];
        }
    }

    // Pass 2: exact candidate count, then group starts for the counting sort.
    const std::size_t groups = group_size.size();
    std::uint64_t total = 0;
    std::vector<std::uint32_t> start(groups + 1);
    for (std::size_t g = 0; g < groups; ++g) {
        const std::uint64_t m = group_size[g];
        total += m * (m - 1) / 2;
        start[g + 1] = start[g] + group_size[g];
    }
    if (total == 0) return {};

    // Rows are scattered in ascending order, so each group's run is ascending.
    std::unique_ptr<std::uint32_t[]> ids(new std::uint32_t[rows]);
    {
        std::vector<std::uint32_t> fill(start.begin(), start.end() - 1);
        for (std::uint32_t r = 0; r < rows; ++r) ids[fill[group_of[r]]++] = r;
    }
    group_of.reset();

    std::vector<CandidatePair> pairs;
    pairs.reserve(total);
    for (std::size_t g = 0; g < groups; ++g) {
        const std::uint32_t* run = ids.get() + start[g];
        const std::uint32_t m = group_size[g];
        for (std::uint32_t a = 0; a + 1 < m; ++a)
            for (std::uint32_t b = a + 1; b < m; ++b) pairs.push_back({run[a], run[b]});
    }
    return pairs;
}

}  // namespace brimel::detail
