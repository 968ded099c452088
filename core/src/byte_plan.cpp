#include "brimel/byte_plan.hpp"

#include <cstring>

#include "brimel/errors.hpp"
#include "byte_string_key.hpp"
#include "chunk_table.hpp"

namespace brimel {

std::vector<ByteRange> chunk_boundaries(std::uint64_t d_bytes, std::uint64_t num_chunks) {
    if (num_chunks == 0) panic("attempt to divide by zero");
    std::vector<ByteRange> plan;
    std::uint64_t previous = 0;
    for (std::uint64_t r = 1; r <= num_chunks; ++r) {
        // Product first, then truncating division, both modulo 2^64.
        const std::uint64_t boundary = r * d_bytes / num_chunks;
        if (boundary > previous) plan.emplace_back(previous, boundary);
        previous = boundary;
    }
    return plan;
}

ChunkKey byte_chunk_key(const std::uint8_t* bytes, std::uint64_t width) {
    std::uint8_t buffer[16] = {};
    std::memcpy(buffer, bytes, width);
    std::uint64_t lo;
    std::uint64_t hi;
    std::memcpy(&lo, buffer, 8);
    std::memcpy(&hi, buffer + 8, 8);
    if constexpr (std::endian::native == std::endian::big) {
        lo = __builtin_bswap64(lo);
        hi = __builtin_bswap64(hi);
    }
    return (static_cast<ChunkKey>(hi) << 64) | lo;
}

std::vector<CandidatePair> candidates_for_chunk(ByteSpan data, std::uint64_t n,
                                                std::uint64_t d_bytes, std::uint64_t start,
                                                std::uint64_t end) {
    if (start > end) panic_out_of_range(start, end);
    if (end > d_bytes) panic_out_of_range(end, d_bytes);
    // The last row must lie inside the buffer (checked without overflow).
    if (n > 0 && (d_bytes != 0 && n > data.size() / d_bytes)) panic_out_of_range(n * d_bytes, data.size());

    if (n < 2) return {};  // no pair; and an empty buffer may have no address to offset

    const std::uint64_t width = end - start;
    const std::uint8_t* base = data.data() + start;
    // One- and two-byte chunks have at most 65536 keys: grouped through a plain
    // array, with the key loaded directly.
    if (width == 1)
        return detail::candidates_by_dense_key(n, 1u << 8, [&](std::uint32_t r) -> std::uint32_t {
            return base[r * d_bytes];
        });
    if (width == 2)
        return detail::candidates_by_dense_key(n, 1u << 16, [&](std::uint32_t r) -> std::uint32_t {
            const std::uint8_t* bytes = base + r * d_bytes;
            return bytes[0] | (std::uint32_t{bytes[1]} << 8);
        });
    if (width <= 16) {
        return detail::candidates_by_key<ChunkKey, detail::ChunkKeyHasher>(
            n, [&](std::uint32_t r) { return byte_chunk_key(base + r * d_bytes, width); });
    }
    return detail::candidates_by_key<detail::ByteStringKey, detail::ByteStringKeyHasher>(
        n, [&](std::uint32_t r) { return detail::ByteStringKey{base + r * d_bytes, width}; });
}

}  // namespace brimel
