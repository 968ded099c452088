// Rows grouped by a 64-bit key through a radix sort: no hash table, so no key
// distribution (natural or crafted) makes grouping cost more than a few
// passes over the rows. Optionally the rows' codes are copied along, group by
// group and word-major, so that every group is a ready tile (kernels/scan.hpp)
// read front to back instead of gathered row by row from the input.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "../kernels/scan.hpp"

namespace brimel::detail {

// An allocator that leaves elements made without a value uninitialized
// (resize): a vector it serves is then written in full by parallel loops,
// whose first writes fault its fresh pages in on every worker at once, not
// in a zeroing pass on one.
template <class T>
struct Uninitialized : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = Uninitialized<U>;
    };
    using std::allocator<T>::allocator;
    template <class U>
    void construct(U* at) noexcept {
        ::new (static_cast<void*>(at)) U;
    }
    template <class U, class... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
};

// Where the rows' codes come from: n rows of d_bytes bytes, read as `words`
// 64-bit words each (keys/code_words.hpp).
struct CodeSource {
    const std::uint8_t* data;
    std::uint64_t d_bytes;
    std::size_t words;
};

// Rows sorted by key: words[0 .. size) are (key << 32 | row), ascending, so
// rows ascend within a key. Bucket d, words[bucket_start[d] ..
// bucket_start[d + 1]), holds the keys whose top bits are d, so every key's
// rows lie in one bucket and the steps after the sort (dropping rows,
// finding groups) run bucket by bucket in parallel. Kept from part to part,
// so that its memory is allocated (and its pages touched) once per join,
// not once per part.
struct SortedRows {
    std::vector<std::uint64_t, Uninitialized<std::uint64_t>> words;  // written in full by parallel loops
    std::size_t size = 0;
    std::vector<std::size_t> bucket_start;  // buckets + 1 offsets into words
};

// Turns offset[b * buckets + d], block b's count of rows in bucket d, into
// where block b writes its first row of bucket d, and fills bucket_start
// (buckets + 1 entries): bucket-major prefix sums, so that every block's rows
// of bucket d follow all rows of lower buckets and those of bucket d in
// earlier blocks. Both passes walk `offset` block by block, in memory order
// (bucket by bucket would stride 16 KiB per step: a cache and TLB miss for
// each of the blocks * buckets counters).
void counts_to_offsets(std::vector<std::size_t>& offset, std::size_t blocks, std::size_t buckets,
                       std::vector<std::size_t>& bucket_start);

// Writes the keys of rows from .. to - 1 into keys[0 .. to - from).
using KeyFill = std::function<void(std::size_t from, std::size_t to, std::uint64_t* keys)>;

// Sorts rows 0 .. n - 1 by their key, whose significant bits are the low
// `key_bits` (1 .. 32; higher bits must be 0), into `out`. keys(...) is
// called for blocks of rows, in parallel, twice per row, so that no key of
// all n rows is ever held. One pass over the rows scatters them by the
// key's top 8 bits; each bucket is then sorted on its own (in cache unless
// the keys are heavily skewed). No key distribution makes it cost more than
// a few passes over the rows. Memory: 8 bytes per row in `out`.
void sort_rows_by_key(std::size_t n, const KeyFill& keys, unsigned key_bits, SortedRows& out);
// The same, from the keys of all rows.
void sort_rows_by_key(const std::vector<std::uint64_t>& keys, unsigned key_bits, SortedRows& out);
// The same for a self-join's exact-match part, dropping the rows alone with
// their key. They are found
// bucket by bucket before the rest of the key is sorted: each row marks its
// key's low bits in a bitmap of the bucket's size, in cache, and only the
// rows whose bit was marked twice are sorted. Returns the rows dropped.
std::size_t sort_shared_rows_by_key(std::size_t n, const KeyFill& keys, unsigned key_bits, SortedRows& out);

// Writes the keys of `count` rows, d_bytes apart from `rows`, into keys[0 .. count).
using RowKeys = std::function<void(const std::uint8_t* rows, std::size_t count, std::uint64_t* keys)>;

// The copy of sort_shared_rows_of_parts, kept from call to call so that its
// pages are touched once per join: codes (in 8-byte words) and row ids.
struct FamilyBuffers {
    // Written in full by parallel loops (see Uninitialized).
    std::vector<std::uint64_t, Uninitialized<std::uint64_t>> codes;
    std::vector<std::uint32_t, Uninitialized<std::uint32_t>> rows;
};

