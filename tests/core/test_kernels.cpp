// Every scan kernel this CPU runs against a plain popcount, at the widths the
// kernels specialise and around them, on tiles whose length is no multiple
// of the vector step, with k at, below and above the distances present.
#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <vector>

#include "brimel/kernels.hpp"
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

#if defined(__x86_64__) && defined(__GNUC__)
// BRIMEL_KERNEL: a set by its name, the best for "best", empty or unset; one
// the CPU lacks, or an unknown name, refused with a text saying which.
TEST(ScanKernels, ChosenBySetting) {
    const std::vector<const kernels::KernelSet*> all{&kernels::kAvx512, &kernels::kAvx2, &kernels::kScalar};
    const auto refusal = [&](std::string_view setting, std::size_t from) -> std::string {
        try {
            kernels::choose(setting, std::span(all).subspan(from));  // a CPU running sets from..
        } catch (const KernelUnavailable& refused) {
            return refused.what();
        }
        return "";
    };
    for (const std::optional<std::string_view> best : {std::optional<std::string_view>{}, {""}, {"best"}})
        EXPECT_EQ(&kernels::choose(best, std::span(all).subspan(1)), &kernels::kAvx2);
    for (const kernels::KernelSet* set : all) EXPECT_EQ(&kernels::choose(set->name, all), set);
    EXPECT_EQ(refusal("avx512", 2),
              "BRIMEL_KERNEL=avx512: this CPU does not run the avx512 kernel (it needs "
              "AVX-512 F and VPOPCNTDQ); it runs scalar");
    EXPECT_EQ(refusal("avx512", 1),
              "BRIMEL_KERNEL=avx512: this CPU does not run the avx512 kernel (it needs "
              "AVX-512 F and VPOPCNTDQ); it runs avx2 and scalar");
    EXPECT_EQ(refusal("AVX2", 0),
              "BRIMEL_KERNEL=AVX2: not a kernel; the kernels are scalar, avx2, avx512 and best");
}
#endif

}  // namespace
}  // namespace brimel
