#include "brimel/entropy.hpp"

#include <algorithm>
#include <array>
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

    // Each byte's 8 bits are counted at once: spread[v] holds bit 7 - i of v
    // in byte i, so adding it counts every bit in its own byte lane; the
    // lanes are emptied into `ones` before any can pass 255.
    static constexpr auto spread = [] {
        std::array<std::uint64_t, 256> table{};
        for (unsigned v = 0; v < 256; ++v)
            for (unsigned i = 0; i < 8; ++i) table[v] |= std::uint64_t{(v >> (7 - i)) & 1u} << (8 * i);
        return table;
    }();
    std::vector<std::uint64_t> lanes(d_bytes, 0);
    const auto empty_lanes = [&] {
        for (std::uint64_t byte = 0; byte < d_bytes; ++byte) {
            for (unsigned i = 0; i < 8; ++i) ones[8 * byte + i] += (lanes[byte] >> (8 * i)) & 0xFF;
            lanes[byte] = 0;
        }
    };
    const std::uint64_t stride = std::max<std::uint64_t>(n / m, 1);
    std::uint64_t read = 0;
    for (std::uint64_t row = 0; read < m && row < n; row += stride) {
        const std::uint8_t* code = data.data() + row * d_bytes;
        for (std::uint64_t byte = 0; byte < d_bytes; ++byte) lanes[byte] += spread[code[byte]];
        if (++read % 255 == 0) empty_lanes();
    }
    empty_lanes();
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
    if (max_width == 0) return lists;
    // The lists that can still take a position, as a min-heap on (load, list):
    // its top is the least loaded list, ties to the lowest. Only the first
    // order.size() lists can receive anything (an empty list, load 0, wins
    // every tie against a loaded one), so the heap holds at most that many and
    // each position costs O(log) instead of a scan over all k + 1 lists.
    struct Open {
        double load;
        std::uint64_t list;
    };
    const auto after = [](const Open& a, const Open& b) {
        return a.load != b.load ? a.load > b.load : a.list > b.list;
    };
    std::vector<Open> open;
    const std::uint64_t used = std::min<std::uint64_t>(num_chunks, order.size());
    open.reserve(used);
    for (std::uint64_t c = 0; c < used; ++c)
        open.push_back({0.0, c});  // already a heap: loads equal, lists ascending
    for (const std::uint64_t p : order) {
        if (open.empty()) break;  // every list is full
        std::pop_heap(open.begin(), open.end(), after);
        Open& chosen = open.back();
        lists[chosen.list].push_back(p);
        chosen.load += entropies[p];
        if (lists[chosen.list].size() < max_width)
            std::push_heap(open.begin(), open.end(), after);
        else
            open.pop_back();
    }
    for (auto& list : lists) std::sort(list.begin(), list.end());
    return lists;
}

}  // namespace brimel
