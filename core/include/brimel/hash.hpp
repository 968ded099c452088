// chunk_key_hash: the one fixed, unseeded hash of every chunk table and id set.
//
// FxHash with multiplier K = 0xf1357aea2e62a9c5: the state starts at 0, each
// absorbed 64-bit word x sets h = (h + x) * K (mod 2^64), and the result is h
// rotated left by 26. No per-process seed, so every table is built the same
// way in every run.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "brimel/types.hpp"

namespace brimel {

inline constexpr std::uint64_t kFxMultiplier = 0xf1357aea2e62a9c5ull;

namespace detail {
constexpr std::uint64_t fx_absorb(std::uint64_t h, std::uint64_t x) {
    return (h + x) * kFxMultiplier;
}
constexpr std::uint64_t fx_finish(std::uint64_t h) { return std::rotl(h, 26); }
}  // namespace detail

// Integer chunk key: absorbs the low 64 bits, then the high 64 bits.
constexpr std::uint64_t chunk_key_hash(ChunkKey key) {
    const auto lo = static_cast<std::uint64_t>(key);
    const auto hi = static_cast<std::uint64_t>(key >> 64);
    return detail::fx_finish(detail::fx_absorb(detail::fx_absorb(0, lo), hi));
}

// One 64-bit word (the index's set of row ids hashes ids this way).
constexpr std::uint64_t chunk_key_hash_word(std::uint64_t x) {
    return detail::fx_finish(detail::fx_absorb(0, x));
}

// Byte-string chunk key (byte chunks of 17 bytes or more): absorbs the length L,
// then a 64-bit digest of the bytes. Precondition: bytes.size() >= 17.
std::uint64_t chunk_key_hash(std::span<const std::uint8_t> bytes);

}  // namespace brimel
