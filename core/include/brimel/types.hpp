// Plain data shared by every engine routine: row ids, candidates, pair records,
// query hits and chunk keys. Nothing here allocates or touches threads.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <span>

#include "brimel/limits.hpp"

namespace brimel {

// A chunk key: the value of one row on one chunk. Only byte chunks wider than
// 16 bytes use a byte-string key instead (see ByteStringKey).
using ChunkKey = unsigned __int128;

// Two rows that agree exactly on one chunk, not yet verified. In a self-join
// i < j; in a cross-join i is a row of A and j a row of B.
struct CandidatePair {
    std::uint32_t i;
    std::uint32_t j;
    friend constexpr auto operator<=>(const CandidatePair&, const CandidatePair&) = default;
};

// A verified pair (i, j) and its exact Hamming distance.
struct PairRecord {
    std::uint32_t i;
    std::uint32_t j;
    std::uint32_t dist;
    friend constexpr auto operator<=>(const PairRecord&, const PairRecord&) = default;
};

// One answer of an index query: a stored row id and its distance to the query.
struct QueryHit {
    std::uint32_t id;
    std::uint32_t dist;
    friend constexpr auto operator<=>(const QueryHit&, const QueryHit&) = default;
};

// A read-only code matrix: n rows of d_bytes bytes back to back. `bytes` is the
// caller's whole buffer; its length is checked against n * d_bytes by every
// routine before any row is read.
using ByteSpan = std::span<const std::uint8_t>;

}  // namespace brimel
