#include "key_groups.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include <algorithm>
#include <array>

#include "../keys/code_words.hpp"

namespace brimel::detail {
namespace {

namespace tbb = oneapi::tbb;

// Rows per block of the parallel first pass; fewer rows sort in one block.
constexpr std::size_t kSortBlockRows = 1 << 16;
// Bits of the first pass's digit: 2048 counters per block and as many write
// streams stay within cache and the write-combining buffers.
constexpr unsigned kTopDigitBits = 11;
// Buckets of at most this many rows are sorted by comparisons.
constexpr std::size_t kInsertionRows = 32;

std::uint64_t key_of(std::uint64_t word) { return word >> 32; }

// Keeps the rows for which keep(position) holds, in order.
template <class Keep>
void compact(SortedRows& rows, Keep&& keep) {
    std::size_t out = 0;
    for (std::size_t p = 0; p < rows.size; ++p)
        if (keep(p)) rows.words[out++] = rows.words[p];
    rows.size = out;
}

}  // namespace

void sort_rows_by_key(const std::vector<std::uint64_t>& keys, unsigned key_bits, SortedRows& out) {
    const std::size_t n = keys.size();
    key_bits = std::clamp(key_bits, 1u, 32u);
    // The first pass scatters by the top digit, so each bucket's rows are
    // contiguous; the rest of the key is sorted bucket by bucket, in cache
    // when buckets are small, every bucket an independent task.
    const unsigned top_bits = std::min(key_bits, kTopDigitBits);
    const unsigned rest_bits = key_bits - top_bits;
    const std::size_t buckets = std::size_t{1} << top_bits;
    const std::size_t blocks = std::max<std::size_t>((n + kSortBlockRows - 1) / kSortBlockRows, 1);
    const std::size_t block_rows = (n + blocks - 1) / blocks;
    const auto each_block = [&](auto&& fn) {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, blocks, 1),
                          [&](const tbb::blocked_range<std::size_t>& r) {
                              for (std::size_t b = r.begin(); b != r.end(); ++b)
                                  fn(b, b * block_rows, std::min(n, (b + 1) * block_rows));
                          });
    };
    // offset[b * buckets + d]: where block b writes its next row of bucket d.
    std::vector<std::size_t> offset(blocks * buckets);
    each_block([&](std::size_t b, std::size_t from, std::size_t to) {
        std::size_t* count = offset.data() + b * buckets;
        for (std::size_t r = from; r < to; ++r) ++count[keys[r] >> rest_bits];
    });
    // Bucket-major prefix sums: every block's rows of bucket d follow all rows
    // of lower buckets and those of bucket d in earlier blocks.
    std::vector<std::size_t> bucket_start(buckets + 1, 0);
    std::size_t total = 0;
    for (std::size_t d = 0; d < buckets; ++d) {
        bucket_start[d] = total;
        for (std::size_t b = 0; b < blocks; ++b) {
            const std::size_t count = offset[b * buckets + d];
            offset[b * buckets + d] = total;
            total += count;
        }
    }
    bucket_start[buckets] = total;
    if (out.words.size() < n) out.words.resize(n);
    out.size = n;
    std::uint64_t* sorted = out.words.data();
    each_block([&](std::size_t b, std::size_t from, std::size_t to) {
        std::size_t* next = offset.data() + b * buckets;
        for (std::size_t r = from; r < to; ++r) sorted[next[keys[r] >> rest_bits]++] = (keys[r] << 32) | r;
    });
    if (rest_bits == 0) return;

    // Within a bucket: LSD passes over the low rest_bits, at most 8 bits each
    // (256 counters per pass, cheap against a bucket of a few hundred rows).
    const unsigned passes = (rest_bits + 7) / 8;
    const unsigned digit_bits = (rest_bits + passes - 1) / passes;
    tbb::parallel_for(
        tbb::blocked_range<std::size_t>(0, buckets, 16), [&](const tbb::blocked_range<std::size_t>& r) {
            std::vector<std::uint64_t> spare;
            std::array<std::size_t, 257> count{};
            for (std::size_t d = r.begin(); d != r.end(); ++d) {
                const std::size_t first = bucket_start[d], size = bucket_start[d + 1] - first;
                if (size < 2) continue;
                std::uint64_t* data = sorted + first;
                if (size <= kInsertionRows) {  // stable: rows ascend within a key already
                    std::stable_sort(data, data + size,
                                     [](std::uint64_t x, std::uint64_t y) { return (x >> 32) < (y >> 32); });
                    continue;
                }
                spare.resize(size);
                std::uint64_t* from = data;
                std::uint64_t* to = spare.data();
                const std::uint64_t mask = (std::uint64_t{1} << digit_bits) - 1;
                for (unsigned pass = 0; pass < passes; ++pass) {
                    const unsigned shift = 32 + pass * digit_bits;
                    count.fill(0);
                    for (std::size_t i = 0; i < size; ++i) ++count[((from[i] >> shift) & mask) + 1];
                    for (std::size_t v = 1; v <= mask + 1; ++v) count[v] += count[v - 1];
                    for (std::size_t i = 0; i < size; ++i) to[count[(from[i] >> shift) & mask]++] = from[i];
                    std::swap(from, to);
                }
                if (from != data) std::copy(from, from + size, data);
            }
        });
}

std::size_t drop_lone_rows(SortedRows& sorted) {
    const std::vector<std::uint64_t>& w = sorted.words;
    const std::size_t n = sorted.size;
    // Row p is tested before any write reaches position p + 1, and position
    // p - 1 is only ever rewritten with its own row (writes go to positions
    // at most p, each holding a row at or after it).
    compact(sorted, [&](std::size_t p) {
        return (p > 0 && key_of(w[p - 1]) == key_of(w[p])) || (p + 1 < n && key_of(w[p + 1]) == key_of(w[p]));
    });
    return n - sorted.size;
}

std::size_t drop_unmatched_rows(SortedRows& a, SortedRows& b) {
    const std::vector<std::uint64_t>& x = a.words;
    const std::vector<std::uint64_t>& y = b.words;
    // Marks, by a merge of the two sorted lists, the rows whose key the other
    // list holds.
    std::vector<std::uint8_t> keep_x(a.size, 0), keep_y(b.size, 0);
    std::size_t dropped = 0;
    for (std::size_t i = 0, j = 0; i < a.size;) {
        const std::uint64_t key = key_of(x[i]);
        std::size_t end_i = i;
        while (end_i < a.size && key_of(x[end_i]) == key) ++end_i;
        while (j < b.size && key_of(y[j]) < key) ++j;
        std::size_t end_j = j;
        while (end_j < b.size && key_of(y[end_j]) == key) ++end_j;
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
    compact(a, [&](std::size_t p) { return keep_x[p] != 0; });
    compact(b, [&](std::size_t p) { return keep_y[p] != 0; });
    return dropped;
}

KeyGroups::KeyGroups(std::vector<std::uint64_t> keys, unsigned key_bits, bool lookups,
                     const CodeSource* codes)
    : KeyGroups(
          [&] {
              SortedRows sorted;
              sort_rows_by_key(keys, key_bits, sorted);
              return sorted;
          }(),
          key_bits, lookups, codes) {}

KeyGroups::KeyGroups(const SortedRows& sorted, unsigned key_bits, bool lookups, const CodeSource* codes) {
    const std::vector<std::uint64_t>& keys = sorted.words;
    const std::size_t n = sorted.size;
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
