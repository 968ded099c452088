#include "key_groups.hpp"

#include <algorithm>

#include "../keys/code_words.hpp"

namespace brimel::detail {
namespace {

// LSD radix sort of (key << 32 | row) words by their key bits, in passes of
// at most 11 bits: 2048 counters and as many write streams per pass stay
// within cache and the write-combining buffers. Stable, so rows stay
// ascending within a key. A 16-bit key takes two passes, a 32-bit key three.
void sort_by_key(std::vector<std::uint64_t>& packed, unsigned key_bits) {
    const unsigned passes = (key_bits + 10) / 11;
    const unsigned digit_bits = (key_bits + passes - 1) / passes;
    std::vector<std::uint64_t> out(packed.size());
    std::vector<std::size_t> offset((std::size_t{1} << digit_bits) + 1);
    for (unsigned pass = 0; pass < passes; ++pass) {
        const unsigned shift = 32 + pass * digit_bits;
        const std::uint64_t mask = (std::uint64_t{1} << digit_bits) - 1;
        std::fill(offset.begin(), offset.end(), 0);
        for (const std::uint64_t v : packed) ++offset[((v >> shift) & mask) + 1];
        if (offset[1] == packed.size() && (packed.empty() || ((packed[0] >> shift) & mask) == 0)) continue;
        for (std::size_t d = 1; d < offset.size(); ++d) offset[d] += offset[d - 1];
        for (const std::uint64_t v : packed) out[offset[(v >> shift) & mask]++] = v;
        packed.swap(out);
    }
}

}  // namespace

KeyGroups::KeyGroups(std::vector<std::uint64_t> keys, unsigned key_bits, bool lookups,
                     const CodeSource* codes) {
    const std::size_t n = keys.size();
    key_bits = std::clamp(key_bits, 1u, 32u);
    // Keys and rows packed in place: key in the high half, row in the low.
    for (std::size_t r = 0; r < n; ++r) keys[r] = (keys[r] << 32) | r;
    sort_by_key(keys, key_bits);

    rows_.resize(n);
    start_.push_back(0);
    for (std::size_t p = 0; p < n; ++p) {
        rows_[p] = static_cast<std::uint32_t>(keys[p]);
        const std::uint64_t key = keys[p] >> 32;
        if (p == 0 || key != group_keys_.back()) {
            if (p != 0) start_.push_back(static_cast<std::uint32_t>(p));
            group_keys_.push_back(key);
        }
    }
    if (n != 0) start_.push_back(static_cast<std::uint32_t>(n));
    std::vector<std::uint64_t>().swap(keys);

    if (codes != nullptr) {
        // Gathered in group order; the reads are independent, and a prefetch
        // a few rows ahead keeps several misses in flight.
        words_ = codes->words;
        codes_.resize(words_ * n);
        constexpr std::size_t kAhead = 16;
        for (std::size_t p = 0; p < n; ++p) {
            if (p + kAhead < n) __builtin_prefetch(codes->data + rows_[p + kAhead] * codes->d_bytes);
            const std::uint8_t* code = codes->data + rows_[p] * codes->d_bytes;
            for (std::size_t w = 0; w < words_; ++w) codes_[w * n + p] = load_word(code, w, codes->d_bytes);
        }
    }

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
