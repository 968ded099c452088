// The chunk key of a byte chunk wider than 16 bytes: the chunk's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "brimel/hash.hpp"

namespace brimel::detail {

// Keyed by the bytes themselves. The key points into the caller's code matrix,
// which outlives every table, so no row pays for a copy. Keys of one table all
// have the same width, and rows of two matrices (a cross-join) compare by their
// bytes alone.
struct ByteStringKey {
    const std::uint8_t* bytes;
    std::uint64_t width;
    friend bool operator==(const ByteStringKey& a, const ByteStringKey& b) {
        return a.width == b.width && std::memcmp(a.bytes, b.bytes, a.width) == 0;
    }
};

struct ByteStringKeyHasher {
    std::size_t operator()(const ByteStringKey& key) const noexcept {
        return chunk_key_hash(std::span<const std::uint8_t>(key.bytes, key.width));
    }
};

}  // namespace brimel::detail
