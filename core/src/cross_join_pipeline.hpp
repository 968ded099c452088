// What every cross-join does around its candidate generation: the input checks
// on lengths and row counts, and the final stage (sort, removal of repeats,
// verification). Single-threaded.
#pragma once

#include <cstdint>
#include <vector>

#include "brimel/types.hpp"
#include "verify_kernel.hpp"

namespace brimel::detail {

// Equality assertions "a_data length mismatch" and "b_data length mismatch"
// (buffer length left, rows * d_bytes right, wrapping product), in that order.
void check_cross_join_lengths(ByteSpan a_data, std::uint64_t n_a, ByteSpan b_data, std::uint64_t n_b,
                              std::uint64_t d_bytes);

// "n_a exceeds u32::MAX", then "n_b exceeds u32::MAX".
void check_cross_join_rows(std::uint64_t n_a, std::uint64_t n_b);

// Sorts the candidates by (i, j), drops repeats (a pair found on several
// chunks), and verifies each remaining pair once, with early exit or with a
// full count as `kernel` says: row i of A against row j of B. Returns the
// records within k, ascending by (i, j). Candidates must name rows inside
// their matrices.
std::vector<PairRecord> sort_dedup_verify_cross(std::vector<CandidatePair> candidates, ByteSpan a_data,
                                                ByteSpan b_data, std::uint64_t d_bytes, std::uint32_t k,
                                                VerifyKernel kernel);

}  // namespace brimel::detail
