// Byte chunk plan and candidate generation for the byte-aligned joins.
//
// By the box principle, cutting a code into k+1 disjoint chunks means two codes
// within distance k agree exactly on at least one chunk; rows that share a chunk
// key become candidates.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "brimel/types.hpp"

namespace brimel {

// Half-open byte range [first, second) of a row.
using ByteRange = std::pair<std::uint64_t, std::uint64_t>;

// Cuts d_bytes bytes into num_chunks nearly equal ranges: boundaries
// b[r] = floor(r * d_bytes / num_chunks) (unsigned 64-bit, product first), empty
// ranges dropped. With num_chunks <= d_bytes there are exactly num_chunks ranges
// covering the row; with more, only d_bytes one-byte ranges remain.
// Panics with "attempt to divide by zero" when num_chunks is 0.
std::vector<ByteRange> chunk_boundaries(std::uint64_t d_bytes, std::uint64_t num_chunks);

// Groups the n rows of `data` (row i at i * d_bytes) by their bytes
// [start, end) and returns every pair (i, j), i < j, of rows in one group:
// a group of m rows gives all m(m-1)/2 pairs, row-major within the group;
// groups come in the table's own order. Keys are 128-bit integers for ranges of
// up to 16 bytes (first chunk byte least significant), byte strings above.
// Preconditions: data.size() >= n * d_bytes and start <= end <= d_bytes (both
// checked: an index-out-of-range Panic before any out-of-bounds read); n fits
// in 32 bits (not checked; the joins check it).
std::vector<CandidatePair> candidates_for_chunk(ByteSpan data, std::uint64_t n,
                                                std::uint64_t d_bytes, std::uint64_t start,
                                                std::uint64_t end);

// The 128-bit key of `width` <= 16 bytes at `bytes`: the bytes read as a
// little-endian integer, zero-filled above.
ChunkKey byte_chunk_key(const std::uint8_t* bytes, std::uint64_t width);

}  // namespace brimel
