// AVX2 scan kernel: four rows per step. AVX2 has no vector popcount, so each
// word's bits are counted per nibble through a 16-entry table (vpshufb) and the
// byte counts summed into 64-bit lanes (vpsadbw).
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

#include "scan.hpp"
#include "scan_rows_scalar.hpp"

#define BRIMEL_AVX2 __attribute__((target("avx2,popcnt")))

namespace brimel::kernels {
namespace {

// Bits set in each byte of v.
BRIMEL_AVX2 inline __m256i popcount_bytes(__m256i v) {
    const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2,
                                           2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
    const __m256i low = _mm256_set1_epi8(0x0f);
    return _mm256_add_epi8(_mm256_shuffle_epi8(table, _mm256_and_si256(v, low)),
                           _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi16(v, 4), low)));
}

// Distances of tile rows r .. r + 3 to the query. Byte counts of up to 31
// words are summed before one horizontal add per lane (31 * 8 < 256).
template <std::size_t Words>
BRIMEL_AVX2 inline __m256i count_rows(const std::uint64_t* query, const Tile& tile, std::size_t r) {
    const std::size_t words = Words != 0 ? Words : tile.words;
    __m256i count = _mm256_setzero_si256();
    for (std::size_t first = 0; first < words; first += 31) {
        __m256i bytes = _mm256_setzero_si256();
        const std::size_t last = first + 31 < words ? first + 31 : words;
        for (std::size_t w = first; w < last; ++w) {
            const __m256i rows =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(tile.data + w * tile.stride + r));
            const __m256i q = _mm256_set1_epi64x(static_cast<long long>(query[w]));
            bytes = _mm256_add_epi8(bytes, popcount_bytes(_mm256_xor_si256(rows, q)));
        }
        count = _mm256_add_epi64(count, _mm256_sad_epu8(bytes, _mm256_setzero_si256()));
    }
    return count;
}

// Lanes within k, as 4 bits. Distances are below 2^31, so the signed 64-bit
// compare is exact.
BRIMEL_AVX2 inline unsigned within(__m256i count, __m256i bound) {
    return ~static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpgt_epi64(count, bound)))) &
           0xFu;
}

BRIMEL_AVX2 inline std::size_t emit(__m256i count, unsigned lanes, std::size_t r, std::uint32_t* pos,
                                    std::uint32_t* dist, std::size_t found) {
    alignas(32) std::uint64_t counts[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(counts), count);
    for (; lanes != 0; lanes &= lanes - 1) {
        const unsigned lane = static_cast<unsigned>(__builtin_ctz(lanes));
        pos[found] = static_cast<std::uint32_t>(r + lane);
        dist[found] = static_cast<std::uint32_t>(counts[lane]);
        ++found;
    }
    return found;
}

template <std::size_t Words>
BRIMEL_AVX2 inline std::size_t scan_rows(const std::uint64_t* query, const Tile& tile, std::size_t begin,
                                         std::size_t end, std::uint32_t k, std::uint32_t* pos,
                                         std::uint32_t* dist) {
    const __m256i bound = _mm256_set1_epi64x(static_cast<long long>(k));
    std::size_t found = 0;
    std::size_t r = begin;
    // Two steps per iteration: two independent popcount chains, and one test
    // of both in the common case of no hit.
    for (; r + 8 <= end; r += 8) {
        const __m256i c0 = count_rows<Words>(query, tile, r);
        const __m256i c1 = count_rows<Words>(query, tile, r + 4);
        const unsigned w0 = within(c0, bound);
        const unsigned w1 = within(c1, bound);
        if ((w0 | w1) == 0) [[likely]]
            continue;
        found = emit(c0, w0, r, pos, dist, found);
        found = emit(c1, w1, r + 4, pos, dist, found);
    }
    for (; r + 4 <= end; r += 4) {
        const __m256i c = count_rows<Words>(query, tile, r);
        found = emit(c, within(c, bound), r, pos, dist, found);
    }
    return scan_rows_scalar<Words>(query, tile, r, end, k, pos, dist, found);
}

BRIMEL_AVX2 std::size_t scan_avx2(const std::uint64_t* query, const Tile& tile, std::size_t begin,
                                  std::size_t end, std::uint32_t k, std::uint32_t* pos, std::uint32_t* dist) {
    switch (tile.words) {
        case 1:
            return scan_rows<1>(query, tile, begin, end, k, pos, dist);
        case 2:
            return scan_rows<2>(query, tile, begin, end, k, pos, dist);
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
