// The scalar row loop: one row at a time, one popcount per word. The scalar
// kernel is nothing else, and the vector kernels finish their tails with it.
// Always inlined, so that it counts with the instructions of the kernel it is
// inlined into.
#pragma once

#include "scan.hpp"

namespace brimel::kernels {

template <std::size_t Words>
[[gnu::always_inline]] inline std::size_t scan_rows_scalar(const std::uint64_t* query, const Tile& tile,
                                                           std::size_t begin, std::size_t end,
                                                           std::uint32_t k, std::uint32_t* pos,
                                                           std::uint32_t* dist, std::size_t found = 0) {
    const std::size_t words = Words != 0 ? Words : tile.words;
    for (std::size_t r = begin; r < end; ++r) {
        // 64-bit, as in the vector kernels: rows wider than 2^29 bytes differ
        // in more bits than 32 bits count.
        std::uint64_t count = 0;
        for (std::size_t w = 0; w < words; ++w)
            count +=
                static_cast<std::uint64_t>(__builtin_popcountll(query[w] ^ tile.data[w * tile.stride + r]));
        if (count <= k) {
            pos[found] = static_cast<std::uint32_t>(r);
            dist[found] = static_cast<std::uint32_t>(count);
            ++found;
        }
    }
    return found;
}

}  // namespace brimel::kernels
