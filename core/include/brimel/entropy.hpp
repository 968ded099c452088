// Per-bit entropy of a row sample and the entropy-balanced chunk plan of the
// adaptive self-join.
//
// Any plan of k+1 disjoint, non-empty position lists keeps a search exact (two
// rows within distance k differ in at most k positions, so some list holds none
// of them); bits left out of every list cost selectivity only.
#pragma once

#include <cstdint>
#include <vector>

#include "brimel/types.hpp"

namespace brimel {

// One list of bit positions per chunk, ascending, disjoint across lists.
using PositionLists = std::vector<std::vector<std::uint64_t>>;

// Base-2 binary entropy of each of the 8 * d_bytes bits (bit numbering of
// bit_plan.hpp) over a strided sample: m = min(n, sample) rows 0, s, 2s, ...
// with s = max(floor(n / m), 1). Values in [0, 1]; exactly 0.0 for a bit
// constant over the sample, and all 0.0 when nothing is read (m = 0).
// Precondition: data holds n * d_bytes bytes (the caller has checked).
std::vector<double> estimate_bit_entropies(ByteSpan data, std::uint64_t n, std::uint64_t d_bytes,
                                           std::uint64_t sample);

// Deals the positive-entropy positions, highest entropy first (stable: ties in
// ascending position), each to the list with the smallest load among those
// holding fewer than max_width positions (ties to the lowest list); once every
// list is full the remaining, lowest-entropy positions are left out. Returns
// num_chunks lists, each sorted ascending; trailing lists stay empty when fewer
// than num_chunks positions vary.
PositionLists plan_adaptive_chunks(const std::vector<double>& entropies, std::uint64_t num_chunks,
                                   std::uint64_t max_width);

}  // namespace brimel
