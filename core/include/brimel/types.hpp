// Plain data shared by every engine routine: pair records, query hits, code
// matrices, and the limits that bound them (limits.hpp). Nothing here
// allocates or touches threads.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <span>

#include "brimel/limits.hpp"

namespace brimel {

// A verified pair (i, j) and its exact Hamming distance.
struct PairRecord {
    // Made without values, a record is left unset, not zeroed: a join sizes
    // its array of records (12 bytes a pair, 660 MB for 55M pairs) and then
    // fills it in full in parallel, so zeroing it first would be one more
    // pass, on one worker, that faults in every fresh page.
    PairRecord() {}  // not = default, which would zero it
    constexpr PairRecord(std::uint32_t i_, std::uint32_t j_, std::uint32_t dist_)
        : i(i_), j(j_), dist(dist_) {}

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
