// Portable scan kernel: one row at a time, one popcount per word.
#include "popcount_clones.hpp"
#include "scan.hpp"

namespace brimel::kernels {
namespace {

template <std::size_t Words>
[[gnu::always_inline]] inline std::size_t scan_rows(const std::uint64_t* query, const Tile& tile,
                                                    std::size_t begin, std::size_t end, std::uint32_t k,
                                                    std::uint32_t* pos, std::uint32_t* dist) {
    const std::size_t words = Words != 0 ? Words : tile.words;
    std::size_t found = 0;
    for (std::size_t r = begin; r < end; ++r) {
        std::uint32_t count = 0;
        for (std::size_t w = 0; w < words; ++w)
            count +=
                static_cast<std::uint32_t>(__builtin_popcountll(query[w] ^ tile.data[w * tile.stride + r]));
        if (count <= k) {
            pos[found] = static_cast<std::uint32_t>(r);
            dist[found] = count;
            ++found;
        }
    }
    return found;
}

BRIMEL_POPCNT_CLONES
std::size_t scan_scalar(const std::uint64_t* query, const Tile& tile, std::size_t begin, std::size_t end,
                        std::uint32_t k, std::uint32_t* pos, std::uint32_t* dist) {
    switch (tile.words) {
        case 1:
            return scan_rows<1>(query, tile, begin, end, k, pos, dist);
        case 4:
            return scan_rows<4>(query, tile, begin, end, k, pos, dist);
        default:
            return scan_rows<0>(query, tile, begin, end, k, pos, dist);
    }
}

}  // namespace

const KernelSet kScalar{"scalar", scan_scalar};

}  // namespace brimel::kernels
