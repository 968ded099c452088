#include "key_groups.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include <algorithm>

#include "../keys/code_words.hpp"

namespace brimel::detail {
namespace {

namespace tbb = oneapi::tbb;

// Rows per block of a parallel sort pass; fewer rows sort in one block.
constexpr std::size_t kSortBlockRows = 1 << 16;

std::uint64_t key_of(std::uint64_t word) { return word >> 32; }

// Keeps the words for which keep(position) holds, in order.
template <class Keep>
void compact(std::vector<std::uint64_t>& words, Keep&& keep) {
    std::size_t out = 0;
    for (std::size_t p = 0; p < words.size(); ++p)
        if (keep(p)) words[out++] = words[p];
    words.resize(out);
}

}  // namespace

SortedRows sort_rows_by_key(std::vector<std::uint64_t> keys, unsigned key_bits) {
    const std::size_t n = keys.size();
    key_bits = std::clamp(key_bits, 1u, 32u);
    const unsigned passes = (key_bits + 10) / 11;
    const unsigned digit_bits = (key_bits + passes - 1) / passes;
    const std::size_t digits = std::size_t{1} << digit_bits;
    const std::size_t blocks = std::max<std::size_t>((n + kSortBlockRows - 1) / kSortBlockRows, 1);
    const std::size_t block_rows = (n + blocks - 1) / blocks;
    const auto each_block = [&](auto&& fn) {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, blocks, 1),
                          [&](const tbb::blocked_range<std::size_t>& r) {
                              for (std::size_t b = r.begin(); b != r.end(); ++b)
                                  fn(b, b * block_rows, std::min(n, (b + 1) * block_rows));
                          });
    };
    // Keys and rows packed in place: key in the high half, row in the low.
    each_block([&](std::size_t, std::size_t from, std::size_t to) {
        for (std::size_t r = from; r < to; ++r) keys[r] = (keys[r] << 32) | r;
    });
    std::vector<std::uint64_t> out(n);
    // offset[b * digits + d]: where block b writes its next row of digit d.
    std::vector<std::size_t> offset(blocks * digits);
    for (unsigned pass = 0; pass < passes; ++pass) {
        const unsigned shift = 32 + pass * digit_bits;
        const std::uint64_t mask = digits - 1;
        each_block([&](std::size_t b, std::size_t from, std::size_t to) {
            std::size_t* count = offset.data() + b * digits;
            std::fill(count, count + digits, 0);
            for (std::size_t r = from; r < to; ++r) ++count[(keys[r] >> shift) & mask];
        });
        // Digit-major prefix sums: every block's rows of digit d follow all
        // rows of lower digits and those of digit d in earlier blocks.
        std::size_t total = 0;
        bool one_digit = false;
        for (std::size_t d = 0; d < digits; ++d) {
            std::size_t in_digit = 0;
            for (std::size_t b = 0; b < blocks; ++b) {
                const std::size_t count = offset[b * digits + d];
                offset[b * digits + d] = total;
                total += count;
                in_digit += count;
            }
            one_digit |= in_digit == n;
        }
        if (one_digit) continue;  // every row has the same digit: the pass changes nothing
        each_block([&](std::size_t b, std::size_t from, std::size_t to) {
            std::size_t* next = offset.data() + b * digits;
            for (std::size_t r = from; r < to; ++r) {
                const std::uint64_t v = keys[r];
                out[next[(v >> shift) & mask]++] = v;
            }
        });
        keys.swap(out);
    }
    return {std::move(keys)};
}

std::size_t drop_lone_rows(SortedRows& sorted) {
    std::vector<std::uint64_t>& w = sorted.words;
    const std::size_t n = w.size();
    const std::size_t before = n;
    // Row p is tested before any write reaches position p + 1 or p - 1's
    // original (writes go to positions at most p, each of a row at or after it).
    compact(w, [&](std::size_t p) {
        return (p > 0 && key_of(w[p - 1]) == key_of(w[p])) || (p + 1 < n && key_of(w[p + 1]) == key_of(w[p]));
    });
    return before - w.size();
}

std::size_t drop_unmatched_rows(SortedRows& a, SortedRows& b) {
    std::vector<std::uint64_t>& x = a.words;
    std::vector<std::uint64_t>& y = b.words;
    // Marks, by a merge of the two sorted lists, the rows whose key the other
    // list holds.
    std::vector<std::uint8_t> keep_x(x.size(), 0), keep_y(y.size(), 0);
    std::size_t dropped = 0;
    for (std::size_t i = 0, j = 0; i < x.size();) {
        const std::uint64_t key = key_of(x[i]);
        std::size_t end_i = i;
        while (end_i < x.size() && key_of(x[end_i]) == key) ++end_i;
        while (j < y.size() && key_of(y[j]) < key) ++j;
        std::size_t end_j = j;
        while (end_j < y.size() && key_of(y[end_j]) == key) ++end_j;
        if (end_j > j) {
            std::fill(keep_x.begin() + static_cast<std::ptrdiff_t>(i),
                      keep_x.begin() + static_cast<std::ptrdiff_t>(end_i), 1);
            std::fill(keep_y.begin() + static_cast<std::ptrdiff_t>(j),
                      keep_y.begin() + static_cast<std::ptrdiff_t>(end_j), 1);
        } else {
            ++dropped;
        }
        i = end_i;
        j = end_j;
    }
    compact(x, [&](std::size_t p) { return keep_x[p] != 0; });
    compact(y, [&](std::size_t p) { return keep_y[p] != 0; });
    return dropped;
}

KeyGroups::KeyGroups(std::vector<std::uint64_t> keys, unsigned key_bits, bool lookups,
                     const CodeSource* codes)
    : KeyGroups(sort_rows_by_key(std::move(keys), key_bits), key_bits, lookups, codes) {}

KeyGroups::KeyGroups(SortedRows sorted, unsigned key_bits, bool lookups, const CodeSource* codes) {
    std::vector<std::uint64_t>& keys = sorted.words;
    const std::size_t n = keys.size();
    key_bits = std::clamp(key_bits, 1u, 32u);
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
        // Gathered in group order, in parallel blocks; the reads are
        // independent, and a prefetch a few rows ahead keeps several misses
        // in flight.
        words_ = codes->words;
        codes_.resize(words_ * n);
        constexpr std::size_t kAhead = 16;
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 1 << 14),
                          [&](const tbb::blocked_range<std::size_t>& r) {
                              for (std::size_t p = r.begin(); p != r.end(); ++p) {
                                  if (p + kAhead < r.end())
                                      __builtin_prefetch(codes->data + rows_[p + kAhead] * codes->d_bytes);
                                  const std::uint8_t* code = codes->data + rows_[p] * codes->d_bytes;
                                  for (std::size_t w = 0; w < words_; ++w)
                                      codes_[w * n + p] = load_word(code, w, codes->d_bytes);
                              }
                          });
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
