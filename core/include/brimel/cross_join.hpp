// Cross-joins: every pair (i, j), row i of a code matrix A and row j of a code
// matrix B of the same width, within Hamming distance k.
//
// Both run on the tile pipeline of pairs.hpp with their k + 1 exact-match
// chunks: A grouped per chunk, B's rows verified against the tile of their
// group, a pair recorded by the first chunk it agrees on.
//
// Results: dist <= k, exact distance, ascending by (i, j), each pair once;
// i = j is an ordinary pair, and A and B may be the same buffer. Cross-joins
// run on the worker pool and must be called without the Python interpreter
// lock held. With `control`, they report progress and stop with Cancelled
// once it is cancelled (brimel/run_control.hpp).
#pragma once

#include <cstdint>
#include <vector>

#include "brimel/run_control.hpp"
#include "brimel/types.hpp"

namespace brimel {

// Byte chunks: chunk_boundaries(d_bytes, k + 1), keyed as the byte self-join
// keys them.
// Checks, in order, before any row is read:
//   a_data.size() == n_a * d_bytes, else the equality assertion
//   "a_data length mismatch"; the same for B with "b_data length mismatch";
//   k < d_bytes, else "brimel: k (<k>) must be < d_bytes (<d_bytes>). At
//   k >= d_bytes the byte-aligned chunk brimelhole can miss pairs. Use FAISS
//   IndexBinaryFlat for that regime." (so d_bytes = 0 fails for every k);
//   n_a <= 4294967295, else "n_a exceeds u32::MAX"; the same for n_b.
std::vector<PairRecord> find_pairs_cross(ByteSpan a_data, std::uint64_t n_a, ByteSpan b_data,
                                         std::uint64_t n_b, std::uint64_t d_bytes, std::uint32_t k,
                                         RunControl* control = nullptr);

// Bit chunks: plan_bit_chunks(d_bytes, k), rows of A and B grouped by their
// value on each chunk.
// Checks, in order, before any row is read:
//   a_data.size() == n_a * d_bytes, else the equality assertion
//   "a_data length mismatch"; the same for B with "b_data length mismatch";
//   k < 8 * d_bytes, else "brimel: k (<k>) must be < 8*d_bytes (<8*d_bytes>)";
//   n_a <= 4294967295, else "n_a exceeds u32::MAX"; the same for n_b;
//   every chunk at most 128 bits wide, else "bit chunk wider than 128 bits".
std::vector<PairRecord> find_pairs_cross_bit(ByteSpan a_data, std::uint64_t n_a, ByteSpan b_data,
                                             std::uint64_t n_b, std::uint64_t d_bytes, std::uint32_t k,
                                             RunControl* control = nullptr);

}  // namespace brimel
