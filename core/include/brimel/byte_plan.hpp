// Byte chunk plan of the byte-aligned joins.
//
// By the box principle, cutting a code into k+1 disjoint chunks means two codes
// within distance k agree exactly on at least one chunk.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace brimel {

// Half-open byte range [first, second) of a row.
using ByteRange = std::pair<std::uint64_t, std::uint64_t>;

// Cuts d_bytes bytes into num_chunks nearly equal ranges: boundaries
// b[r] = floor(r * d_bytes / num_chunks) (unsigned 64-bit, product first), empty
// ranges dropped. With num_chunks <= d_bytes there are exactly num_chunks ranges
// covering the row; with more, only d_bytes one-byte ranges remain.
// Panics with "attempt to divide by zero" when num_chunks is 0.
std::vector<ByteRange> chunk_boundaries(std::uint64_t d_bytes, std::uint64_t num_chunks);

// What chunk_boundaries(units, num_chunks) returns, told without making it
// (num_chunks can be in the billions where units is too). Both panic as it
// does when num_chunks is 0.
// The number of its ranges, at least: exact unless units * num_chunks wraps,
// in which case the ranges before the first wrap are counted.
std::uint64_t chunk_count_at_least(std::uint64_t units, std::uint64_t num_chunks);
// True when none of its ranges is wider than `width`.
bool chunks_at_most(std::uint64_t units, std::uint64_t num_chunks, std::uint64_t width);

}  // namespace brimel
