// The streaming index: an append-only store of codes of one width, queried one
// code at a time for every stored code within distance k.
//
// The index keys on index_plan(d_bytes, k) (plan.hpp): parts with thresholds,
// sum(t_p + 1) > k, so that by the box principle a stored row within distance
// k of a query is within t_p of it on some part p. From its first row on it
// keeps one table per part: part key -> ascending list of the ids of the
// stored rows with that key (keys as the joins read them, keys/part_keys.hpp).
// A query looks up its own key on each part and the keys within t_p of it,
// and verifies each listed row once (on the first part where it is near),
// gathered into tiles for the scan kernel. The tables hash keys with a
// function drawn at random once per process, so no choice of codes makes them
// collide more than random codes do.
//
// Storage per stored row: d_bytes bytes of code in one contiguous buffer
// (row id r at r * d_bytes), plus one 4-byte list entry per part. A key with a
// single id keeps it inline in its table slot (no allocation); longer lists
// live in one heap block each and grow geometrically. A list of more than
// 4096 ids that queries keep probing (rows sharing a part's value) is keyed
// again on the bits the part leaves free, so that a query verifies the rows
// near it rather than the whole list: a sub-index, made by a query, of about
// 4 bytes per listed row per part of its own plan.
//
// Ids are unsigned 32-bit, assigned 0, 1, 2, ... in insertion order, never
// reused. An index holds at most max_rows rows (4294967295 unless a test asks
// for fewer); an add that would pass that throws IndexFull before any change.
//
// Thread safety: none inside. add and add_batch need exclusive access; query,
// query_batch, save and the field reads need shared access and may run together. The caller enforces
// this. No thread affinity: an index may move between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "brimel/bit_plan.hpp"
#include "brimel/plan.hpp"
#include "brimel/types.hpp"

namespace brimel {

// The index cannot take the rows offered without running out of 32-bit ids.
// A capacity limit, not a broken precondition: the call changed nothing and the
// index stays usable. what(): "Index full: adding <m> rows to <n> stored would
// exceed the limit of <max_rows> rows (ids are unsigned 32-bit)".
class IndexFull : public std::length_error {
public:
    using std::length_error::length_error;
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

class Index {
public:
    // Index::new: an empty index of d_bytes-byte codes with query bound k.
    // Panics, in this order, with
    //   "Index: k (<k>) must be < 8*d_bytes (<8 * d_bytes>)" when 8 * d_bytes <= k
    //     (so d_bytes = 0 is rejected too), and
    //   "Index: bit chunk wider than 128 bits" when a plan chunk is wider than a
    //     chunk key (k >= 1 and ceil(8 * d_bytes / (k + 1)) > 128).
    // `max_rows` lowers the row limit; only tests pass it.
    static Index create(std::uint64_t d_bytes, std::uint32_t k, std::uint32_t max_rows = kMaxRows);

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
    // std::bad_alloc, the index is unchanged: a batch is all or nothing.
    std::uint32_t add_batch(ByteSpan rows);

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
    // Reads only. Panics with the equality assertion "Index::query_batch
    // length not multiple of d_bytes" (rows.size() mod d_bytes left, 0 right)
    // and with "Index::query_batch: k above the index's k" when k > k().
    std::vector<PairRecord> query_batch(ByteSpan rows, std::uint32_t k) const;

    // Persistence. The file (index/index_file.hpp) holds d_bytes, k and the
    // codes; a loaded index rebuilds its tables from the codes and answers
    // every query as the saved one did (its ids are the same). max_rows is
    // not stored: a loaded index has the default limit.
    //
    // save writes the file at `path` (created or replaced); a failed system
    // call throws std::system_error carrying its errno. Reads only.
    void save(const std::string& path) const;
    // Throws std::system_error for a failed system call (no such file, ...),
    // IndexFileError for a file that is not an intact index file, and never
    // allocates for the codes before the file size matched the header.
    static Index load(const std::string& path);
    // The same format in memory: saved_size() bytes, written by save_to into
    // `out` (which must have exactly that size: a Panic otherwise) and read
    // back by from_bytes (IndexFileError as load).
    std::uint64_t saved_size() const noexcept;
    void save_to(std::span<std::uint8_t> out) const;
    static Index from_bytes(ByteSpan bytes);

    std::uint64_t d_bytes() const noexcept;
    std::uint32_t k() const noexcept;
    // Number of stored rows, which is also the id the next row receives.
    std::uint32_t n() const noexcept;
    std::uint32_t max_rows() const noexcept;
    // The plan the index keys on, index_plan(d_bytes, k); table t belongs to
    // plan().parts[t]. The tables are made when the first row is added.
    Plan plan() const;

    // The ids listed under `key` in the table of part `part`, ascending
    // (empty when the key is absent). For inspecting the tables.
    std::vector<std::uint32_t> ids_with_key(std::size_t part, std::uint64_t key) const;

private:
    struct State;
    explicit Index(std::unique_ptr<State> state) noexcept;
    // An index of `codes` (n rows of d_bytes bytes) for a file header already
    // checked for size and checksum; refuses a d_bytes and k that Index::create
    // would, with IndexFileError.
    static Index from_codes(std::uint64_t d_bytes, std::uint32_t k, std::uint64_t n,
                            std::vector<std::uint8_t>&& codes);
    std::unique_ptr<State> state_;
};

}  // namespace brimel
