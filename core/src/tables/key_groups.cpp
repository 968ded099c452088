#include "key_groups.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/enumerable_thread_specific.h>
#include <oneapi/tbb/parallel_for.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <functional>
#include <numeric>
#include <span>

#include "../keys/code_words.hpp"
#include "brimel/errors.hpp"

namespace brimel::detail {
namespace {

namespace tbb = oneapi::tbb;

// Rows per block of the parallel first pass; fewer rows sort in one block.
constexpr std::size_t kSortBlockRows = 1 << 16;
// Bits of the first pass's digit: 256 write streams stay within the
// write-combining buffers and the TLB (2048 streams scattered 10M rows at
// 4.3 ns per row on one core, 256 at 2.4 ns); the buckets, a few hundred
// KiB for 10M rows, are then sorted in L2.
constexpr unsigned kTopDigitBits = 8;
// Buckets of at most this many rows are sorted by comparisons.
constexpr std::size_t kInsertionRows = 32;

std::uint64_t key_of(std::uint64_t word) { return word >> 32; }

// Resizes items to at least n, asking for transparent huge pages first
// (before its pages are touched): the sort's scatter writes to hundreds of
// places at once, and with 4 KiB pages each of them is a TLB miss.
template <class T, class Allocator>
void grow_on_huge_pages(std::vector<T, Allocator>& items, std::size_t n) {
    if (items.size() >= n) return;
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    if (items.capacity() < n && n * sizeof(T) >= 2 * kHugePage) {
        std::vector<T, Allocator>().swap(items);
        items.reserve(n);
        const auto begin = reinterpret_cast<std::uintptr_t>(items.data());
        const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
        const std::uintptr_t last = (begin + n * sizeof(T)) & ~(kHugePage - 1);
        if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
    items.resize(n);
}

std::size_t buckets_of(const SortedRows& rows) {
    return rows.bucket_start.empty() ? 0 : rows.bucket_start.size() - 1;
}

// Runs fn(d) for every bucket d, in parallel; buckets are small (a few
// thousand rows at most for random keys), so tasks take 16 at a time.
template <class Fn>
void each_bucket(std::size_t buckets, Fn&& fn) {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, buckets, 16),
                      [&](const tbb::blocked_range<std::size_t>& r) {
                          for (std::size_t d = r.begin(); d != r.end(); ++d) fn(d);
                      });
}

// After each bucket d kept its first kept[d] rows in place, moves them
// together (to lower positions, bucket by bucket: a bucket's target can
// overlap the rows its predecessor kept, so this pass is serial; it moves
// only the rows kept) and renews the bucket offsets.
void close_gaps(SortedRows& rows, const std::vector<std::size_t>& kept) {
    std::size_t out = 0;
    for (std::size_t d = 0; d < buckets_of(rows); ++d) {
        const std::size_t from = rows.bucket_start[d];
        if (out != from && kept[d] != 0)
            std::memmove(rows.words.data() + out, rows.words.data() + from, kept[d] * sizeof(std::uint64_t));
        rows.bucket_start[d] = out;
        out += kept[d];
    }
    if (!rows.bucket_start.empty()) rows.bucket_start.back() = out;
    rows.size = out;
}

// Keeps, in place and in order, the sorted words whose key another word
// shares; returns how many. Word i is tested before any write reaches
// position i + 1, and position i - 1 is only ever rewritten with its own
// word (writes go to positions at most i, each holding a word at or after it).
std::size_t keep_shared_keys(std::uint64_t* data, std::size_t size) {
    std::size_t front = 0;
    for (std::size_t i = 0; i < size; ++i)
        if ((i > 0 && key_of(data[i - 1]) == key_of(data[i])) ||
            (i + 1 < size && key_of(data[i + 1]) == key_of(data[i])))
            data[front++] = data[i];
    return front;
}

// Buffers of sort_bucket, one set per task.
struct BucketScratch {
    std::vector<std::uint64_t> spare, seen, twice;
};

// The rows of a bucket that may share their key: each of `size` rows marks
// its key's low `rest_bits` bits (hashed past 32 to 64 bits per row: a row alone
// with its key then shares its bit with another row's at most 1 time in 32,
// and is sorted for nothing) in a bitmap the size of the bucket, in
// cache (16 KiB for 4,000 rows); keep(front, i) is then called for every row
// i in order, front counting the rows whose bit was marked twice before it,
// which are kept (the others are written over). Returns how many were kept:
// all rows that share their key, and some alone with theirs (a shared bit,
// not a shared key). key(i) is row i's key, read twice; kept_key(j) that of
// the j-th row kept, once keep has placed it.
template <class Key, class Keep, class KeptKey>
std::size_t keep_shared_slots(std::size_t size, unsigned rest_bits, BucketScratch& scratch, Key&& key,
                              Keep&& keep, KeptKey&& kept_key) {
    const unsigned slot_bits = std::min(rest_bits, static_cast<unsigned>(std::bit_width(size)) + 5);
    const auto slot = [&](std::uint64_t k) {
        const std::uint64_t rest = k & ((std::uint64_t{1} << rest_bits) - 1);
        return rest_bits <= slot_bits ? rest : (rest * 0x9e3779b97f4a7c15ull) >> (64 - slot_bits);
    };
    // The bitmaps stay zeroed between buckets: the words a bucket marks are
    // cleared after it, not the whole bitmap before it (a bucket of a few
    // rows would otherwise clear thousands of words).
    std::vector<std::uint64_t>& seen = scratch.seen;
    std::vector<std::uint64_t>& twice = scratch.twice;
    const std::size_t words = (std::size_t{1} << slot_bits) / 64 + 1;
    if (seen.size() < words) {
        seen.assign(words, 0);
        twice.assign(seen.size(), 0);
    }
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint64_t at = slot(key(i));
        twice[at >> 6] |= seen[at >> 6] & (std::uint64_t{1} << (at & 63));
        seen[at >> 6] |= std::uint64_t{1} << (at & 63);
    }
    // With a row per word or more, `seen` is cleared whole after the rows.
    const bool clear_whole = size >= words;
    std::size_t front = 0;
    for (std::size_t i = 0; i < size; ++i) {  // keeping without a branch: most rows go
        const std::uint64_t at = slot(key(i));
        if (!clear_whole) seen[at >> 6] = 0;
        keep(front, i);
        front += (twice[at >> 6] >> (at & 63)) & 1;
    }
    if (clear_whole) std::fill_n(seen.begin(), words, 0);
    // Only rows kept marked `twice`.
    for (std::size_t j = 0; j < front; ++j) twice[slot(kept_key(j)) >> 6] = 0;
    return front;
}

