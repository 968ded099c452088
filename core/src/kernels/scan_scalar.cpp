// Portable scan kernel: one row at a time, one popcount per word.
#include "clones.hpp"
#include "scan.hpp"
#include "scan_rows_scalar.hpp"

namespace brimel::kernels {
namespace {

BRIMEL_POPCNT_CLONES
std::size_t scan_scalar(const std::uint64_t* query, const Tile& tile, std::size_t begin, std::size_t end,
                        std::uint32_t k, std::uint32_t* pos, std::uint32_t* dist) {
    switch (tile.words) {
        case 1:
            return scan_rows_scalar<1>(query, tile, begin, end, k, pos, dist);
        case 4:
            return scan_rows_scalar<4>(query, tile, begin, end, k, pos, dist);
        default:
            return scan_rows_scalar<0>(query, tile, begin, end, k, pos, dist);
    }
}

}  // namespace

const KernelSet kScalar{"scalar", scan_scalar};

}  // namespace brimel::kernels
