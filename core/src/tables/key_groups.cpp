#include "key_groups.hpp"

#include <algorithm>

namespace brimel::detail {
namespace {

// One stable counting pass on `digit_bits` bits at `shift`: (keys, rows) ->
// (keys_out, rows_out).
void counting_pass(const std::vector<std::uint64_t>& keys, const std::vector<std::uint32_t>& rows,
                   std::vector<std::uint64_t>& keys_out, std::vector<std::uint32_t>& rows_out, unsigned shift,
                   unsigned digit_bits) {
    const std::uint64_t mask = (std::uint64_t{1} << digit_bits) - 1;
    std::vector<std::uint32_t> offset((std::size_t{1} << digit_bits) + 1, 0);
    for (const std::uint64_t key : keys) ++offset[((key >> shift) & mask) + 1];
    for (std::size_t d = 1; d < offset.size(); ++d) offset[d] += offset[d - 1];
    for (std::size_t r = 0; r < keys.size(); ++r) {
        const std::uint32_t at = offset[(keys[r] >> shift) & mask]++;
        keys_out[at] = keys[r];
        rows_out[at] = rows[r];
    }
}

}  // namespace

KeyGroups::KeyGroups(std::vector<std::uint64_t> keys, unsigned key_bits, bool lookups) {
    const std::size_t n = keys.size();
    rows_.resize(n);
    for (std::size_t r = 0; r < n; ++r) rows_[r] = static_cast<std::uint32_t>(r);

    // LSD radix sort in passes of at most 16 bits: the counters (256 KiB at
    // most) stay in cache, and a 16-bit part, the common case, is one pass.
    key_bits = std::clamp(key_bits, 1u, 64u);
    const unsigned passes = (key_bits + 15) / 16;
    const unsigned digit_bits = (key_bits + passes - 1) / passes;
    if (n > 1) {
        std::vector<std::uint64_t> keys_out(n);
        std::vector<std::uint32_t> rows_out(n);
        for (unsigned pass = 0; pass < passes; ++pass) {
            const unsigned shift = pass * digit_bits;
            counting_pass(keys, rows_, keys_out, rows_out, shift, std::min(digit_bits, key_bits - shift));
            keys.swap(keys_out);
            rows_.swap(rows_out);
        }
    }

    start_.push_back(0);
    for (std::size_t r = 0; r < n; ++r) {
        if (r == 0 || keys[r] != keys[r - 1]) {
            if (r != 0) start_.push_back(static_cast<std::uint32_t>(r));
            group_keys_.push_back(keys[r]);
        }
    }
    if (n != 0) start_.push_back(static_cast<std::uint32_t>(n));

    if (lookups && key_bits <= kDirectLookupBits) {
        direct_.assign(std::size_t{1} << key_bits, 0);
        for (std::size_t g = 0; g < group_keys_.size(); ++g)
            direct_[group_keys_[g]] = static_cast<std::uint32_t>(g + 1);
    }
}

std::size_t KeyGroups::find(std::uint64_t key) const {
    if (!direct_.empty()) {
        if (key >= direct_.size()) return npos;
        const std::uint32_t g = direct_[key];
        return g == 0 ? npos : g - 1;
    }
    const auto it = std::lower_bound(group_keys_.begin(), group_keys_.end(), key);
    if (it == group_keys_.end() || *it != key) return npos;
    return static_cast<std::size_t>(it - group_keys_.begin());
}

}  // namespace brimel::detail
