// Test data for the engine tests: random, clustered and planted code matrices.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace brimel::testing {

// n random rows of d_bytes bytes.
inline std::vector<std::uint8_t> random_codes(std::uint64_t n, std::uint64_t d_bytes, std::uint32_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::uint8_t> codes(n * d_bytes);
    for (auto& byte : codes) byte = static_cast<std::uint8_t>(rng());
    return codes;
}

// Random rows, then every other row overwritten by a copy of an earlier row
// with `max_flips` or fewer random bits flipped: many pairs near distance k.
inline std::vector<std::uint8_t> planted_codes(std::uint64_t n, std::uint64_t d_bytes,
                                               std::uint32_t max_flips, std::uint32_t seed) {
    std::mt19937_64 rng(seed);
    auto codes = random_codes(n, d_bytes, seed + 1);
    if (d_bytes == 0) return codes;
    for (std::uint64_t r = 1; r < n; r += 2) {
        const std::uint64_t source = rng() % r;
        for (std::uint64_t t = 0; t < d_bytes; ++t) codes[r * d_bytes + t] = codes[source * d_bytes + t];
        const std::uint32_t flips = static_cast<std::uint32_t>(rng() % (max_flips + 1));
        for (std::uint32_t f = 0; f < flips; ++f) {
            const std::uint64_t bit = rng() % (8 * d_bytes);
            codes[r * d_bytes + bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        }
    }
    return codes;
}

// Rows drawn from `clusters` distinct random rows: large groups of equal rows.
inline std::vector<std::uint8_t> clustered_codes(std::uint64_t n, std::uint64_t d_bytes,
                                                 std::uint64_t clusters, std::uint32_t seed) {
    std::mt19937_64 rng(seed);
    const auto centres = random_codes(clusters, d_bytes, seed + 7);
    std::vector<std::uint8_t> codes(n * d_bytes);
    for (std::uint64_t r = 0; r < n; ++r) {
        const std::uint64_t c = rng() % clusters;
        for (std::uint64_t t = 0; t < d_bytes; ++t) codes[r * d_bytes + t] = centres[c * d_bytes + t];
    }
    return codes;
}

}  // namespace brimel::testing
