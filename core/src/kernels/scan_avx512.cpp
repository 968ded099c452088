// AVX-512 scan kernel: eight rows per step with the vector popcount
// (VPOPCNTDQ); the tail is a masked step, so no row is read twice.
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

#include "scan.hpp"

#define BRIMEL_AVX512 __attribute__((target("avx512f,avx512vpopcntdq")))

namespace brimel::kernels {
namespace {

// Appends the lanes of `within` (distances in `count`) for rows r .. r + 7.
BRIMEL_AVX512 inline std::size_t emit(__mmask8 within, __m512i count, std::size_t r, std::uint32_t* pos,
                                      std::uint32_t* dist, std::size_t found) {
    alignas(64) std::uint64_t counts[8];
    _mm512_store_si512(counts, count);
    for (unsigned m = within; m != 0; m &= m - 1) {
        const unsigned lane = static_cast<unsigned>(__builtin_ctz(m));
        pos[found] = static_cast<std::uint32_t>(r + lane);
        dist[found] = static_cast<std::uint32_t>(counts[lane]);
        ++found;
    }
    return found;
}

template <std::size_t Words>
BRIMEL_AVX512 inline __m512i count_rows(const std::uint64_t* query, const Tile& tile, std::size_t r,
                                        __mmask8 live) {
    const std::size_t words = Words != 0 ? Words : tile.words;
    __m512i count = _mm512_setzero_si512();
    for (std::size_t w = 0; w < words; ++w) {
        const __m512i rows = _mm512_maskz_loadu_epi64(live, tile.data + w * tile.stride + r);
        const __m512i q = _mm512_set1_epi64(static_cast<long long>(query[w]));
        count = _mm512_add_epi64(count, _mm512_popcnt_epi64(_mm512_xor_si512(rows, q)));
    }
    return count;
}

template <std::size_t Words>
BRIMEL_AVX512 inline std::size_t scan_rows(const std::uint64_t* query, const Tile& tile, std::size_t begin,
                                           std::size_t end, std::uint32_t k, std::uint32_t* pos,
                                           std::uint32_t* dist) {
    const __m512i bound = _mm512_set1_epi64(k);
    std::size_t found = 0;
    std::size_t r = begin;
    // Two steps per iteration: the common case finds nothing, and the two
    // independent popcount chains keep the vector unit busy.
    for (; r + 16 <= end; r += 16) {
        const __m512i c0 = count_rows<Words>(query, tile, r, 0xFF);
        const __m512i c1 = count_rows<Words>(query, tile, r + 8, 0xFF);
        const __mmask8 w0 = _mm512_cmple_epu64_mask(c0, bound);
        const __mmask8 w1 = _mm512_cmple_epu64_mask(c1, bound);
        if ((w0 | w1) == 0) [[likely]]
            continue;
        if (w0) found = emit(w0, c0, r, pos, dist, found);
        if (w1) found = emit(w1, c1, r + 8, pos, dist, found);
    }
    for (; r < end; r += 8) {
        const std::size_t left = end - r;
        const auto live = static_cast<__mmask8>(left >= 8 ? 0xFFu : (1u << left) - 1u);
        const __m512i c = count_rows<Words>(query, tile, r, live);
        const __mmask8 w = _mm512_mask_cmple_epu64_mask(live, c, bound);
        if (w) found = emit(w, c, r, pos, dist, found);
    }
    return found;
}

BRIMEL_AVX512 std::size_t scan_avx512(const std::uint64_t* query, const Tile& tile, std::size_t begin,
                                      std::size_t end, std::uint32_t k, std::uint32_t* pos,
                                      std::uint32_t* dist) {
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

const KernelSet kAvx512{"avx512", scan_avx512};

}  // namespace brimel::kernels
#endif
