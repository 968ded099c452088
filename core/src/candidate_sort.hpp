// Sorting of large candidate lists, ascending by (i, j).
#pragma once

#include <vector>

#include "brimel/types.hpp"

namespace brimel::detail {

// Sorts ascending by (i, j); equal pairs are identical, so stability does not
// matter. Large lists take an LSD radix sort over (i, j) packed into only as
// many bits as the largest i and j need, in passes of 11 bits, with one scratch
// list of the same length; small ones a comparison sort. Runs on the calling
// thread.
void sort_candidates(std::vector<CandidatePair>& pairs);

}  // namespace brimel::detail
