// The pair join spread over the workers of a cluster (brimel_native.dask): one
// exchange of rows by part keys, then a join in each partition.
//
// The plan is k + 1 exact-match parts (threshold 0): a pair within k differs
// in at most k bits, so it agrees on some whole part. Every row is sent once
// per part, to the partition its key on that part routes it to, so rows equal
// on a part meet in one partition; there that part joins them, and a pair is
// kept only by the first part on which it agrees (keys/part_probe.hpp). Each
// pair thus comes out of exactly one partition, and no deduplication is needed.
//
// A routed copy of a row is a record of spread_record_bytes(d_bytes) bytes:
// the tag, a native 64-bit integer, then the code's bytes, zero-filled to a
// whole word. The tag is row << spread_tag_shift(parts) | part for a row of A
// (row its global id) and its complement, a negative number, for a row of B.
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "brimel/plan.hpp"
#include "brimel/run_control.hpp"
#include "brimel/types.hpp"

namespace brimel {

// The part of each of the 8 * d_bytes bits (-1: in no part) of the spread
// join's plan for codes of d_bytes bytes at bound k (k < 8 * d_bytes), chosen
// on `sample` (n rows): of the planner's plans of k + 1 exact-match parts (cut
// evenly, and by entropy where the sample's bits carry unequal information),
// the one it expects to cost least on the sample.
std::vector<std::int64_t> spread_parts(ByteSpan sample, std::uint64_t n, std::uint64_t d_bytes,
                                       std::uint32_t k);

// The plan of `parts` parts whose bits `owners` (one entry per bit, as
// spread_parts gives them) assigns. Precondition: every entry is -1 or below
// `parts`.
Plan spread_plan(std::span<const std::int64_t> owners, std::uint64_t parts);

// Bits of a tag that hold the part: enough for parts - 1.
constexpr unsigned spread_tag_shift(std::uint64_t parts) {
    return parts == 0 ? 0 : static_cast<unsigned>(std::bit_width(parts - 1));
}

// Bytes of one routed record: a tag word and the code in whole words.
constexpr std::uint64_t spread_record_bytes(std::uint64_t d_bytes) { return 8 + 8 * ((d_bytes + 7) / 8); }

// Every row of `codes` (n rows of d_bytes bytes, global ids first_row ..., of
// B when `side_b`) once per part of `plan`, as records grouped by destination
// into `records` (n * parts records; within a destination by part, then row),
// with each record's route key in `keys` (n * parts; none when nullptr) and the first record of
// destination d at offsets[d] (partitions + 1 entries, the last n * parts). A
// route key is a 32-bit hash of the part number and the row's key on the
// part under `seed`: equal for rows equal on the part, in every process given
// the same seed. The destination is key * partitions / 2^32. Preconditions:
// codes holds n * d_bytes bytes, partitions >= 1, first_row + n below
// 2^(63 - spread_tag_shift(parts)).
void route_rows(ByteSpan codes, std::uint64_t n, std::uint64_t d_bytes, std::int64_t first_row, bool side_b,
                const Plan& plan, std::uint64_t seed, std::uint64_t partitions, std::uint8_t* records,
                std::uint32_t* keys, std::uint64_t* offsets);

struct SpreadPairs {
    std::vector<std::int64_t> i;
    std::vector<std::int64_t> j;
    std::vector<std::uint32_t> distance;
};

// The pairs within k that one partition's records (routed with `plan`, in
// `pieces` of whole records) give: for each part, the pairs of its rows that
// agree on it and on no earlier part. In a self-join (`cross` false, no
// record of B) i < j; in a cross-join i is a row of A and j of B. In no
// particular order. Throws RowLimit when one part of the partition has more
// than kMaxRows rows of one side.
SpreadPairs join_routed(std::span<const ByteSpan> pieces, std::uint64_t d_bytes, const Plan& plan,
                        std::uint32_t k, bool cross, RunControl* control = nullptr);

}  // namespace brimel
