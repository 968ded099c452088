// Which parts of a self-join's plan are grouped together, from one pass over
// the rows (tables/key_groups.hpp, sort_shared_rows_of_parts): the join runs
// it, the planner prices it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "brimel/plan.hpp"

namespace brimel::detail {

// Most parts in one family: each holds its kept rows until its turn, 8 bytes
// per row kept (every row, on duplicates).
inline constexpr std::size_t kMaxFamilyParts = 4;
// Bits of the digit that buckets a family's rows (256 buckets).
inline constexpr std::size_t kFamilyDigitBits = 8;
// Largest copy of the rows a family makes (d_bytes + 4 bytes per row): past
// it (about 5M rows of 64-bit codes) the copy would cost more memory than
// the passes it saves are worth, and parts are grouped one by one, in 8
// bytes per row.
inline constexpr std::uint64_t kMaxFamilyCopyBytes = std::uint64_t{64} << 20;
// Widest codes copied, in bytes: those whose groups copy their codes too.
inline constexpr std::uint64_t kMaxFamilyCodeBytes = 32;

struct PartFamily {
    std::size_t end = 0;                // parts [first, end); end == first + 1: no family
    std::vector<std::uint64_t> common;  // bit positions every part holds, ascending
};

// The family of a self-join's parts that starts at part `first`, among
// parts [first, end): consecutive exact-match parts (of at most
// kMaxExactPartBits bits, threshold 0) that all hold at least
// kFamilyDigitBits bits in common, as the parts of r of m blocks that share
// their first block do; for n rows of d_bytes bytes within the copy's limits.
PartFamily part_family(std::span<const Part> parts, std::size_t first, std::size_t end, std::uint64_t n,
                       std::uint64_t d_bytes);

}  // namespace brimel::detail
