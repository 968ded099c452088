// Rows collapsed to their distinct codes, for find_groups.
#pragma once

#include <cstdint>
#include <vector>

#include "brimel/run_control.hpp"

namespace brimel::detail {

// Distinct codes numbered in the order of their first row.
struct DistinctCodes {
    std::vector<std::uint32_t> of_row;     // n: the number of each row's code
    std::vector<std::uint32_t> first_row;  // one per distinct code: its lowest row, ascending
};

// The hash rows are sorted by: h = seed, then h = mix(h ^ word) for each
// 64-bit word of the code (keys/code_words.hpp), mix a bijection. So the hash
// of a code's first w words is the state after them, and whoever knows the
// seed can make codes collide: it is drawn at random (seed.hpp).
std::uint64_t code_hash(const std::uint8_t* code, std::uint64_t d_bytes, std::uint64_t seed);

// The distinct codes of n rows of d_bytes bytes (d_bytes >= 1). Rows are
// sorted by code_hash with the process seed (seed.hpp), then by row; a run of equal hashes whose codes all
// equal its first row's is one code, checked in one pass (a million identical
// rows cost one pass), and any other run is sorted by its codes, compared in
// full, so colliding hashes cost a sort of the colliding rows and never a
// wrong answer. About 20 bytes per row while sorting, 4 per row after. Polls
// `control` (may be nullptr) between passes.
DistinctCodes distinct_codes(const std::uint8_t* data, std::uint64_t n, std::uint64_t d_bytes,
                             const RunControl* control);

}  // namespace brimel::detail
