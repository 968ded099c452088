// The chunk keys of the bit-level plans by their definition, one bit or one
// byte piece at a time, for up to 128 bits: what the engine's key readers
// (keys/bit_chunk_reader.hpp, keys/position_key_reader.hpp) must agree with.
// Bit numbering: bit p is the bit of weight 2^(7 - p mod 8) in byte p / 8.
#pragma once

#include <cstdint>
#include <span>

namespace brimel::reference {

using ChunkKey = unsigned __int128;

// Bits [lo_bit, hi_bit) of `row` (at most 128): byte-bounded pieces, each
// keeping its in-byte order (first bit most significant), stacked from the
// low end of the key. A byte-aligned range thus reads its bytes little-endian:
// over 0xAB 0xCD, [0,16) gives 0xCDAB and [4,12) gives 0xCB.
ChunkKey extract_bits(const std::uint8_t* row, std::uint64_t lo_bit, std::uint64_t hi_bit);

// The listed bits of `row` (at most 128): key bit t is bit positions[t].
ChunkKey extract_bits_at(const std::uint8_t* row, std::span<const std::uint64_t> positions);

}  // namespace brimel::reference
