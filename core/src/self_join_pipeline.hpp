// Stages 2 and 3 of every self-join (verification in pieces, sort, removal of
// repeats), and the input checks they share. Used by the byte, bit and adaptive
// self-joins.
#pragma once

#include <cstdint>
#include <vector>

#include "brimel/types.hpp"
#include "verify_kernel.hpp"

namespace brimel::detail {

// The checks every self-join makes first: "data length mismatch" (equality
// assertion, buffer length left, n * d_bytes right) and "n exceeds u32::MAX".
void check_self_join_input(ByteSpan data, std::uint64_t n, std::uint64_t d_bytes);

// Piece size for T candidates on W workers: max(floor(T / (4 * max(W, 1))), 1024).
std::size_t verification_piece_size(std::size_t candidates, std::size_t workers);

// Takes the per-chunk candidate lists in plan order and returns the sorted,
// repeat-free records within k. Must run inside pool::run().
std::vector<PairRecord> verify_sort_dedup(std::vector<std::vector<CandidatePair>> per_chunk,
                                          ByteSpan data, std::uint64_t d_bytes, std::uint32_t k,
                                          VerifyKernel kernel);

}  // namespace brimel::detail