// Sorts a bucket's `size` words (key << 32 | row) by the low `rest_bits`
// bits of their keys (the bits above them are the bucket's own), stably, in
// LSD passes of at most 8 bits (256 counters per pass, cheap against a
// bucket of a few hundred rows). With shared_only, the rows alone with
// their key are dropped: only the rows keep_shared_slots keeps are sorted,
// and those of them alone with their key after the sort. Returns the words
// left, at the bucket's front (all of them without shared_only).
std::size_t sort_bucket(std::uint64_t* data, std::size_t size, unsigned rest_bits, bool shared_only,
                        BucketScratch& scratch) {
    if (shared_only && size >= 2 && rest_bits > 0)
        size = keep_shared_slots(
            size, rest_bits, scratch, [&](std::size_t i) { return data[i] >> 32; },
            [&](std::size_t front, std::size_t i) { data[front] = data[i]; },
            [&](std::size_t j) { return data[j] >> 32; });
    if (size >= 2 && rest_bits > 0) {
        if (size <= kInsertionRows) {  // stable (rows ascend within a key already), with no buffer
            for (std::size_t i = 1; i < size; ++i) {
                const std::uint64_t word = data[i];
                std::size_t at = i;
                for (; at > 0 && (data[at - 1] >> 32) > (word >> 32); --at) data[at] = data[at - 1];
                data[at] = word;
            }
        } else {
            // Only the bits some two keys differ in are sorted on: the bits
            // above the highest of them are one value in every key (a part's
            // bits shared by a bucket, say), and each costs a pass.
            std::uint64_t any = 0, all = ~std::uint64_t{0};
            for (std::size_t i = 0; i < size; ++i) {
                any |= data[i] >> 32;
                all &= data[i] >> 32;
            }
            const auto sort_bits = std::min(rest_bits, static_cast<unsigned>(std::bit_width(any ^ all)));
            if (sort_bits == 0) return shared_only ? keep_shared_keys(data, size) : size;
            const unsigned passes = (sort_bits + 7) / 8;
            const unsigned digit_bits = (sort_bits + passes - 1) / passes;
            scratch.spare.resize(size);
            std::uint64_t* from = data;
            std::uint64_t* to = scratch.spare.data();
            const std::uint64_t mask = (std::uint64_t{1} << digit_bits) - 1;
            std::array<std::size_t, 257> count;  // the first mask + 2 cleared by each pass
            for (unsigned pass = 0; pass < passes; ++pass) {
                const unsigned shift = 32 + pass * digit_bits;
                std::fill_n(count.begin(), mask + 2, 0);
                for (std::size_t i = 0; i < size; ++i) ++count[((from[i] >> shift) & mask) + 1];
                for (std::size_t v = 1; v <= mask + 1; ++v) count[v] += count[v - 1];
                for (std::size_t i = 0; i < size; ++i) to[count[(from[i] >> shift) & mask]++] = from[i];
                std::swap(from, to);
            }
            if (from != data) std::copy(from, from + size, data);
        }
    }
    return shared_only ? keep_shared_keys(data, size) : size;
}

