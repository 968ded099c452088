#include "part_families.hpp"

#include <algorithm>
#include <iterator>

namespace brimel::detail {
namespace {

bool exact_match(const Part& part) { return part.threshold == 0 && part.width() <= kMaxExactPartBits; }

}  // namespace

PartFamily part_family(std::span<const Part> parts, std::size_t first, std::size_t end, std::uint64_t n,
                       std::uint64_t d_bytes) {
    PartFamily family{first + 1, {}};
    if (first >= end || d_bytes > kMaxFamilyCodeBytes || n * (d_bytes + 4) > kMaxFamilyCopyBytes ||
        !exact_match(parts[first]))
        return family;
    if (first + 1 == end) return family;
    // Two bit ranges share their overlap: parts cut evenly share nothing.
    const Part& next = parts[first + 1];
    if (parts[first].positions.empty() && next.positions.empty() &&
        std::min(parts[first].hi, next.hi) < std::max(parts[first].lo, next.lo) + kFamilyDigitBits)
        return family;
    std::vector<std::uint64_t> common = parts[first].bits();
    std::size_t last = first + 1;
    for (; last < end && last - first < kMaxFamilyParts && exact_match(parts[last]); ++last) {
        const std::vector<std::uint64_t> bits = parts[last].bits();
        std::vector<std::uint64_t> shared;
        std::set_intersection(common.begin(), common.end(), bits.begin(), bits.end(),
                              std::back_inserter(shared));
        if (shared.size() < kFamilyDigitBits) break;
        common = std::move(shared);
    }
    if (last - first >= 2) family = {last, std::move(common)};
    return family;
}

}  // namespace brimel::detail
