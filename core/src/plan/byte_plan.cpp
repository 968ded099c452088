#include "brimel/byte_plan.hpp"

#include "brimel/errors.hpp"

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

}  // namespace brimel