// Several exact-match parts of a self-join grouped from one pass over the
// rows, when every part's key holds the bits of one 8-bit digit (parts of 2
// of 5 blocks that share their first block, say). The pass copies the rows'
// codes (n rows of d_bytes bytes at `codes`) to 256 buckets by digit, so
// that rows with equal keys, on any of the parts, share a bucket. Each
// bucket, in cache, is then grouped on every part's key in turn, the rows
// alone with their key dropped, as sort_shared_rows_by_key would. Keys are
// read by keys[f] and digits by `digit` (RowKeys) from the copy or the
// input.
//
// out[f], for part f (of key_bits[f] bits), holds each bucket's rows sorted
// by key, rows ascending within a key, the buckets in digit order: the
// groups' keys ascend bucket by bucket only. Its words are reused (the vector
// grows, never shrinks). Returns the rows each part dropped. Memory: the
// copy in `buffers`, n * (d_bytes + 4) bytes, and 8 bytes per row kept per
// part.
std::vector<std::size_t> sort_shared_rows_of_parts(const std::uint8_t* codes, std::size_t n,
                                                   std::uint64_t d_bytes, const RowKeys& digit,
                                                   std::span<const RowKeys> keys,
                                                   std::span<const unsigned> key_bits,
                                                   std::vector<SortedRows>& out, FamilyBuffers& buffers);

// A cross-join's exact-match part drops the rows of each side whose key the
// other side lacks (a self-join's, the rows alone with their key: see
// sort_shared_rows_by_key). Returns the distinct keys of A dropped. The two
// sides must have been sorted on keys of the same width (so, alike in
// buckets).
std::size_t drop_unmatched_rows(SortedRows& a, SortedRows& b);

class KeyGroups {
public:
    static constexpr std::size_t npos = SIZE_MAX;
    static constexpr unsigned kDirectLookupBits = 22;

    // Groups rows 0 .. keys.size() - 1 by keys[r], whose significant bits are
    // the low `key_bits` (1 .. 32; higher bits must be 0). Groups come in
    // ascending key order, rows ascending within a group. With `lookups`,
    // find() is served by a direct table when key_bits <= kDirectLookupBits.
    // With `codes`, the rows' codes are laid out too (tile()). Memory while
    // grouping: 16 bytes per row, then 4 per row plus the codes.
    KeyGroups(std::vector<std::uint64_t> keys, unsigned key_bits, bool lookups,
              const CodeSource* codes = nullptr);
    // The same from rows already sorted (sort_rows_by_key, perhaps with rows
    // dropped): the groups of the rows it holds. From
    // sort_shared_rows_of_parts the keys ascend bucket by bucket only, and
    // find() answers only from the direct table. With `recycled`, a grouping
    // no longer needed, its memory is reused (and it is left empty): its pages
    // are already faulted in, where fresh ones are faulted in and zeroed one
    // by one (1.2 GB a grouping of 100M 64-bit rows, three quarters of that
    // join's page faults).
    KeyGroups(const SortedRows& sorted, unsigned key_bits, bool lookups, const CodeSource* codes,
              KeyGroups* recycled = nullptr);

    std::size_t groups() const { return group_keys_.size(); }
    std::uint64_t key(std::size_t g) const { return group_keys_[g]; }
    // Position of group g's first row in rows() (and in the tile).
    std::size_t start(std::size_t g) const { return start_[g]; }
    std::size_t size(std::size_t g) const { return start_[g + 1] - start_[g]; }
    std::span<const std::uint32_t> group(std::size_t g) const { return {rows_.data() + start_[g], size(g)}; }
    // Row ids in group order.
    std::span<const std::uint32_t> rows() const { return rows_; }
    // All codes in group order, word-major (only when built with codes):
    // tile row p is the code of rows()[p].
    kernels::Tile tile() const { return {codes_.data(), rows_.size(), words_}; }
    bool has_codes() const { return words_ != 0; }

    // The group holding `key`, or npos.
    std::size_t find(std::uint64_t key) const;

private:
    KeyGroups() = default;

    std::vector<std::uint64_t> group_keys_;  // ascending
    std::vector<std::uint32_t> start_;       // groups() + 1 offsets into rows_
    // Written in full by parallel loops (see Uninitialized).
    std::vector<std::uint32_t, Uninitialized<std::uint32_t>> rows_;   // all rows, group by group
    std::vector<std::uint64_t, Uninitialized<std::uint64_t>> codes_;  // words_ * n, word-major, rows_ order
    std::size_t words_ = 0;
    std::vector<std::uint32_t> direct_;  // key -> group + 1 (0: absent)
};

}  // namespace brimel::detail
