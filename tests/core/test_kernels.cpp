// Every scan kernel this CPU runs against a plain popcount, at the widths the
// kernels specialise and around them, on tiles whose length is no multiple
// of the vector step, with k at, below and above the distances present.
#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <vector>

#include "kernels/scan.hpp"

namespace brimel {
namespace {

TEST(ScanKernels, EqualPlainPopcount) {
    std::mt19937_64 rng(17);
    for (const kernels::KernelSet* set : kernels::runnable()) {
        for (const std::size_t words : {1u, 2u, 3u, 4u, 5u, 9u}) {
            for (const std::size_t rows : {1u, 7u, 8u, 15u, 16u, 17u, 100u}) {
                const std::size_t stride = rows + 3;  // stride may exceed the rows
                std::vector<std::uint64_t> tile(words * stride);
                std::vector<std::uint64_t> query(words);
                for (auto& q : query) q = rng();
                // Rows near the query: a few bits flipped per word, sometimes none.
                for (std::size_t r = 0; r < rows; ++r)
                    for (std::size_t w = 0; w < words; ++w)
                        tile[w * stride + r] = query[w] ^ (rng() & rng() & rng() & rng() & rng());
                for (const std::uint32_t k : {0u, 1u, 5u, 20u, 64u * 9u}) {
                    for (const std::size_t begin : {std::size_t{0}, rows / 2, rows}) {
                        std::vector<std::uint32_t> pos(rows), dist(rows);
                        const kernels::Tile view{tile.data(), stride, words};
                        const std::size_t found =
                            set->scan(query.data(), view, begin, rows, k, pos.data(), dist.data());
                        std::vector<std::pair<std::uint32_t, std::uint32_t>> expected, got;
                        for (std::size_t r = begin; r < rows; ++r) {
                            std::uint32_t d = 0;
                            for (std::size_t w = 0; w < words; ++w)
                                d += static_cast<std::uint32_t>(
                                    std::popcount(query[w] ^ tile[w * stride + r]));
                            if (d <= k) expected.emplace_back(static_cast<std::uint32_t>(r), d);
                        }
                        for (std::size_t h = 0; h < found; ++h) got.emplace_back(pos[h], dist[h]);
                        ASSERT_EQ(got, expected)
                            << set->name << " words " << words << " rows " << rows << " k " << k;
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace brimel