// Runs fill(from, to, buffer) then fn(b, from, buffer, to - from) for each
// block b of kSortBlockRows rows (about) of n, in parallel: the buffer, of a
// word per row, is the worker's own and stays in cache, so no words of all n
// rows are ever held; buffers are kept from pass to pass. Blocks are visited
// in order within a worker's range.
struct SortBlocks {
    std::size_t n;
    std::size_t count;
    std::size_t rows;
    tbb::enumerable_thread_specific<std::vector<std::uint64_t>> buffers;

    explicit SortBlocks(std::size_t n)
        : n(n),
          count(std::max<std::size_t>((n + kSortBlockRows - 1) / kSortBlockRows, 1)),
          rows((n + count - 1) / count) {}

    template <class Fill, class Fn>
    void each(Fill&& fill, Fn&& fn) {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count, 1),
                          [&](const tbb::blocked_range<std::size_t>& r) {
                              std::vector<std::uint64_t>& buffer = buffers.local();
                              buffer.resize(rows);
                              for (std::size_t b = r.begin(); b != r.end(); ++b) {
                                  const std::size_t from = b * rows, to = std::min(n, from + rows);
                                  if (from >= to) continue;
                                  fill(from, to, buffer.data());
                                  fn(b, from, buffer.data(), to - from);
                              }
                          });
    }
};

// The sort of sort_rows_by_key and sort_shared_rows_by_key: fill(from, to,
// words) writes rows from .. to - 1 as (key << 32 | row) words. Returns the
// rows dropped (with shared_only).
std::size_t sort_words(std::size_t n, const KeyFill& fill, unsigned key_bits, SortedRows& out,
                       bool shared_only) {
    key_bits = std::clamp(key_bits, 1u, 32u);
    // The first pass scatters by the top digit, so each bucket's rows are
    // contiguous; the rest of the key is sorted bucket by bucket, in cache
    // when buckets are small, every bucket an independent task.
    const unsigned top_bits = std::min(key_bits, kTopDigitBits);
    const unsigned rest_bits = key_bits - top_bits;
    const std::size_t buckets = std::size_t{1} << top_bits;
    SortBlocks blocks(n);
    // offset[b * buckets + d]: where block b writes its next row of bucket d.
    std::vector<std::size_t> offset(blocks.count * buckets);
    blocks.each(fill, [&](std::size_t b, std::size_t, const std::uint64_t* words, std::size_t count_words) {
        std::size_t* count = offset.data() + b * buckets;
        for (std::size_t i = 0; i < count_words; ++i) ++count[words[i] >> (32 + rest_bits)];
    });
    std::vector<std::size_t>& bucket_start = out.bucket_start;
    counts_to_offsets(offset, blocks.count, buckets, bucket_start);
    grow_on_huge_pages(out.words, n);
    out.size = n;
    std::uint64_t* sorted = out.words.data();
    blocks.each(fill, [&](std::size_t b, std::size_t, const std::uint64_t* words, std::size_t count_words) {
        std::size_t* next = offset.data() + b * buckets;
        for (std::size_t i = 0; i < count_words; ++i) sorted[next[words[i] >> (32 + rest_bits)]++] = words[i];
    });
    if (rest_bits == 0 && !shared_only) return 0;

    std::vector<std::size_t> kept(shared_only ? buckets : 0, 0);
    tbb::parallel_for(
        tbb::blocked_range<std::size_t>(0, buckets, 16), [&](const tbb::blocked_range<std::size_t>& r) {
            BucketScratch scratch;
            for (std::size_t d = r.begin(); d != r.end(); ++d) {
                const std::size_t first = bucket_start[d];
                const std::size_t size = bucket_start[d + 1] - first;
                const std::size_t left = sort_bucket(sorted + first, size, rest_bits, shared_only, scratch);
                if (shared_only) kept[d] = left;
            }
        });
    if (!shared_only) return 0;
    close_gaps(out, kept);
    return n - out.size;
}

