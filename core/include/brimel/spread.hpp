// The pair join spread over the workers of a cluster (brimel_native.dask): one
// exchange of rows by route keys, then a join in each partition.
//
// The plan cuts the code's bits into m disjoint blocks and has one
// exact-match part (threshold 0) for each choice of r = m - k of them: a pair
// within k differs in at most k blocks, so it agrees on m - k whole blocks,
// and on the part they make. With r = 1 that is k + 1 parts of one block each.
// Parts are in lexicographic order of their blocks, so the parts whose first
// block is b are consecutive: they form route b (b = 0 .. k), keyed by block
// b's bits. Every row is sent once per route, to the partition its key routes
// it to, so rows equal on a part, and so on its first block, meet in one
// partition; there the route's parts join them, and a pair is kept only by
// the first part on which it agrees (keys/part_probe.hpp). Each pair thus
// comes out of exactly one partition, and no deduplication is needed. A row is
// sent k + 1 times whatever r: wider parts cost more parts, not more records.
//
// A routed copy of a row is a record of spread_record_bytes(d_bytes) bytes:
// the tag, a native 64-bit integer, then the code's bytes, zero-filled to a
// whole word. The tag is row << spread_tag_shift(routes) | route for a row of
// A (row its global id) and its complement, a negative number, for a row of B.
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "brimel/plan.hpp"
#include "brimel/run_control.hpp"
#include "brimel/types.hpp"

namespace brimel {

// The spread join's cut: the block of each of the 8 * d_bytes bits (-1: in
// no block) and the blocks per part.
struct SpreadCut {
    std::vector<std::int64_t> blocks;
    std::uint64_t r = 1;

    std::uint64_t block_count() const;
};

// The spread join's cut for codes of d_bytes bytes at bound k (k < 8 *
// d_bytes) over `rows` rows in all (of A and B), chosen on `sample` (n rows
// of A): of the planner's cuts into m >= k + 1 blocks (evenly, and by entropy
// where the sample's bits carry unequal information) with r = m - k, the one
// it expects to cost least on that many rows of codes like the sample's.
SpreadCut spread_cut(ByteSpan sample, std::uint64_t n, std::uint64_t d_bytes, std::uint32_t k,
                     std::uint64_t rows);

// Why `cut` is no spread join's cut for codes of d_bytes bytes at bound k,
// or empty when it is one: 8 * d_bytes entries, blocks numbered 0 .. m - 1
// with every one holding bits, 1 <= r <= m - k, and at most kMaxBlockParts
// parts when r > 1.
std::string spread_cut_fault(const SpreadCut& cut, std::uint64_t d_bytes, std::uint32_t k);

// The join plan of a valid cut, and its routes: route b's key is
// keys.parts[b] (block b), its parts are [first_part[b], first_part[b + 1]).
struct SpreadRoutes {
    Plan plan;
    Plan keys;
    std::vector<std::size_t> first_part;  // routes + 1 entries
};
SpreadRoutes spread_routes(const SpreadCut& cut);

// Bits of a tag that hold the route: enough for routes - 1.
constexpr unsigned spread_tag_shift(std::uint64_t routes) {
    return routes == 0 ? 0 : static_cast<unsigned>(std::bit_width(routes - 1));
}

// Bytes of one routed record: a tag word and the code in whole words.
constexpr std::uint64_t spread_record_bytes(std::uint64_t d_bytes) { return 8 + 8 * ((d_bytes + 7) / 8); }

// Every row of `codes` (n rows of d_bytes bytes, global ids first_row ..., of
// B when `side_b`) once per route of `routes`, as records grouped by
// destination into `records` (n * routes records; within a destination by
// route, then row), with each record's route key in `keys` (n * routes; none
// when nullptr) and the first record of destination d at offsets[d]
// (partitions + 1 entries, the last n * routes). A route key is a 32-bit hash
// of the route number and the row's bits on the route's block under `seed`:
// equal for rows equal on the block, in every process given the same seed.
// The destination is key * partitions / 2^32. Preconditions: codes holds n *
// d_bytes bytes, partitions >= 1, first_row + n below 2^(63 -
// spread_tag_shift(routes)).
void route_rows(ByteSpan codes, std::uint64_t n, std::uint64_t d_bytes, std::int64_t first_row, bool side_b,
                const SpreadRoutes& routes, std::uint64_t seed, std::uint64_t partitions,
                std::uint8_t* records, std::uint32_t* keys, std::uint64_t* offsets);

struct SpreadPairs {
    std::vector<std::int64_t> i;
    std::vector<std::int64_t> j;
    std::vector<std::uint32_t> distance;
};

// The pairs within k that one partition's records (routed with `routes`, in
// `pieces` of whole records) give: for each route, the pairs of its rows
// that agree on one of its parts and on no earlier part. In a self-join
// (`cross` false, no record of B) i < j; in a cross-join i is a row of A and
// j of B. In no particular order. Throws RowLimit when one route of the
// partition has more than kMaxRows rows of one side. Its working buffers are
// kept in the process for later calls (one set per call running at once, as
// large as the largest partition it has joined).
SpreadPairs join_routed(std::span<const ByteSpan> pieces, std::uint64_t d_bytes, const SpreadRoutes& routes,
                        std::uint32_t k, bool cross, RunControl* control = nullptr);

}  // namespace brimel
