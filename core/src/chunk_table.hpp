// The chunk tables shared by every join: rows grouped by chunk key, and the
// candidate pairs of each group emitted.
//
// The table maps each distinct key to a dense group number (a flat map with no
// per-row allocation); the row ids of each group are then laid out contiguously
// and ascending (counting sort by group), so emitting a group's pairs reads one
// run of ids instead of chasing a list per key.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "brimel/hash.hpp"
#include "brimel/types.hpp"
#include "memory_advice.hpp"

namespace brimel::detail {

// Hashes chunk keys with chunk_key_hash. Not declared avalanching, so the flat
// map mixes the value once more before picking a slot: the rotate of the Fx
// hash leaves keys that differ only in high bits with equal top bits.
struct ChunkKeyHasher {
    std::size_t operator()(ChunkKey key) const noexcept { return chunk_key_hash(key); }
};

// The n rows of one matrix grouped by their key on one chunk.
struct RowGroups {
    // Group g holds ids[start[g] .. start[g + 1]); groups() + 1 entries.
    std::vector<std::uint32_t> start{0};
    // All n row ids, group by group, ascending within each group.
    std::unique_ptr<std::uint32_t[]> ids;

    std::size_t groups() const { return start.size() - 1; }
    std::span<const std::uint32_t> group(std::size_t g) const {
        return {ids.get() + start[g], start[g + 1] - start[g]};
    }
};

// RowGroups that can also be looked up by key.
template <class Key, class Hasher, class Value = std::uint32_t>
struct KeyGroups : RowGroups {
    // Key -> group number; groups are numbered in order of first appearance.
    // Empty unless the grouping was asked to keep it (for lookups by key); a
    // caller that keeps it may widen Value to store more per key.
    boost::unordered_flat_map<Key, Value, Hasher> group_of_key;
};

// Pass 2 of every grouping: given each row's group number and each group's
// size, lays the ids out group by group (counting sort). Rows are scattered in
// ascending order, so each group's run is ascending.
inline void lay_out_groups(RowGroups& grouped, std::uint32_t rows, const std::uint32_t* group_of,
                           const std::vector<std::uint32_t>& group_size) {
    grouped.start.resize(group_size.size() + 1);
    for (std::size_t g = 0; g < group_size.size(); ++g)
        grouped.start[g + 1] = grouped.start[g] + group_size[g];
    grouped.ids.reset(new std::uint32_t[rows]);
    std::vector<std::uint32_t> fill(grouped.start.begin(), grouped.start.end() - 1);
    for (std::uint32_t r = 0; r < rows; ++r) grouped.ids[fill[group_of[r]]++] = r;
}

// Groups rows 0 .. n-1 by `key_of(r)`. n must fit in 32 bits. The key table
// is dropped before the ids are laid out unless `keep_table` is set.
template <class Key, class Hasher, class Value = std::uint32_t, class KeyOf>
KeyGroups<Key, Hasher, Value> group_rows_by_key(std::uint64_t n, KeyOf&& key_of, bool keep_table) {
    const auto rows = static_cast<std::uint32_t>(n);
    KeyGroups<Key, Hasher, Value> grouped;

    // Pass 1: group number of every row, and the size of every group.
    std::unique_ptr<std::uint32_t[]> group_of(new std::uint32_t[rows]);
    std::vector<std::uint32_t> group_size;
    {
        boost::unordered_flat_map<Key, Value, Hasher> table;
        table.reserve(rows);
        for (std::uint32_t r = 0; r < rows; ++r) {
            const auto next_group = static_cast<std::uint32_t>(group_size.size());
            const auto [slot, inserted] = table.try_emplace(key_of(r), next_group);
            if (inserted) group_size.push_back(0);
            const auto group = static_cast<std::uint32_t>(slot->second);
            group_of[r] = group;
            ++group_size[group];
        }
        if (keep_table) grouped.group_of_key = std::move(table);
    }

    lay_out_groups(grouped, rows, group_of.get(), group_size);
    return grouped;
}

// As group_rows_by_key, for keys that are integers below `key_space` (chunks
// of at most 16 bits): the table is a plain array indexed by key, small enough
// to stay in cache, so grouping a row costs one load instead of a hash probe.
// Groups are numbered in order of first appearance, as there.
template <class KeyOf>
RowGroups group_rows_by_dense_key(std::uint64_t n, std::uint32_t key_space, KeyOf&& key_of) {
    const auto rows = static_cast<std::uint32_t>(n);
    constexpr std::uint32_t kNoGroup = UINT32_MAX;
    RowGroups grouped;

    std::unique_ptr<std::uint32_t[]> group_of(new std::uint32_t[rows]);
    std::vector<std::uint32_t> group_size;
    {
        std::vector<std::uint32_t> group_of_key(key_space, kNoGroup);
        for (std::uint32_t r = 0; r < rows; ++r) {
            std::uint32_t& group = group_of_key[key_of(r)];
            if (group == kNoGroup) {
                group = static_cast<std::uint32_t>(group_size.size());
                group_size.push_back(0);
            }
            group_of[r] = group;
            ++group_size[group];
        }
    }
    lay_out_groups(grouped, rows, group_of.get(), group_size);
    return grouped;
}

// Every pair of rows in one group, i < j, groups in number order, row-major
// inside a group; the list is allocated once at its exact length.
inline std::vector<CandidatePair> candidates_of_groups(const RowGroups& grouped) {
    std::uint64_t total = 0;
    for (std::size_t g = 0; g < grouped.groups(); ++g) {
        const std::uint64_t m = grouped.group(g).size();
        total += m * (m - 1) / 2;
    }
    std::vector<CandidatePair> pairs;
    pairs.reserve(total);
    advise_huge_pages(pairs.data(), total * sizeof(CandidatePair));
    for (std::size_t g = 0; g < grouped.groups(); ++g) {
        const auto run = grouped.group(g);
        for (std::size_t a = 0; a + 1 < run.size(); ++a)
            for (std::size_t b = a + 1; b < run.size(); ++b) pairs.push_back({run[a], run[b]});
    }
    return pairs;
}

// `key_of(r)` gives row r's key; Hasher hashes it. Returns every pair of rows
// with equal keys, i < j, groups in first-appearance order, row-major inside a
// group.
template <class Key, class Hasher, class KeyOf>
std::vector<CandidatePair> candidates_by_key(std::uint64_t n, KeyOf&& key_of) {
    if (n < 2) return {};
    return candidates_of_groups(group_rows_by_key<Key, Hasher>(n, key_of, /*keep_table=*/false));
}

// candidates_by_key for keys below `key_space` (at most 2^16): the same pairs
// in the same order, grouped through a plain array instead of a hash table.
template <class KeyOf>
std::vector<CandidatePair> candidates_by_dense_key(std::uint64_t n, std::uint32_t key_space,
                                                   KeyOf&& key_of) {
    if (n < 2) return {};
    return candidates_of_groups(group_rows_by_dense_key(n, key_space, key_of));
}

// Cross candidates of one chunk: appends to `out` every (i, j), row i of A and
// row j of B, whose keys are equal (`key_of_a(i)`, `key_of_b(j)`). A is grouped
// once; B is streamed against it, so only one table lives at a time. Pairs come
// B-row-major, ascending i within a row of B. n_a and n_b must fit in 32 bits.
template <class Key, class Hasher, class KeyOfA, class KeyOfB>
void append_cross_candidates(std::vector<CandidatePair>& out, std::uint64_t n_a, KeyOfA&& key_of_a,
                             std::uint64_t n_b, KeyOfB&& key_of_b) {
    if (n_a == 0 || n_b == 0) return;
    auto grouped = group_rows_by_key<Key, Hasher, std::uint64_t>(n_a, key_of_a, /*keep_table=*/true);
    // Each key of A now tells where its rows are, so that a row of B costs one
    // probe of the table and no more when its key is held by one row of A:
    // (first << 32) | count, first being that row itself for a group of one,
    // else the start of the group's run in ids.
    for (auto& [key, value] : grouped.group_of_key) {
        const auto g = static_cast<std::uint32_t>(value);
        const std::uint32_t count = grouped.start[g + 1] - grouped.start[g];
        const std::uint32_t first = count == 1 ? grouped.ids[grouped.start[g]] : grouped.start[g];
        value = (std::uint64_t{first} << 32) | count;
    }
    const auto rows_b = static_cast<std::uint32_t>(n_b);
    for (std::uint32_t j = 0; j < rows_b; ++j) {
        const auto slot = grouped.group_of_key.find(key_of_b(j));
        if (slot == grouped.group_of_key.end()) continue;
        const auto first = static_cast<std::uint32_t>(slot->second >> 32);
        const auto count = static_cast<std::uint32_t>(slot->second);
        if (count == 1) {
            out.push_back({first, j});
            continue;
        }
        for (std::uint32_t t = first; t < first + count; ++t) out.push_back({grouped.ids[t], j});
    }
}

}  // namespace brimel::detail
