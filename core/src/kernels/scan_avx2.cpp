// AVX2 scan kernel: four rows per step. AVX2 has no vector popcount, so each
// word's bits are counted per nibble through a 16-entry table (vpshufb) and the
// byte counts summed into 64-bit lanes (vpsadbw).
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

#include "scan.hpp"

#define BRIMEL_AVX2 __attribute__((target("avx2,popcnt")))

namespace brimel::kernels {
namespace {

BRIMEL_AVX2 inline __m256i popcount_lanes(__m256i v) {
    const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2,
                                           2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
    const __m256i low = _mm256_set1_epi8(0x0f);
    const __m256i bytes = _mm256_add_epi8(_mm256_shuffle_epi8(table, _mm256_and_si256(v, low)),
                                          _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi16(v, 4), low)));
    return _mm256_sad_epu8(bytes, _mm256_setzero_si256());
}

template <std::size_t Words>
BRIMEL_AVX2 inline std::size_t scan_rows(const std::uint64_t* query, const Tile& tile, std::size_t begin,
                                         std::size_t end, std::uint32_t k, std::uint32_t* pos,
                                         std::uint32_t* dist) {
    const std::size_t words = Words != 0 ? Words : tile.words;
    // Distances are below 2^31, so the signed 64-bit compare is exact.
    const __m256i bound = _mm256_set1_epi64x(static_cast<long long>(k));
    std::size_t found = 0;
    std::size_t r = begin;
    for (; r + 4 <= end; r += 4) {
        __m256i count = _mm256_setzero_si256();
        for (std::size_t w = 0; w < words; ++w) {
            const __m256i rows =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(tile.data + w * tile.stride + r));
            const __m256i q = _mm256_set1_epi64x(static_cast<long long>(query[w]));
            count = _mm256_add_epi64(count, popcount_lanes(_mm256_xor_si256(rows, q)));
        }
        auto within = ~static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpgt_epi64(count, bound)))) & 0xFu;
        if (within == 0) continue;
        alignas(32) std::uint64_t counts[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(counts), count);
        for (; within != 0; within &= within - 1) {
            const unsigned lane = static_cast<unsigned>(__builtin_ctz(within));
            pos[found] = static_cast<std::uint32_t>(r + lane);
            dist[found] = static_cast<std::uint32_t>(counts[lane]);
            ++found;
        }
    }
    for (; r < end; ++r) {
        std::uint32_t count = 0;
        for (std::size_t w = 0; w < words; ++w)
            count += static_cast<std::uint32_t>(__builtin_popcountll(query[w] ^ tile.data[w * tile.stride + r]));
        if (count <= k) {
            pos[found] = static_cast<std::uint32_t>(r);
            dist[found] = count;
            ++found;
        }
    }
    return found;
}

BRIMEL_AVX2 std::size_t scan_avx2(const std::uint64_t* query, const Tile& tile, std::size_t begin,
                                  std::size_t end, std::uint32_t k, std::uint32_t* pos, std::uint32_t* dist) {
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

const KernelSet kAvx2{"avx2", scan_avx2};

}  // namespace brimel::kernels
#endif
