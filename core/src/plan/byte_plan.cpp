#include "brimel/byte_plan.hpp"

#include <algorithm>
#include <limits>

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

namespace {

// The steps r = 1 .. this of chunk_boundaries compute r * units without
// wrapping; up to there, each boundary is floor(r * units / num_chunks).
std::uint64_t unwrapped_steps(std::uint64_t units, std::uint64_t num_chunks) {
    if (num_chunks == 0) panic("attempt to divide by zero");
    return units == 0 ? num_chunks : std::min(num_chunks, std::numeric_limits<std::uint64_t>::max() / units);
}

}  // namespace

std::uint64_t chunk_count_at_least(std::uint64_t units, std::uint64_t num_chunks) {
    const std::uint64_t steps = unwrapped_steps(units, num_chunks);
    // Boundaries rise by at least one a step when units >= num_chunks, else by
    // zero or one: a range per step, or per unit reached.
    return units >= num_chunks ? steps : steps * units / num_chunks;
}

bool chunks_at_most(std::uint64_t units, std::uint64_t num_chunks, std::uint64_t width) {
    const bool wraps = unwrapped_steps(units, num_chunks) < num_chunks;
    // Every range of a step that does not wrap is floor or ceil of units /
    // num_chunks wide (a wrapping step's boundary falls, making no range),
    // and the first step makes one of the floor's width when that is not 0.
    const std::uint64_t low = units / num_chunks;
    const std::uint64_t high = low + (units % num_chunks != 0);
    if (high <= width) return true;
    if (low > width) return false;
    // low == width < high: without a wrap the ranges sum to units, so one is
    // high wide; with one, only the boundaries tell.
    if (!wraps) return false;
    std::uint64_t previous = 0;
    for (std::uint64_t r = 1; r <= num_chunks; ++r) {
        const std::uint64_t boundary = r * units / num_chunks;
        if (boundary > previous && boundary - previous > width) return false;
        previous = boundary;
    }
    return true;
}

}  // namespace brimel
