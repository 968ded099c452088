// The tile pipeline with a union-find as its sink, for find_groups, and the
// pipeline run over some parts of a plan, for the spread join.
#pragma once

#include <vector>

#include "../tables/key_groups.hpp"
#include "../tables/union_find.hpp"
#include "brimel/plan.hpp"
#include "brimel/run_control.hpp"
#include "brimel/types.hpp"

namespace brimel::detail {

// Unites every pair of `input` within input.k, found with `plan` (any plan
// that join_with_plan accepts), into `groups`, which holds a slot per row of
// A; a cross-join's pairs (i of A, j of B) unite slots i and j. No pair is
// recorded: memory beyond the input is that of the grouping alone.
void unite_with_plan(const JoinInput& input, const Plan& plan, UnionFind& groups, RunControl* control);

// The grouping's buffers: the keys of one side's rows (when not read from
// one word), the rows of each side sorted by key, and a family's rows and
// their copy. A join frees its own as soon as it is done with them; buffers
// a caller passes are kept, grown, never shrunk, so that joins of similar
// sizes one after another touch their memory once (fresh memory costs a
// page fault per 4 KiB, and a Dask worker's allocator returns every freed
// block to the system).
struct GroupBuffers {
    std::vector<std::uint64_t> keys;
    SortedRows sorted_a;
    SortedRows sorted_b;
    std::vector<SortedRows> family_rows;
    FamilyBuffers family;
};

// The pairs of `input` within input.k that parts [first, end) of `plan`
// record: near on one of them and on no earlier part (keys/part_probe.hpp),
// ascending. Run over every part of a plan, the records are join_with_plan's.
// With `buffers`, the grouping uses and keeps them (GroupBuffers).
std::vector<PairRecord> join_parts_with_plan(const JoinInput& input, const Plan& plan, std::size_t first,
                                             std::size_t end, RunControl* control,
                                             GroupBuffers* buffers = nullptr);

}  // namespace brimel::detail
