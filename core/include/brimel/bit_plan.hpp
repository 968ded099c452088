// Bit chunk plan of the bit-level joins and the streaming index.
//
// Bit numbering: bit p of a code is the bit of weight 2^(7 - p mod 8) in byte
// p / 8, so bit 0 is the most significant bit of byte 0.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "brimel/limits.hpp"

namespace brimel {

// Half-open bit range [first, second) of a row.
using BitRange = std::pair<std::uint64_t, std::uint64_t>;

// Cuts total_bits into num_chunks ranges at b_i = floor(i * total_bits /
// num_chunks) (unsigned 64-bit), dropping empty ranges: widths differ by at most
// one, the widest is ceil(total_bits / num_chunks), and with total_bits <
// num_chunks only total_bits one-bit ranges remain.
// Panics with "attempt to divide by zero" when num_chunks is 0.
std::vector<BitRange> chunk_bit_boundaries(std::uint64_t total_bits, std::uint64_t num_chunks);

// The plan of a bit-level search over codes of d_bytes bytes with bound k:
// for k = 0 and more than 128 bits, the single chunk [0, 128) (exact for k = 0,
// since verification compares whole codes); otherwise
// chunk_bit_boundaries(8 * d_bytes, k + 1). Callers check k < 8 * d_bytes before
// and every chunk's width against kMaxChunkBits after, with their own messages
// (see plan_fits_chunk_keys).
std::vector<BitRange> plan_bit_chunks(std::uint64_t d_bytes, std::uint32_t k);

// True when no chunk of `plan` is wider than kMaxChunkBits.
bool plan_fits_chunk_keys(std::span<const BitRange> plan);

// plan_fits_chunk_keys(plan_bit_chunks(d_bytes, k)), and the number of chunks
// of that plan, at least (chunk_count_at_least), without making it: k + 1
// ranges, billions for the largest k.
bool bit_plan_fits_chunk_keys(std::uint64_t d_bytes, std::uint32_t k);
std::uint64_t bit_plan_chunks_at_least(std::uint64_t d_bytes, std::uint32_t k);

}  // namespace brimel
