// Distance of two single rows, for the index, which verifies one candidate at
// a time (the joins verify whole tiles through kernels/scan.hpp).
#pragma once

#include <cstdint>
#include "brimel/types.hpp"

namespace brimel {

// Hamming distance of two rows of d_bytes bytes, counted in full: popcount of
// the XOR of each whole 8-byte word (unaligned little-endian loads), then of
// each of the d_bytes mod 8 tail bytes.
// Always inlined, so that each caller's popcount clone (see dispatch.hpp)
// counts with the instruction it was compiled for.
inline std::uint32_t hamming_distance(const std::uint8_t* a, const std::uint8_t* b,
                                      std::uint64_t d_bytes);

// Early-exit distance test: counts word by word, then byte by byte, and stops
// as soon as the running count exceeds k. Returns true, with the exact distance
// in `dist`, when the rows are within k.
inline bool hamming_within(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t d_bytes,
                           std::uint32_t k, std::uint32_t& dist);

// ---------------------------------------------------------------------------

[[gnu::always_inline]] inline std::uint32_t hamming_distance(const std::uint8_t* a,
                                                             const std::uint8_t* b,
                                                             std::uint64_t d_bytes) {
    std::uint32_t count = 0;
    const std::uint64_t words = d_bytes / 8;
    for (std::uint64_t w = 0; w < words; ++w) {
        std::uint64_t x;
        std::uint64_t y;
        __builtin_memcpy(&x, a + 8 * w, 8);
        __builtin_memcpy(&y, b + 8 * w, 8);
        count += static_cast<std::uint32_t>(__builtin_popcountll(x ^ y));
    }
    for (std::uint64_t t = 8 * words; t < d_bytes; ++t)
        count += static_cast<std::uint32_t>(__builtin_popcount(static_cast<unsigned>(a[t] ^ b[t])));
    return count;
}

[[gnu::always_inline]] inline bool hamming_within(const std::uint8_t* a, const std::uint8_t* b,
                                                std::uint64_t d_bytes, std::uint32_t k,
                                                std::uint32_t& dist) {
    std::uint32_t count = 0;
    const std::uint64_t words = d_bytes / 8;
    for (std::uint64_t w = 0; w < words; ++w) {
        std::uint64_t x;
        std::uint64_t y;
        __builtin_memcpy(&x, a + 8 * w, 8);
        __builtin_memcpy(&y, b + 8 * w, 8);
        count += static_cast<std::uint32_t>(__builtin_popcountll(x ^ y));
        if (count > k) return false;
    }
    for (std::uint64_t t = 8 * words; t < d_bytes; ++t) {
        count += static_cast<std::uint32_t>(__builtin_popcount(static_cast<unsigned>(a[t] ^ b[t])));
        if (count > k) return false;
    }
    dist = count;
    return true;
}

}  // namespace brimel
