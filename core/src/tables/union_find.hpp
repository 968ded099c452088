// A union-find over rows 0 .. n - 1 that any number of workers unite into at
// once, without locks: 4 bytes per row.
//
// A root is always linked under the smaller root, so every parent is at most
// its child, no cycle can form, and the root of a component is its lowest row:
// the labels come out canonical, whatever order the unions ran in. Finds halve
// their path as they go (a compare-and-swap to the grandparent, which is also
// at most the child, so a lost race only leaves a longer path).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace brimel::detail {

class UnionFind {
public:
    explicit UnionFind(std::size_t n) : parent_(std::make_unique<std::atomic<std::uint32_t>[]>(n)) {
        for (std::size_t r = 0; r < n; ++r)
            parent_[r].store(static_cast<std::uint32_t>(r), std::memory_order_relaxed);
    }

    // The lowest row of x's component, once every union has finished.
    std::uint32_t find(std::uint32_t x) const {
        for (;;) {
            std::uint32_t parent = parent_[x].load(std::memory_order_relaxed);
            if (parent == x) return x;
            const std::uint32_t grandparent = parent_[parent].load(std::memory_order_relaxed);
            if (grandparent != parent)
                parent_[x].compare_exchange_weak(parent, grandparent, std::memory_order_relaxed);
            x = grandparent;
        }
    }

    void unite(std::uint32_t a, std::uint32_t b) {
        for (;;) {
            a = find(a);
            b = find(b);
            if (a == b) return;
            if (a < b) std::swap(a, b);  // link the larger root under the smaller
            std::uint32_t expected = a;
            if (parent_[a].compare_exchange_strong(expected, b, std::memory_order_relaxed)) return;
        }
    }

private:
    std::unique_ptr<std::atomic<std::uint32_t>[]> parent_;
};

}  // namespace brimel::detail
