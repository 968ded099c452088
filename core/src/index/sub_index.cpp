#include "sub_index.hpp"

#include <algorithm>
#include <iterator>
#include <utility>

#include "brimel/plan.hpp"

namespace brimel::detail {
namespace {

// The bit positions a part covers, ascending.
std::vector<std::uint64_t> part_bits(const Part& part) {
    std::vector<std::uint64_t> bits = part.positions;
    for (std::uint64_t bit = part.lo; bit < part.hi; ++bit) bits.push_back(bit);
    std::sort(bits.begin(), bits.end());
    return bits;
}

}  // namespace

std::vector<std::uint64_t> bits_outside(const std::vector<std::uint64_t>& free_bits, const Part& part) {
    std::vector<std::uint64_t> left;
    const std::vector<std::uint64_t> taken = part_bits(part);
    std::set_difference(free_bits.begin(), free_bits.end(), taken.begin(), taken.end(),
                        std::back_inserter(left));
    return left;
}

SubIndex::SubIndex(std::span<const std::uint32_t> ids, std::vector<std::uint64_t> free_bits, std::uint32_t k,
                   const std::uint8_t* codes, std::uint64_t d_bytes)
    : free_bits_(std::move(free_bits)), k_(k), d_bytes_(d_bytes), size_(ids.size()) {
    // The index's own plan for this many rows, over the free bits (whole
    // bytes of them: leaving the last few out keeps the box principle, since
    // a row within k differs from the query in at most k of any of them).
    const std::uint64_t bytes = free_bits_.size() / 8;
    if (8 * bytes <= k) {
        // Every listed row may be within k: too few bits left to key on.
        ids_.assign(ids.begin(), ids.end());
        return;
    }
    for (const Part& planned : index_plan(bytes, k, 2.0 * static_cast<double>(ids.size())).parts) {
        Part part;
        part.threshold = planned.threshold;
        for (const std::uint64_t bit : part_bits(planned)) part.positions.push_back(free_bits_[bit]);
        // Consecutive bits are read as a range: one shift and mask when they
        // lie in one word.
        if (part.positions.back() - part.positions.front() + 1 == part.positions.size()) {
            part.lo = part.positions.front();
            part.hi = part.positions.back() + 1;
            part.positions.clear();
        }
        keys_.emplace_back(part, d_bytes);
        flips_.push_back(keys_.back().exact() ? flip_masks(keys_.back().key_bits(), part.threshold)
                                              : std::vector<std::uint64_t>{});
        parts_.push_back(std::move(part));
    }
    // Lists by sorting (key, id) pairs: ids stay ascending within a key, and
    // each part's lists take one block instead of an allocation per key.
    tables_.resize(parts_.size());
    ids_.reserve(parts_.size() * ids.size());
    std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed(ids.size());
    for (std::size_t q = 0; q < parts_.size(); ++q) {
        for (std::size_t r = 0; r < ids.size(); ++r)
            keyed[r] = {keys_[q].key(codes + std::uint64_t{ids[r]} * d_bytes), ids[r]};
        std::sort(keyed.begin(), keyed.end());
        tables_[q].reserve(ids.size());
        for (std::size_t r = 0; r < keyed.size();) {
            std::size_t end = r;
            while (end < keyed.size() && keyed[end].first == keyed[r].first)
                ids_.push_back(keyed[end++].second);
            tables_[q].emplace(keyed[r].first, Listed{static_cast<std::uint32_t>(ids_.size() - (end - r)),
                                                      static_cast<std::uint32_t>(end - r)});
            r = end;
        }
    }
}

const SubIndex* SubIndex::child(std::size_t part, std::uint64_t key, std::span<const std::uint32_t> ids,
                                const std::uint8_t* codes) const {
    // Part keys fit in 32 bits (a value of at most 32 bits or a 32-bit hash).
    const std::uint64_t slot = (std::uint64_t{part} << 32) | key;
    {
        const std::lock_guard lock(mutex_);
        HeavyList& list = children_[slot];
        if (list.sub) return list.sub.get();
        if (++list.probes != kProbesBeforeSubIndex) return nullptr;
    }
    // Made outside the lock, by the one probe that reached the count.
    auto made =
        std::make_shared<const SubIndex>(ids, bits_outside(free_bits_, parts_[part]), k_, codes, d_bytes_);
    const std::lock_guard lock(mutex_);
    return (children_[slot].sub = std::move(made)).get();
}

void SubIndex::candidates(const std::uint8_t* row, const std::uint8_t* codes,
                          std::vector<std::uint32_t>& out) const {
    if (parts_.empty()) {
        out.insert(out.end(), ids_.begin(), ids_.end());
        return;
    }
    std::vector<std::uint32_t> from_child;
    for (std::size_t q = 0; q < tables_.size(); ++q) {
        const auto take = [&](std::uint64_t key) {
            const auto slot = tables_[q].find(key);
            if (slot == tables_[q].end()) return;
            std::span<const std::uint32_t> ids = listed(slot->second);
            if (ids.size() > kHeavyList) {
                if (const SubIndex* sub = child(q, key, ids, codes)) {
                    from_child.clear();
                    sub->candidates(row, codes, from_child);
                    ids = from_child;
                }
            }
            // Each row once: on the first part where it is near the query (a
            // hashed part's list may also hold rows that merely collide on it).
            for (const std::uint32_t id : ids) {
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
