// MurmurHash3's 64-bit finaliser (fmix64): every input bit reaches every
// output bit. It hashes a wide part's bits, a part key into a route key, and
// the tokens and shingles of a text SimHash.
#pragma once

#include <cstdint>

namespace brimel::detail {

constexpr std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    x ^= x >> 33;
    return x;
}

}  // namespace brimel::detail
