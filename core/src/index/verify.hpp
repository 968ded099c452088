// Verifying candidates of a stored segment against a query row: codes
// gathered into word-major tiles (kernels/scan.hpp) and scanned by the active
// kernel. Shared by the per-query and the batched searches.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../kernels/scan.hpp"
#include "../keys/code_words.hpp"

namespace brimel::detail {

// Rows verified per kernel call, gathered into one word-major tile: at most
// 256, fewer for wide codes so that a tile stays within 1 MiB.
inline std::size_t tile_rows(std::size_t words) {
    return std::clamp<std::size_t>((std::size_t{1} << 17) / words, 1, 256);
}

inline constexpr std::size_t kGatherAhead = 16;

// Gathers the codes code_of(0 .. count - 1) into tiles and scans each against
// `row`; calls hit(c, dist) for each within k, in ascending c.
template <class CodeOf, class Hit>
void verify_gathered(std::size_t count, std::uint64_t d_bytes, const std::uint8_t* row, std::uint32_t k,
                     CodeOf&& code_of, Hit&& hit) {
    const std::size_t words = std::max<std::size_t>(words_per_row(d_bytes), 1);
    const std::size_t per_tile = tile_rows(words);
    // Per-thread buffers: queries from several threads may read one segment.
    thread_local std::vector<std::uint64_t> query;
    thread_local std::vector<std::uint64_t> tile;
    thread_local std::vector<std::uint32_t> pos;
    thread_local std::vector<std::uint32_t> dist;
    query.resize(words);
    tile.resize(words * per_tile);
    pos.resize(per_tile);
    dist.resize(per_tile);
    for (std::size_t w = 0; w < words; ++w) query[w] = load_word(row, w, d_bytes);
    const kernels::ScanFn scan = kernels::active().scan;
    for (std::size_t first = 0; first < count; first += per_tile) {
        const std::size_t n = std::min(per_tile, count - first);
        for (std::size_t t = 0; t < n; ++t) {
            // The codes come in no useful order and each is a cache miss in
            // a large store: a prefetch this far ahead keeps several in flight.
            if (first + t + kGatherAhead < count) __builtin_prefetch(code_of(first + t + kGatherAhead));
            const std::uint8_t* code = code_of(first + t);
            for (std::size_t w = 0; w < words; ++w) tile[w * per_tile + t] = load_word(code, w, d_bytes);
        }
        const std::size_t found =
            scan(query.data(), {tile.data(), per_tile, words}, 0, n, k, pos.data(), dist.data());
        for (std::size_t h = 0; h < found; ++h) hit(first + pos[h], dist[h]);
    }
}

}  // namespace brimel::detail
