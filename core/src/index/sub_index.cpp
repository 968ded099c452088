// Heavy lists and their sub-indexes.
#include "sub_index.hpp"

#include <algorithm>
#include <bit>
#include <iterator>

#include "../keys/code_words.hpp"
#include "verify.hpp"

namespace brimel::detail {
std::vector<std::uint64_t> bits_outside(const std::vector<std::uint64_t>& free_bits, const Part& part) {
    std::vector<std::uint64_t> left;
    const std::vector<std::uint64_t> taken = part.bits();
    std::set_difference(free_bits.begin(), free_bits.end(), taken.begin(), taken.end(),
                        std::back_inserter(left));
    return left;
}

HeavyLists::HeavyPart::~HeavyPart() {
    for (std::size_t v = 0; v < values.size(); ++v) delete lists[v].sub.load(std::memory_order_relaxed);
}

HeavyLists::~HeavyLists() {
    for (auto& part : heavy_) delete part.load(std::memory_order_relaxed);
}

const SubIndex* HeavyLists::find(std::size_t part, std::uint64_t value, std::span<const std::uint32_t> rows,
                                 const Part& planned, const std::vector<std::uint64_t>* free_bits,
                                 std::uint32_t k, const std::uint8_t* codes, std::uint64_t d_bytes) const {
    const HeavyPart* heavy = heavy_[part].load(std::memory_order_acquire);
    if (heavy == nullptr) {
        // The first probe of this part to meet a heavy list lists them all.
        auto made = std::make_unique<HeavyPart>();
        const PartLists& lists = lists_[part];
        for (std::uint64_t v = 0; v < lists.values; ++v)
            if (lists.size(v) > kHeavyRows) made->values.push_back(v);
        made->lists = std::make_unique<List[]>(made->values.size());
        if (heavy_[part].compare_exchange_strong(heavy, made.get(), std::memory_order_acq_rel,
                                                 std::memory_order_acquire))
            heavy = made.release();
    }
    const auto at = std::lower_bound(heavy->values.begin(), heavy->values.end(), value);
    if (at == heavy->values.end() || *at != value) return nullptr;
    List& list = heavy->lists[static_cast<std::size_t>(at - heavy->values.begin())];
    const SubIndex* sub = list.sub.load(std::memory_order_acquire);
    if (sub != nullptr || list.probes.fetch_add(1, std::memory_order_relaxed) + 1 != kProbesBeforeSubIndex)
        return sub;
    // Made by the one probe that reached the count.
    std::vector<std::uint64_t> every_bit;
    if (free_bits == nullptr) {
        every_bit.resize(8 * d_bytes);
        for (std::uint64_t b = 0; b < every_bit.size(); ++b) every_bit[b] = b;
    }
    auto made = std::make_unique<const SubIndex>(
        rows, bits_outside(free_bits ? *free_bits : every_bit, planned), k, codes, d_bytes);
    if (list.sub.compare_exchange_strong(sub, made.get(), std::memory_order_acq_rel,
                                         std::memory_order_acquire))
        sub = made.release();
    return sub;
}

namespace {

// Keeps the bits of `free_bits` on which some of `rows` differ; sets
// `common` to the rows' shared code (row 0's) and `fixed` to the mask of
// the bits of the code on which they all agree (as 64-bit words).
std::vector<std::uint64_t> varying_bits(std::span<const std::uint32_t> rows,
                                        const std::vector<std::uint64_t>& free_bits,
                                        const std::uint8_t* codes, std::uint64_t d_bytes,
                                        std::vector<std::uint64_t>& common,
                                        std::vector<std::uint64_t>& fixed) {
    const std::size_t words = words_per_row(d_bytes);
    common.assign(words, 0);
    fixed.assign(words, ~std::uint64_t{0});
    if (rows.empty()) return {};
    for (std::size_t w = 0; w < words; ++w)
        common[w] = load_word(codes + std::uint64_t{rows[0]} * d_bytes, w, d_bytes);
    for (const std::uint32_t r : rows)
        for (std::size_t w = 0; w < words; ++w)
            fixed[w] &= ~(load_word(codes + std::uint64_t{r} * d_bytes, w, d_bytes) ^ common[w]);
    std::vector<std::uint64_t> varying;
    for (const std::uint64_t bit : free_bits) {
        const auto [word, shift] = word_bit(bit);
        if (((fixed[word] >> shift) & 1) == 0) varying.push_back(bit);
    }
    return varying;
}

}  // namespace

SubIndex::SubIndex(std::span<const std::uint32_t> rows, std::vector<std::uint64_t> free_bits, std::uint32_t k,
                   const std::uint8_t* codes, std::uint64_t d_bytes)
    : free_bits_(varying_bits(rows, free_bits, codes, d_bytes, common_, fixed_)),
      plan_(free_bits_.size() > k ? segment_plan(free_bits_, d_bytes, k, rows.size()) : scan_plan()),
      k_(k),
      d_bytes_(d_bytes) {
    if (plan_.is_scan()) {
        rows_.assign(rows.begin(), rows.end());
        return;
    }
    // Each part by one counting pass, as a segment's: counts per value, their
    // prefix sums, then the rows in order.
    for (const Part& part : plan_.parts) {
        const PartKeys& keys = keys_.emplace_back(part, d_bytes);
        probes_.emplace_back(keys);
        const std::uint64_t values = std::uint64_t{1} << part.width();
        std::vector<std::uint32_t>& dir = directories_.emplace_back(values + 1, 0);
        std::vector<std::uint32_t>& order = orders_.emplace_back(rows.size());
        for (const std::uint32_t r : rows) ++dir[keys.key(codes + std::uint64_t{r} * d_bytes) + 1];
        for (std::uint64_t v = 0; v < values; ++v) dir[v + 1] += dir[v];
        for (const std::uint32_t r : rows) order[dir[keys.key(codes + std::uint64_t{r} * d_bytes)]++] = r;
        std::move_backward(dir.begin(), dir.end() - 1, dir.end());
        dir[0] = 0;
        heavy_.add_part({dir.data(), values, static_cast<std::uint32_t>(rows.size())});
    }
}

void SubIndex::candidates(const std::uint8_t* row, const std::uint8_t* codes,
                          std::vector<std::uint32_t>& out) const {
    // Every keyed row differs from `row` in at least the bits on which they
    // all agree and `row` does not: past k, none is near.
    std::uint32_t apart = 0;
    for (std::size_t w = 0; w < common_.size(); ++w)
        apart +=
            static_cast<std::uint32_t>(std::popcount((load_word(row, w, d_bytes_) ^ common_[w]) & fixed_[w]));
    if (apart > k_) return;
    // Per thread, shared by the calls a search nests (a heavy list's
    // sub-index is searched while its parent gathers): each call appends
    // after the entries of the calls it runs within and leaves them as it
    // found them, on every path out.
    using Listed = std::vector<std::pair<std::uint32_t, std::uint32_t>>;  // (row, part)
    thread_local Listed listed_buffer;
    Listed& listed = listed_buffer;
    const std::size_t first = listed.size();
    struct Trim {
        Listed& listed;
        std::size_t first;
        ~Trim() { listed.resize(first); }
    } const trim{listed, first};
    if (plan_.is_scan()) {
        for (const std::uint32_t r : rows_) listed.emplace_back(r, 0);
    } else {
        for (std::size_t q = 0; q < keys_.size(); ++q) {
            probes_[q].for_each_key(keys_[q].key(row), [&](std::uint64_t value) {
                const std::span<const std::uint32_t> list(
                    orders_[q].data() + directories_[q][value],
                    directories_[q][value + 1] - directories_[q][value]);
                const SubIndex* sub = list.size() > kHeavyRows ? heavy_.find(q, value, list, plan_.parts[q],
                                                                             &free_bits_, k_, codes, d_bytes_)
                                                               : nullptr;
                if (sub == nullptr) {
                    for (const std::uint32_t r : list) listed.emplace_back(r, static_cast<std::uint32_t>(q));
                    return;
                }
                // The child's rows are within k already: kept on the first
                // part where they are near.
                const std::size_t from = out.size();
                sub->candidates(row, codes, out);
                out.erase(std::remove_if(out.begin() + static_cast<std::ptrdiff_t>(from), out.end(),
                                         [&](std::uint32_t r) {
                                             return !first_near_part(keys_, q, row,
                                                                     codes + std::uint64_t{r} * d_bytes_);
                                         }),
                          out.end());
            });
        }
    }
    // The listed rows verified in tiles, as a segment's are: only the few
    // within k pay for the first-part rule, and the caller verifies no row
    // beyond k again.
    verify_gathered(
        listed.size() - first, d_bytes_, row, k_,
        [&](std::size_t c) { return codes + std::uint64_t{listed[first + c].first} * d_bytes_; },
        [&](std::size_t c, std::uint32_t) {
            const auto [r, q] = listed[first + c];
            // With no part (the scan) each row is listed once.
            if (keys_.empty() || first_near_part(keys_, q, row, codes + std::uint64_t{r} * d_bytes_))
                out.push_back(r);
        });
}

}  // namespace brimel::detail
