// The hash function of the index's tables: drawn at random once per process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace brimel::detail {

// The tables and seen sets of every index hash with one function drawn at
// random when the process starts: vector multiply-add-shift, the high 64 bits
// of (a1 * lo + a2 * hi + b) mod 2^128 with a1, a2, b random 128-bit numbers.
// It is strongly universal: two distinct keys agree on any chosen bits of
// their hashes exactly as often as random bits would, whichever keys they
// are. Codes cannot be crafted to collide without knowing the draw, so every
// set of keys costs what random keys cost. No result depends on the draw:
// id lists keep insertion order and query hits are sorted by id.
using Word128 = unsigned __int128;

struct HashDraw {
    Word128 a1, a2, b;
};

extern const HashDraw kHashDraw;

// Declared avalanching: the output is already uniform in every bit, so the
// flat containers use it as it is.
struct KeyHasher {
    using is_avalanching = std::true_type;
    std::size_t operator()(std::uint64_t key) const noexcept {
        return static_cast<std::uint64_t>((kHashDraw.a1 * key + kHashDraw.b) >> 64);
    }
};

}  // namespace brimel::detail