// Calls fn(code_bytes) with d_bytes as a constant when it is 8 (64-bit
// codes: a copy of one is then one load and one store, not a call).
template <class Fn>
void with_code_size(std::uint64_t d_bytes, Fn&& fn) {
    if (d_bytes == 8) {
        fn(std::integral_constant<std::uint64_t, 8>{});
    } else {
        fn(d_bytes);
    }
}

}  // namespace

void counts_to_offsets(std::vector<std::size_t>& offset, std::size_t blocks, std::size_t buckets,
                       std::vector<std::size_t>& bucket_start) {
    bucket_start.assign(buckets + 1, 0);
    for (std::size_t b = 0; b < blocks; ++b)
        for (std::size_t d = 0; d < buckets; ++d) bucket_start[d + 1] += offset[b * buckets + d];
    for (std::size_t d = 0; d < buckets; ++d) bucket_start[d + 1] += bucket_start[d];
    std::vector<std::size_t> next_of_bucket(bucket_start.begin(), bucket_start.end() - 1);
    for (std::size_t b = 0; b < blocks; ++b)
        for (std::size_t d = 0; d < buckets; ++d) {
            const std::size_t count = offset[b * buckets + d];
            offset[b * buckets + d] = next_of_bucket[d];
            next_of_bucket[d] += count;
        }
}

void sort_rows_by_key(const std::vector<std::uint64_t>& keys, unsigned key_bits, SortedRows& out) {
    sort_rows_by_key(
        keys.size(),
        [&](std::size_t from, std::size_t to, std::uint64_t* words) {
            for (std::size_t r = from; r < to; ++r) words[r - from] = keys[r];
        },
        key_bits, out);
}

namespace {

// Keys of rows from .. to - 1 (written to words by fill) made words.
KeyFill rows_of(const KeyFill& keys) {
    return [&keys](std::size_t from, std::size_t to, std::uint64_t* words) {
        keys(from, to, words);
        for (std::size_t r = from; r < to; ++r) words[r - from] = (words[r - from] << 32) | r;
    };
}

}  // namespace

void sort_rows_by_key(std::size_t n, const KeyFill& keys, unsigned key_bits, SortedRows& out) {
    sort_words(n, rows_of(keys), key_bits, out, false);
}

std::size_t sort_shared_rows_by_key(std::size_t n, const KeyFill& keys, unsigned key_bits, SortedRows& out) {
    return sort_words(n, rows_of(keys), key_bits, out, true);
}

