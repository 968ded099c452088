// The tile pipeline with a union-find as its sink, for find_groups.
#pragma once

#include "../tables/union_find.hpp"
#include "brimel/plan.hpp"
#include "brimel/run_control.hpp"

namespace brimel::detail {

// Unites every pair of `input` within input.k, found with `plan` (any plan
// that join_with_plan accepts), into `groups`, which holds a slot per row of
// A; a cross-join's pairs (i of A, j of B) unite slots i and j. No pair is
// recorded: memory beyond the input is that of the grouping alone.
void unite_with_plan(const JoinInput& input, const Plan& plan, UnionFind& groups, RunControl* control);

}  // namespace brimel::detail
