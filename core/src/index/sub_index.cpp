#include "sub_index.hpp"

#include <algorithm>
#include <iterator>

#include "brimel/plan.hpp"

namespace brimel::detail {

SubIndex::SubIndex(std::span<const std::uint32_t> ids, std::vector<std::uint64_t> free_bits, std::uint32_t k,
                   const std::uint8_t* codes, std::uint64_t d_bytes)
    : free_bits_(std::move(free_bits)), k_(k), d_bytes_(d_bytes), size_(ids.size()) {
    // The index's own plan for this many rows, over the free bits (whole
    // bytes of them: leaving the last few out keeps the box principle, since
    // a row within k differs from the query in at most k of any of them).
    const std::uint64_t bytes = free_bits_.size() / 8;
    if (8 * bytes <= k) {
        // Every listed row may be within k: too few bits left to key on.
        all_.assign(ids.begin(), ids.end());
        return;
    }
    for (Part part : index_plan(bytes, k, 2.0 * static_cast<double>(ids.size())).parts) {
        if (part.positions.empty())
            for (std::uint64_t bit = part.lo; bit < part.hi; ++bit) part.positions.push_back(bit);
        for (std::uint64_t& bit : part.positions) bit = free_bits_[bit];
        std::sort(part.positions.begin(), part.positions.end());  // for the children's set difference
        part.lo = part.hi = 0;
        keys_.emplace_back(part, d_bytes);
        flips_.push_back(keys_.back().exact() ? flip_masks(keys_.back().key_bits(), part.threshold)
                                              : std::vector<std::uint64_t>{});
        parts_.push_back(std::move(part));
    }
    tables_.resize(parts_.size());
    for (std::size_t q = 0; q < parts_.size(); ++q)
        for (const std::uint32_t id : ids)
            tables_[q][keys_[q].key(codes + std::uint64_t{id} * d_bytes)].push_back(id);
}

const SubIndex& SubIndex::child(std::size_t part, std::uint64_t key, const std::vector<std::uint32_t>& ids,
                                const std::uint8_t* codes) const {
    // Part keys fit in 32 bits (a value of at most 32 bits or a 32-bit hash).
    const std::uint64_t slot = (std::uint64_t{part} << 32) | key;
    {
        const std::lock_guard lock(mutex_);
        const auto found = children_.find(slot);
        if (found != children_.end()) return *found->second;
    }
    // Made outside the lock; a thread that raced to the same list made the
    // same sub-index, and the first one stored is kept.
    std::vector<std::uint64_t> left;
    const std::vector<std::uint64_t>& taken = parts_[part].positions;
    std::set_difference(free_bits_.begin(), free_bits_.end(), taken.begin(), taken.end(),
                        std::back_inserter(left));
    auto made = std::make_shared<const SubIndex>(ids, std::move(left), k_, codes, d_bytes_);
    const std::lock_guard lock(mutex_);
    return *children_.try_emplace(slot, std::move(made)).first->second;
}

void SubIndex::candidates(const std::uint8_t* row, const std::uint8_t* codes,
                          std::vector<std::uint32_t>& out) const {
    if (parts_.empty()) {
        out.insert(out.end(), all_.begin(), all_.end());
        return;
    }
    std::vector<std::uint32_t> from_child;
    for (std::size_t q = 0; q < tables_.size(); ++q) {
        const auto take = [&](std::uint64_t key) {
            const auto slot = tables_[q].find(key);
            if (slot == tables_[q].end()) return;
            const std::vector<std::uint32_t>* listed = &slot->second;
            if (listed->size() > kHeavyList) {
                from_child.clear();
                child(q, key, slot->second, codes).candidates(row, codes, from_child);
                listed = &from_child;
            }
            // Each row once: on the first part where it is near the query (a
            // hashed part's list may also hold rows that merely collide on it).
            for (const std::uint32_t id : *listed) {
                const std::uint8_t* stored = codes + std::uint64_t{id} * d_bytes_;
                if (!keys_[q].exact() && !keys_[q].near(row, stored)) continue;
                bool earlier = false;
                for (std::size_t p = 0; p < q && !earlier; ++p) earlier = keys_[p].near(row, stored);
                if (!earlier) out.push_back(id);
            }
        };
        const std::uint64_t key = keys_[q].key(row);
        take(key);
        for (const std::uint64_t flip : flips_[q]) take(key ^ flip);
    }
}

}  // namespace brimel::detail
