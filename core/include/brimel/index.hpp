// The streaming index and the hash bank: stores of codes of one width,
// queried one code or a batch at a time for every stored code within k.
//
// Both keep their codes in immutable keyed segments plus a small tail of rows
// not keyed yet (index/store.hpp): each segment is keyed on the plan
// segment_plan (plan.hpp) chooses for its size, parts with thresholds,
// sum(t_p + 1) > k, so that by the box principle a stored row within k of a
// query is within t_p of it on some part p; per part, the rows grouped by
// value in value order behind a directory of offsets, no hash table. A query
// probes its own value and those within t_p on each part of each segment,
// verifies each listed row once (on the first part where it is near) in
// tiles, and scans the tail. Segments merge by size tiers, so a query probes
// a few segments per factor of four in size.
//
// Storage per stored row, for a large segment: d_bytes bytes of code plus 4
// bytes per part (the rows in value order) plus at most about 2 bytes per part
// of directory; a segment made by merging rows with gaps between their ids
// adds 4 bytes of id. 10M 256-bit codes at k = 31 key on 11 parts: about 94
// bytes per row in all.
//
// Ids are unsigned 32-bit, assigned 0, 1, 2, ... in insertion order, never
// reused. A store holds at most max_rows ids (4294967295 unless a test asks
// for fewer); an add that would pass that throws IndexFull before any change.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "brimel/errors.hpp"
#include "brimel/limits.hpp"
#include "brimel/types.hpp"

namespace brimel {

// The index cannot take the rows offered without running out of 32-bit ids.
// A capacity limit, not a broken precondition: the call changed nothing and the
// index stays usable. what(): "Index full: adding <m> rows to <n> stored would
// exceed the limit of <max_rows> rows (ids are unsigned 32-bit)".
class IndexFull : public RowLimit {
public:
    using RowLimit::RowLimit;
};

// A file or buffer handed to Index::load or Index::from_bytes is not an intact
// index file of a version this release reads (see index/index_file.hpp for the
// format). what() names what is wrong: "not an index file (...)", "format
// version V is not supported (...)", "truncated: ...", "trailing bytes: ...",
// "bad header: ..." or "checksum mismatch: ...".
class IndexFileError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// How a store groups its rows (index/store.hpp); tests make both small to
// reach many segments and merges with few rows.
struct StoreTuning {
    std::uint64_t tail_rows = 0;  // rows of the tail; 0: up to 4096, about 1 MiB of codes
    std::uint32_t merge_factor = 4;
    // Segments of at least batch_rows rows (0: 65536) answer a query_batch
    // of at least batch_queries rows (0: 32) for all its rows at once, part
    // by part. Smaller segments, whose tables stay in cache, and fewer rows,
    // which share few probed values, are searched query by query.
    std::uint64_t batch_rows = 0;
    std::uint64_t batch_queries = 0;
};

class RunControl;
namespace detail {
class Store;
}

class Index {
public:
    // Index::new: an empty index of d_bytes-byte codes with query bound k.
    // Panics, in this order, with
    //   "Index: k (<k>) must be < 8*d_bytes (<8 * d_bytes>)" when 8 * d_bytes <= k
    //     (so d_bytes = 0 is rejected too), and
    //   "Index: bit chunk wider than 128 bits" when a plan chunk is wider than a
    //     chunk key (k >= 1 and ceil(8 * d_bytes / (k + 1)) > 128).
    // `max_rows` lowers the row limit; only tests pass it.
    static Index create(std::uint64_t d_bytes, std::uint32_t k, std::uint32_t max_rows = kMaxRows,
                        const StoreTuning& tuning = {});

    Index(Index&&) noexcept;
    Index& operator=(Index&&) noexcept;
    ~Index();

    // Appends one row of d_bytes bytes and returns its id (the previous n).
    // Panics with the equality assertion "Index::add row length mismatch" (row
    // length left, d_bytes right); throws IndexFull when n = max_rows. Either
    // way, and on std::bad_alloc, the index is unchanged.
    std::uint32_t add(ByteSpan row);

    // Appends the m = rows.size() / d_bytes rows of `rows` (back to back) with
    // ids n, n + 1, ..., in order, and returns the first (the previous n; for
    // m = 0, n itself). Same final state as m calls of add. The code buffer is
    // grown once for the whole batch. Panics with the equality assertion
    // "Index::add_batch length not multiple of d_bytes" (rows.size() mod d_bytes
    // left, 0 right); throws IndexFull when n + m > max_rows. Either way, and on
    // std::bad_alloc or Cancelled (`control` is polled while the rows are
    // keyed), the index is unchanged: a batch is all or nothing.
    std::uint32_t add_batch(ByteSpan rows, const RunControl* control = nullptr);

    // Every stored row within distance k of `row` (d_bytes bytes) as (id, dist),
    // ids strictly ascending; a stored copy of `row` comes back with dist 0.
    // Each distinct candidate is verified once over the whole row. Reads only.
    // Panics with the equality assertion "Index::query row length mismatch"
    // (row length left, d_bytes right).
    std::vector<QueryHit> query(ByteSpan row) const;

