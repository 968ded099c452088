// The brute-force reference every test suite and benchmark compares against:
// all pairs, full Hamming distance, no chunks. O(n^2) (or n_a * n_b) and
// obviously correct. C ABI so that Python loads the same code through ctypes.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Every pair i < j of the n rows of `data` (d_bytes each) within distance k,
// ascending by (i, j), as triples (i, j, dist) in a malloc'd array stored in
// *out (NULL when there are none). Returns the number of triples.
uint64_t brimel_reference_self(const uint8_t* data, uint64_t n, uint64_t d_bytes, uint32_t k, uint32_t** out);

// Every (i, j), row i of A and row j of B, within distance k, ascending.
uint64_t brimel_reference_cross(const uint8_t* a, uint64_t n_a, const uint8_t* b, uint64_t n_b,
                                uint64_t d_bytes, uint32_t k, uint32_t** out);

void brimel_reference_free(uint32_t* triples);

#ifdef __cplusplus
}

#include <span>
#include <vector>

#include "brimel/types.hpp"

namespace brimel::reference {

std::vector<PairRecord> self_join(const uint8_t* data, uint64_t n, uint64_t d_bytes, uint32_t k);
std::vector<PairRecord> cross_join(const uint8_t* a, uint64_t n_a, const uint8_t* b, uint64_t n_b,
                                   uint64_t d_bytes, uint32_t k);

// A row's key on a chunk, by definition, for up to 128 bits (bit p: weight
// 2^(7 - p mod 8) in byte p / 8): what the engine's key readers must give.
using ChunkKey = unsigned __int128;
// Bits [lo, hi) in byte-bounded pieces, each keeping its in-byte order (first
// bit most significant), stacked from the low end of the key: a byte-aligned
// range reads its bytes little-endian (over 0xAB 0xCD, [4,12) gives 0xCB).
ChunkKey extract_bits(const uint8_t* row, uint64_t lo, uint64_t hi);
// Key bit t is bit positions[t] of the row.
ChunkKey extract_bits_at(const uint8_t* row, std::span<const uint64_t> positions);

}  // namespace brimel::reference
#endif