std::vector<std::size_t> sort_shared_rows_of_parts(const std::uint8_t* codes, std::size_t n,
                                                   std::uint64_t d_bytes, const RowKeys& digit,
                                                   std::span<const RowKeys> keys,
                                                   std::span<const unsigned> key_bits,
                                                   std::vector<SortedRows>& out, FamilyBuffers& buffers) {
    constexpr std::size_t buckets = std::size_t{1} << kTopDigitBits;
    const std::size_t parts = keys.size();

    SortBlocks blocks(n);
    // The copy: bucket by bucket, each row's code and its row id, rows
    // ascending within a bucket (blocks scatter in order).
    grow_on_huge_pages(buffers.codes, (n * d_bytes + 7) / 8);
    grow_on_huge_pages(buffers.rows, n);
    auto* const copy = reinterpret_cast<std::uint8_t*>(buffers.codes.data());
    std::uint32_t* const copy_rows = buffers.rows.data();
    const auto digits_of = [&](std::size_t from, std::size_t to, std::uint64_t* digits) {
        digit(codes + from * d_bytes, to - from, digits);
    };
    std::vector<std::size_t> offset(blocks.count * buckets);
    blocks.each(digits_of, [&](std::size_t b, std::size_t, const std::uint64_t* digits, std::size_t count) {
        std::size_t* counts = offset.data() + b * buckets;
        for (std::size_t i = 0; i < count; ++i) ++counts[digits[i]];
    });
    std::vector<std::size_t> bucket_start;
    counts_to_offsets(offset, blocks.count, buckets, bucket_start);
    blocks.each(digits_of,
                [&](std::size_t b, std::size_t from, const std::uint64_t* digits, std::size_t count) {
                    std::size_t* next = offset.data() + b * buckets;
                    with_code_size(d_bytes, [&](auto code_bytes) {
                        const std::uint8_t* code = codes + from * code_bytes;
                        for (std::size_t i = 0; i < count; ++i, code += code_bytes) {
                            const std::size_t at = next[digits[i]]++;
                            std::memcpy(copy + at * code_bytes, code, code_bytes);
                            copy_rows[at] = static_cast<std::uint32_t>(from + i);
                        }
                    });
                });

    // Each bucket on every part in turn, while its codes are in cache; the
    // rows each part keeps go to a piece per (part, bucket), then together.
    std::vector<std::vector<std::uint64_t>> pieces(parts * buckets);
    tbb::parallel_for(
        tbb::blocked_range<std::size_t>(0, buckets, 1), [&](const tbb::blocked_range<std::size_t>& r) {
            BucketScratch scratch;
            std::vector<std::uint64_t> row_keys, words;
            for (std::size_t d = r.begin(); d != r.end(); ++d) {
                const std::size_t first = bucket_start[d];
                const std::size_t size = bucket_start[d + 1] - first;
                if (size < 2) continue;
                row_keys.resize(size);
                words.resize(size);
                for (std::size_t f = 0; f < parts; ++f) {
                    // The rows that may share their key, found from the keys
                    // alone; only those are paired with their row ids.
                    keys[f](copy + first * d_bytes, size, row_keys.data());
                    const unsigned bits = std::clamp(key_bits[f], 1u, 32u);
                    std::size_t kept = keep_shared_slots(
                        size, bits, scratch, [&](std::size_t i) { return row_keys[i]; },
                        [&](std::size_t front, std::size_t i) {
                            words[front] = row_keys[i] << 32 | copy_rows[first + i];
                        },
                        [&](std::size_t j) { return words[j] >> 32; });
                    kept =
                        keep_shared_keys(words.data(), sort_bucket(words.data(), kept, bits, false, scratch));
                    pieces[f * buckets + d].assign(words.begin(),
                                                   words.begin() + static_cast<std::ptrdiff_t>(kept));
                }
            }
        });

    if (out.size() < parts) out.resize(parts);
    std::vector<std::size_t> dropped(parts);
    for (std::size_t f = 0; f < parts; ++f) {
        SortedRows& rows = out[f];
        rows.bucket_start.assign(buckets + 1, 0);
        for (std::size_t d = 0; d < buckets; ++d)
            rows.bucket_start[d + 1] = rows.bucket_start[d] + pieces[f * buckets + d].size();
        rows.size = rows.bucket_start.back();
        if (rows.words.size() < rows.size) rows.words.resize(rows.size);
        each_bucket(buckets, [&](std::size_t d) {
            std::vector<std::uint64_t>& piece = pieces[f * buckets + d];
            std::copy(piece.begin(), piece.end(),
                      rows.words.begin() + static_cast<std::ptrdiff_t>(rows.bucket_start[d]));
            std::vector<std::uint64_t>().swap(piece);
        });
        dropped[f] = n - rows.size;
    }
    return dropped;
}