    // query for each of the m = rows.size() / d_bytes rows of `rows` (back to
    // back), with bound `k` <= k(): the hits as pair records (query row, id,
    // dist), sorted by (query row, id). The rows are spread over the worker
    // pool in blocks; the result is the same for any number of workers.
    // Reads only; `control` is polled between blocks (Cancelled). Panics
    // with the equality assertion "Index::query_batch length not multiple
    // of d_bytes" (rows.size() mod d_bytes left, 0 right) and with
    // "Index::query_batch: k above the index's k" when k > k().
    std::vector<PairRecord> query_batch(ByteSpan rows, std::uint32_t k,
                                        const RunControl* control = nullptr) const;

    // Persistence. The file (index/index_file.hpp) holds d_bytes, k and the
    // segments with their tables, as they are in memory; a loaded index
    // answers every query as the saved one did (its ids are the same).
    // max_rows and the tuning are not stored: a loaded index has the defaults.
    //
    // save replaces the file at `path` atomically (a temporary file in the
    // same directory, fsync, rename, fsync of the directory): a crash, a kill
    // or a full disk at any moment leaves the old file or the new one. A
    // failed system call throws std::system_error carrying its errno. Reads
    // only.
    void save(const std::string& path) const;
    // Throws std::system_error for a failed system call (no such file, ...),
    // IndexFileError for a file that is not an intact index file, and never
    // allocates for the codes before the file size matched the header. Reads
    // files of this format and of the earlier one (codes only; their tables
    // are built on loading). With `map`, a current file is mapped rather than
    // read and its sections' checksums are not checked, so that a bank of any
    // size answers at once; the mapping is never written, and saves replace
    // files rather than write them in place, so it stays valid (unless
    // something else truncates the file).
    static Index load(const std::string& path, bool map = false);
    // The same format in memory: saved_size() bytes, written by save_to into
    // `out` (which must have exactly that size: a Panic otherwise) and read
    // back by from_bytes (IndexFileError as load).
    std::uint64_t saved_size() const;
    void save_to(std::span<std::uint8_t> out) const;
    static Index from_bytes(ByteSpan bytes);

    std::uint64_t d_bytes() const noexcept;
    std::uint32_t k() const noexcept;
    // Number of stored rows, which is also the id the next row receives.
    std::uint32_t n() const noexcept;
    std::uint32_t max_rows() const noexcept;
    // Keyed segments held (the tail not counted). For inspecting the store.
    std::size_t segments() const noexcept;

private:
    explicit Index(std::unique_ptr<detail::Store> store) noexcept;
    std::unique_ptr<detail::Store> store_;
};

// The hash bank: an Index that also removes rows and answers queries while
// it is written. Every read (query, query_batch, save, the counts) works on
// the state published by the last completed write, taken with one pointer
// copy, and never waits behind a write; writes (add_batch, remove) run one at
// a time (a second waits for the first), each on a copy of the state that is
// published whole when it completes, so a reader sees every write entirely
// or not at all. Removed ids never come back in results, are never reused,
// stay removed through save and load, and leave the tables when their
// segments merge. Safe to use from any number of threads.
class Bank {
public:
    // Panics with "Bank: k (<k>) must be < 8*d_bytes (<8 * d_bytes>)" when
    // 8 * d_bytes <= k; any width and k below that are taken (a Bank has no
    // bit chunks).
    Bank(std::uint64_t d_bytes, std::uint32_t k, const StoreTuning& tuning = {});
    ~Bank();
    Bank(const Bank&) = delete;
    Bank& operator=(const Bank&) = delete;

    // As Index::add_batch (rows.size() a multiple of d_bytes: a Panic
    // otherwise; IndexFull past the row limit).
    std::uint32_t add_batch(ByteSpan rows, const RunControl* control = nullptr);
    // Removes the live rows among `ids` and returns how many; ids already
    // removed are skipped. Throws std::out_of_range, removing nothing, when an
    // id was never issued.
    std::uint64_t remove(std::span<const std::uint64_t> ids);

    // Merges all keyed segments into one (Store::compact): for a bank read
    // far more than it is written, e.g. after a bulk load. Readers go on
    // meanwhile; std::bad_alloc or Cancelled leave the bank as it was.
    void compact(const RunControl* control = nullptr);

    // As Index::query and Index::query_batch, with any k <= k().
    std::vector<QueryHit> query(ByteSpan row, std::uint32_t k) const;
    std::vector<PairRecord> query_batch(ByteSpan rows, std::uint32_t k,
                                        const RunControl* control = nullptr) const;

    // As Index::save and Index::load; a Bank reads an Index's files and
    // the other way round.
    void save(const std::string& path) const;
    static std::unique_ptr<Bank> load(const std::string& path, bool map);
    std::uint64_t saved_size() const;
    void save_to(std::span<std::uint8_t> out) const;
    static std::unique_ptr<Bank> from_bytes(ByteSpan bytes);

    std::uint64_t d_bytes() const noexcept;
    std::uint32_t k() const noexcept;
    // Ids issued so far (the id the next row gets) and rows stored and not
    // removed, both of the last published state.
    std::uint64_t next_id() const;
    std::uint64_t live() const;

private:
    struct Shared;
    explicit Bank(detail::Store&& store);
    std::shared_ptr<const detail::Store> published() const;
    std::unique_ptr<Shared> shared_;
};

}  // namespace brimel
