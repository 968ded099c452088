// The probe loop of every keyed search: the part keys within a part's
// threshold of a key, and the first-part rule that keeps each pair once.
//
// By the box principle (plan.hpp) a pair within k is within t_p of each other
// on some part p. Searching part p, a row looks up its own key and every key
// that differs from it in 1 .. t_p of the part's key bits (an exact part's key
// is the part's value, so key bits and part bits flip together). A pair near
// on several parts is found once per such part; it is kept only on the first
// of them, so that no seen set is needed. Parts may share bits (the block
// plans): the rule holds for any parts, since a pair is found on a part
// exactly when it is near on it. A hashed part (wider than
// kMaxExactPartBits, threshold 0) groups rows whose hashes merely collide as
// well, so there a pair must also be shown near on the part itself.
//
// The joins, the index and its sub-indexes all probe through this one loop.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "part_keys.hpp"

namespace brimel::detail {

class PartProbe {
public:
    explicit PartProbe(const PartKeys& keys)
        : flips_(keys.exact() ? flip_masks(keys.key_bits(), keys.threshold())
                              : std::vector<std::uint64_t>{}) {}

    // Calls fn(probe) for `key` itself, then for every key within the part's
    // threshold of it, each once.
    template <class Fn>
    void for_each_key(std::uint64_t key, Fn&& fn) const {
        fn(key);
        for (const std::uint64_t flip : flips_) fn(key ^ flip);
    }

    // The key differences probed besides the key itself (empty at threshold 0).
    std::span<const std::uint64_t> flips() const noexcept { return flips_; }
    // Keys probed per key: 1 + flips().size().
    std::size_t keys_per_probe() const noexcept { return 1 + flips_.size(); }

private:
    std::vector<std::uint64_t> flips_;
};

// True when `p` is the first part of `parts` on which rows x and y are near
// (for a hashed part p: and near on it at all). A pair found on part p is kept
// only then.
inline bool first_near_part(std::span<const PartKeys> parts, std::size_t p, const std::uint8_t* x,
                            const std::uint8_t* y) {
    if (!parts[p].exact() && !parts[p].near(x, y)) return false;
    for (std::size_t q = 0; q < p; ++q)
        if (parts[q].near(x, y)) return false;
    return true;
}

// The same from the rows' words: x's back to back, y's `y_stride` apart (a
// query row against a column of a word-major tile, with no row reloaded).
inline bool first_near_part(std::span<const PartKeys> parts, std::size_t p, const std::uint64_t* x,
                            const std::uint64_t* y, std::size_t y_stride) {
    if (!parts[p].exact() && !parts[p].near(x, y, y_stride)) return false;
    for (std::size_t q = 0; q < p; ++q)
        if (parts[q].near(x, y, y_stride)) return false;
    return true;
}

}  // namespace brimel::detail
