// The stored codes of an Index or a Bank: immutable keyed segments plus a tail
// of rows not keyed yet, merged by size tiers.
//
// New rows go to the tail, a block of fixed room (tail_rows rows) that each
// query scans. A full tail is keyed into a segment; a batch of at least a
// tail's rows is keyed into one segment with the tail's rows. Segments stay in
// the order of their ids and are grouped in tiers of size (tier t: tail_rows
// * F^t rows up to F times that, F = merge_factor); F neighbouring segments
// of one tier are merged into one of the next tier, dropping removed rows, so
// a query probes about F - 1 segments per tier and a row is keyed again about
// log_F(n / tail_rows) times over the store's life. Merging only neighbours
// keeps the ids of a merge without removals gapless (no id array). A segment
// with more removed rows than live ones is keyed again alone, and when rows
// added in mixed sizes leave more than F segments per tier, the two smallest
// neighbours are merged.
//
// A Store is a value: copying one shares its segments and its tail block,
// so a copy costs a few pointers per segment. Appending to a copy writes
// the tail block only past the rows the original holds, which the original
// never reads; so a writer may change a copy while readers keep reading the
// original (Bank), and a write that fails leaves the original as it was.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "brimel/index.hpp"
#include "brimel/types.hpp"
#include "segment.hpp"

namespace brimel::detail {

struct SavedIndex;

// The widest chunk of the bit chunk plan of d_bytes-byte codes at k (k < 8 *
// d_bytes <= 2^59): the 128-bit limit an Index keeps for the width and k it
// takes, though its segments key on parts of their own.
constexpr std::uint64_t widest_bit_chunk(std::uint64_t d_bytes, std::uint32_t k) {
    const std::uint64_t bits = 8 * d_bytes;
    if (k == 0) return std::min(bits, kMaxChunkBits);
    return bits / (std::uint64_t{k} + 1) + (bits % (std::uint64_t{k} + 1) != 0);
}

struct StoredSegment {
    std::shared_ptr<const Segment> segment;
    std::shared_ptr<const RemovedRows> removed;  // null: none removed
    std::uint64_t live = 0;
};

struct TailBlock {
    std::unique_ptr<std::uint8_t[]> codes;  // capacity * d_bytes bytes
    std::uint64_t capacity = 0;
};

class Store {
public:
    Store(std::uint64_t d_bytes, std::uint32_t k, std::uint32_t max_rows, const StoreTuning& tuning);

    std::uint64_t d_bytes() const noexcept { return d_bytes_; }
    std::uint32_t k() const noexcept { return k_; }
    std::uint32_t max_rows() const noexcept { return max_rows_; }
    // Ids issued so far: the id the next row gets.
    std::uint64_t next_id() const noexcept { return next_id_; }
    // Rows stored and not removed.
    std::uint64_t live() const noexcept { return live_; }
    std::size_t segments() const noexcept { return segments_.size(); }

    // Appends the rows of `rows` (back to back; a multiple of d_bytes, at
    // most max_rows - next_id rows: the caller checks) with ids next_id,
    // next_id + 1, ... All or nothing: on an exception (std::bad_alloc,
    // Cancelled from `control`) the store is as it was.
    void append(ByteSpan rows, const RunControl* control);

    // Removes the live rows among `ids` (each < next_id: the caller checks);
    // returns how many. All or nothing.
    std::uint64_t remove(std::span<const std::uint64_t> ids);

    // Merges every segment into one, dropping removed rows (the tail stays):
    // a query then probes one set of tables instead of one per segment,
    // which at millions of rows costs about half as much. All or nothing;
    // polls `control`.
    void compact(const RunControl* control);

    // Every live row within k (<= k()) of `row`, ids ascending.
    std::vector<QueryHit> query(const std::uint8_t* row, std::uint32_t k) const;
    // query for each row of `rows`, as pair records sorted by (row, id), on the
    // worker pool; `control` is polled between blocks of rows.
    std::vector<PairRecord> query_batch(ByteSpan rows, std::uint32_t k, const RunControl* control) const;

    // The file image (index_file.hpp): written to `path` atomically, or
    // into `out` (exactly saved_size() bytes).
    std::uint64_t saved_size() const;
    void save(const std::string& path) const;
    void save_to(std::span<std::uint8_t> out) const;
    // Reads a file of either format version; `map` maps a current-version
    // file instead of reading it (see Index::load). `chunked` refuses a
    // d_bytes and k whose bit chunks would pass 128 bits, as Index::create
    // does.
    static Store load(const std::string& path, bool map, bool chunked);
    static Store from_bytes(ByteSpan bytes, bool chunked);
    // An empty store taking the segments of a file read with `saved`, after
    // checking them.
    static Store adopted(const SavedIndex& saved, Store&& empty);

private:
    struct Saved;
    Saved saved_parts() const;
    void freeze_tail();
    // Whether a query_batch of `queries` rows searches `segment` for all of
    // them at once.
    bool batched(const Segment& segment, std::uint64_t queries) const;
    // The live rows within k of `row` in every segment (with `batch_rows`
    // nonzero, in those a query_batch of that many rows searches query by
    // query) and in the tail, ids ascending, appended to `hits`.
    void query_into(const std::uint8_t* row, std::uint32_t k, std::uint64_t batch_rows,
                    std::vector<QueryHit>& hits) const;
    void merge_tiers(const RunControl* control);
    StoredSegment merged(std::span<const StoredSegment> parts, const RunControl* control) const;
    std::shared_ptr<TailBlock> new_tail() const;

    std::uint64_t d_bytes_;
    std::uint32_t k_;
    std::uint32_t max_rows_;
    StoreTuning tuning_;
    std::vector<StoredSegment> segments_;
    std::shared_ptr<TailBlock> tail_;
    std::uint64_t tail_rows_ = 0;
    std::uint64_t tail_base_ = 0;  // id of the tail's first row
    std::shared_ptr<const RemovedRows> tail_removed_;
    std::uint64_t next_id_ = 0;
    std::uint64_t live_ = 0;
};

}  // namespace brimel::detail
