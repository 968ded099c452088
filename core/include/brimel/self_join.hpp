// Self-joins: every pair of rows i < j of one code matrix within distance k.
//
// Each join fixes its k + 1 exact-match chunks and runs them on the tile
// pipeline of pairs.hpp (rows grouped per chunk, groups verified as tiles, a
// pair recorded by the first chunk it agrees on), or runs the tile scan where
// the planner expects that to be cheaper (heavy groups): no candidate list is
// held, and memory beyond the input and the records is O(n).
//
// Results: i < j, dist <= k, exact distance, ascending by (i, j, dist), no
// repeats, identical for any number of workers. Each routine runs on the worker
// pool and must be called without the Python interpreter lock held. With
// `control`, a routine reports its progress there and stops with Cancelled
// once it is cancelled (brimel/run_control.hpp).
//
// Common checks, in order, before any row is read:
//   data.size() == n * d_bytes (wrapping product), else the equality assertion
//   "data length mismatch"; n <= 4294967295, else "n exceeds u32::MAX".
#pragma once

#include <cstdint>
#include <vector>

#include "brimel/run_control.hpp"
#include "brimel/types.hpp"

namespace brimel {

// Byte chunks: chunk_boundaries(d_bytes, k + 1). Exact only for k < d_bytes,
// which the caller checks (a larger k leaves d_bytes one-byte chunks).
std::vector<PairRecord> find_pairs_self_no_dedup_par_prefetch(ByteSpan data, std::uint64_t n,
                                                              std::uint64_t d_bytes, std::uint32_t k,
                                                              RunControl* control = nullptr);

// The same join, kept under its own name for the benchmarks that compared
// verification kernels; tiles count every row in full, so the two are one.
std::vector<PairRecord> find_pairs_self_no_dedup_par_prefetch_full(ByteSpan data, std::uint64_t n,
                                                                   std::uint64_t d_bytes, std::uint32_t k,
                                                                   RunControl* control = nullptr);

// Bit chunks: plan_bit_chunks(d_bytes, k), rows grouped by their value on each
// chunk (keys/part_keys.hpp). Exact for any k < 8 * d_bytes whose plan has no
// chunk wider than kMaxChunkBits, i.e.
// k = 0 (only bits 0..127 are keyed; verification compares whole rows) or
// ceil(8 * d_bytes / (k + 1)) <= 128.
// After the common checks, and still before any row is read:
//   k < 8 * d_bytes, else "brimel: k (<k>) must be < 8*d_bytes (<8*d_bytes>)";
//   every chunk at most 128 bits wide, else "bit chunk wider than 128 bits".
std::vector<PairRecord> find_pairs_self_bit(ByteSpan data, std::uint64_t n, std::uint64_t d_bytes,
                                            std::uint32_t k, RunControl* control = nullptr);

// Entropy-aware bit chunks: the k + 1 chunks are position lists of the bits
// that vary over a strided sample of at most 10000 rows, balanced by entropy
// (estimate_bit_entropies, plan_adaptive_chunks(entropies, k + 1, 128) in
// entropy.hpp), so constant and skewed bits do not crowd the chunk keys; bits
// in no list cost selectivity only. Rows are grouped by their value on each
// list.
// After the common checks: k = 0 returns find_pairs_self_bit(data, n, d_bytes,
// 0) without sampling, and so does any k for which fewer than k + 1 bits vary
// in the sample (all sampled rows equal, n < 2, k >= 8 * d_bytes), so that
// find_pairs_self_bit's k and chunk-width panics apply there. No k check of
// its own; a huge k builds no plan.
std::vector<PairRecord> find_pairs_self_adaptive(ByteSpan data, std::uint64_t n, std::uint64_t d_bytes,
                                                 std::uint32_t k, RunControl* control = nullptr);

}  // namespace brimel