std::size_t drop_unmatched_rows(SortedRows& a, SortedRows& b) {
    const std::size_t buckets = buckets_of(a);
    if (buckets_of(b) != buckets) panic("drop_unmatched_rows: sides sorted on keys of different widths");
    std::vector<std::size_t> kept_a(buckets, 0), kept_b(buckets, 0), dropped(buckets, 0);
    each_bucket(buckets, [&](std::size_t d) {
        std::uint64_t* x = a.words.data();
        std::uint64_t* y = b.words.data();
        const std::size_t end_a = a.bucket_start[d + 1], end_b = b.bucket_start[d + 1];
        // A merge of the two sorted runs of keys; each side's runs whose key
        // the other side holds move down to the bucket's front (a run never
        // moves past where it was, so it is read before it is overwritten).
        std::size_t out_a = a.bucket_start[d], out_b = b.bucket_start[d];
        std::size_t j = b.bucket_start[d];
        for (std::size_t i = a.bucket_start[d]; i < end_a;) {
            const std::uint64_t key = key_of(x[i]);
            std::size_t end_i = i;
            while (end_i < end_a && key_of(x[end_i]) == key) ++end_i;
            while (j < end_b && key_of(y[j]) < key) ++j;
            std::size_t end_j = j;
            while (end_j < end_b && key_of(y[end_j]) == key) ++end_j;
            if (end_j > j) {
                std::memmove(x + out_a, x + i, (end_i - i) * sizeof(std::uint64_t));
                std::memmove(y + out_b, y + j, (end_j - j) * sizeof(std::uint64_t));
                out_a += end_i - i;
                out_b += end_j - j;
            } else {
                ++dropped[d];
            }
            i = end_i;
            j = end_j;
        }
        kept_a[d] = out_a - a.bucket_start[d];
        kept_b[d] = out_b - b.bucket_start[d];
    });
    close_gaps(a, kept_a);
    close_gaps(b, kept_b);
    return std::accumulate(dropped.begin(), dropped.end(), std::size_t{0});
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

// Resizes `items`, whose contents are all overwritten, to n: a vector too
// small for n is emptied first, so that growing it copies nothing.
template <class T, class Allocator>
void resize_to_overwrite(std::vector<T, Allocator>& items, std::size_t n) {
    if (items.capacity() < n) items.clear();
    items.resize(n);
}

KeyGroups::KeyGroups(const SortedRows& sorted, unsigned key_bits, bool lookups, const CodeSource* codes,
                     KeyGroups* recycled) {
    if (recycled != nullptr) {
        group_keys_ = std::move(recycled->group_keys_);
        start_ = std::move(recycled->start_);
        rows_ = std::move(recycled->rows_);
        // Taken only when codes are laid out: an exact-match part's grouping
        // would otherwise hold an earlier part's copy unused.
        if (codes != nullptr) codes_ = std::move(recycled->codes_);
        *recycled = KeyGroups();
    }
    const auto& keys = sorted.words;
    const std::size_t n = sorted.size;
    key_bits = std::clamp(key_bits, 1u, 32u);
    // Bucket by bucket, in parallel: its groups counted, then, at offsets
    // from the counts' prefix sums, its group keys, group starts and rows.
    const std::size_t buckets = buckets_of(sorted);
    std::vector<std::size_t> first_group(buckets + 1, 0);
    each_bucket(buckets, [&](std::size_t d) {
        std::size_t count = 0;
        for (std::size_t p = sorted.bucket_start[d]; p < sorted.bucket_start[d + 1]; ++p)
            count += p == sorted.bucket_start[d] || key_of(keys[p]) != key_of(keys[p - 1]);
        first_group[d + 1] = count;
    });
    std::partial_sum(first_group.begin(), first_group.end(), first_group.begin());
    resize_to_overwrite(rows_, n);
    resize_to_overwrite(group_keys_, first_group.back());
    resize_to_overwrite(start_, group_keys_.size() + 1);
    start_.back() = static_cast<std::uint32_t>(n);
    each_bucket(buckets, [&](std::size_t d) {
        std::size_t g = first_group[d];
        for (std::size_t p = sorted.bucket_start[d]; p < sorted.bucket_start[d + 1]; ++p) {
            rows_[p] = static_cast<std::uint32_t>(keys[p]);
            if (p == sorted.bucket_start[d] || key_of(keys[p]) != key_of(keys[p - 1])) {
                group_keys_[g] = key_of(keys[p]);
                start_[g++] = static_cast<std::uint32_t>(p);
            }
        }
    });

    if (codes != nullptr) {
        // Gathered in group order, in parallel blocks; the reads are
        // independent, and a prefetch a few rows ahead keeps several misses
        // in flight.
        words_ = codes->words;
        resize_to_overwrite(codes_, words_ * n);
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
