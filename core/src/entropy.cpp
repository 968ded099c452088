#include "brimel/entropy.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace brimel {

std::vector<double> estimate_bit_entropies(ByteSpan data, std::uint64_t n, std::uint64_t d_bytes,
                                           std::uint64_t sample) {
    const std::uint64_t bits = 8 * d_bytes;
    std::vector<std::uint64_t> ones(bits, 0);
    std::vector<double> entropies(bits, 0.0);
    const std::uint64_t m = std::min(n, sample);
    if (m == 0) return entropies;

    const std::uint64_t stride = std::max<std::uint64_t>(n / m, 1);
    std::uint64_t read = 0;
    for (std::uint64_t row = 0; read < m && row < n; row += stride, ++read) {
        const std::uint8_t* code = data.data() + row * d_bytes;
        for (std::uint64_t byte = 0; byte < d_bytes; ++byte)
            for (unsigned bit = 0; bit < 8; ++bit)
                ones[8 * byte + bit] += (code[byte] >> (7 - bit)) & 1u;
    }
    for (std::uint64_t p = 0; p < bits; ++p) {
        const double q = static_cast<double>(ones[p]) / static_cast<double>(read);
        if (q != 0.0 && q != 1.0) entropies[p] = -q * std::log2(q) - (1.0 - q) * std::log2(1.0 - q);
    }
    return entropies;
}

PositionLists plan_adaptive_chunks(const std::vector<double>& entropies, std::uint64_t num_chunks,
                                   std::uint64_t max_width) {
    std::vector<std::uint64_t> order;
    for (std::uint64_t p = 0; p < entropies.size(); ++p)
        if (entropies[p] > 0.0) order.push_back(p);  // also drops NaN
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint64_t a, std::uint64_t b) { return entropies[a] > entropies[b]; });

    PositionLists lists(num_chunks);
    std::vector<double> load(num_chunks, 0.0);
    for (const std::uint64_t p : order) {
        std::uint64_t chosen = num_chunks;
        for (std::uint64_t c = 0; c < num_chunks; ++c)
            if (lists[c].size() < max_width && (chosen == num_chunks || load[c] < load[chosen])) chosen = c;
        if (chosen == num_chunks) break;  // every list is full
        lists[chosen].push_back(p);
        load[chosen] += entropies[p];
    }
    for (auto& list : lists) std::sort(list.begin(), list.end());
    return lists;
}

}  // namespace brimel
