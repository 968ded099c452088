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

}  // namespace brimel
