// The spread join (brimel/spread.hpp): its plan, the routing of rows to
// partitions, and the join of one partition's records.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "../keys/part_keys.hpp"
#include "brimel/bit_plan.hpp"
#include "brimel/entropy.hpp"
#include "brimel/errors.hpp"
#include "brimel/spread.hpp"
#include "pages.hpp"
#include "tile_join.hpp"

namespace brimel {

std::uint64_t SpreadCut::block_count() const {
    return blocks.empty() ? 0
                          : static_cast<std::uint64_t>(*std::max_element(blocks.begin(), blocks.end()) + 1);
}

namespace {

SpreadCut cut_of(const std::vector<std::vector<std::uint64_t>>& blocks, std::uint64_t bits, std::uint64_t r) {
    SpreadCut cut{std::vector<std::int64_t>(bits, -1), r};
    for (std::size_t b = 0; b < blocks.size(); ++b)
        for (const std::uint64_t bit : blocks[b]) cut.blocks[bit] = static_cast<std::int64_t>(b);
    return cut;
}

std::vector<std::vector<std::uint64_t>> bit_lists(const SpreadCut& cut) {
    std::vector<std::vector<std::uint64_t>> blocks(cut.block_count());
    for (std::uint64_t bit = 0; bit < cut.blocks.size(); ++bit)
        if (cut.blocks[bit] >= 0) blocks[static_cast<std::size_t>(cut.blocks[bit])].push_back(bit);
    return blocks;
}

}  // namespace

SpreadCut spread_cut(ByteSpan sample, std::uint64_t n, std::uint64_t d_bytes, std::uint32_t k,
                     std::uint64_t rows) {
    assert_equal(sample.size(), n * d_bytes, "sample length mismatch");
    const std::uint64_t bits = 8 * d_bytes;
    const std::vector<double> entropies = estimate_bit_entropies(sample, n, d_bytes, n);
    // The cuts into k + 1 blocks, one per part: the planner's plans of k + 1
    // exact-match parts (even, and by entropy), or even bit ranges when it
    // makes none (more parts than it weighs).
    std::vector<SpreadCut> cuts;
    for (const Plan& plan : candidate_plans(d_bytes, k, &entropies)) {
        if (plan.parts.size() != std::uint64_t{k} + 1 ||
            std::any_of(plan.parts.begin(), plan.parts.end(), [](const Part& p) { return p.threshold != 0; }))
            continue;
        std::vector<std::vector<std::uint64_t>> blocks;
        for (const Part& part : plan.parts) blocks.push_back(part.bits());
        cuts.push_back(cut_of(blocks, bits, 1));
    }
    if (cuts.empty()) return cut_of(even_blocks(bits, std::uint64_t{k} + 1), bits, 1);
    // Wider parts of r = m - k blocks, still exact-match: m - r + 1 = k + 1
    // routes, as many records as one block per part.
    for (const BlockCut& blocks : block_cuts(d_bytes, k, &entropies))
        if (blocks.threshold == 0 && blocks.r + k == blocks.blocks.size())
            cuts.push_back(cut_of(blocks.blocks, bits, blocks.r));
    std::vector<Plan> plans;
    for (const SpreadCut& cut : cuts) plans.push_back(spread_routes(cut).plan);
    const PlanChoice choice =
        choose_plan(JoinInput{sample.data(), n, nullptr, 0, d_bytes, k}, plans, std::max(rows, n));
    const PlanEstimate* best = nullptr;
    for (const PlanEstimate& option : choice.options)
        if (!option.plan.is_scan() && (best == nullptr || option.cost < best->cost)) best = &option;
    for (std::size_t c = 0; best != nullptr && c < cuts.size(); ++c)
        if (plans[c].same_parts(best->plan)) return cuts[c];
    return cuts.front();
}

std::string spread_cut_fault(const SpreadCut& cut, std::uint64_t d_bytes, std::uint32_t k) {
    if (cut.blocks.size() != 8 * d_bytes)
        return "the cut must name a block for each of the " + std::to_string(8 * d_bytes) +
               " code bits, not " + std::to_string(cut.blocks.size());
    std::vector<bool> held(cut.blocks.size(), false);
    for (const std::int64_t block : cut.blocks) {
        if (block < -1 || block >= static_cast<std::int64_t>(cut.blocks.size()))
            return "the cut's blocks must be -1 .. " + std::to_string(cut.blocks.size() - 1) + ", not " +
                   std::to_string(block);
        if (block >= 0) held[static_cast<std::size_t>(block)] = true;
    }
    const std::uint64_t m = cut.block_count();
    if (std::find(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(m), false) !=
        held.begin() + static_cast<std::ptrdiff_t>(m))
        return "every block of the cut must hold bits";
    if (cut.r < 1 || cut.r + k > m)
        return "the cut must take r of m blocks with 1 <= r <= m - k, not r = " + std::to_string(cut.r) +
               " of m = " + std::to_string(m) + " at k = " + std::to_string(k);
    if (cut.r > 1 && binomial(m, cut.r) > static_cast<double>(kMaxBlockParts))
        return "the cut must make at most " + std::to_string(kMaxBlockParts) + " parts";
    return {};
}

SpreadRoutes spread_routes(const SpreadCut& cut) {
    const std::vector<std::vector<std::uint64_t>> blocks = bit_lists(cut);
    SpreadRoutes out{Plan{"spread", block_parts(blocks, cut.r, 0)}, Plan{"routes", {}}, {0}};
    // The parts are in lexicographic order of their blocks: those whose first
    // block is b, C(m - 1 - b, r - 1) of them, follow those of b - 1.
    const std::uint64_t routes = blocks.size() - cut.r + 1;
    for (std::uint64_t b = 0; b < routes; ++b) {
        out.first_part.push_back(out.first_part.back() + static_cast<std::uint64_t>(std::llround(
                                                             binomial(blocks.size() - 1 - b, cut.r - 1))));
        out.keys.parts.push_back(block_parts({blocks[b]}, 1, 0).front());
    }
    return out;
}

namespace {

// Calls fn(copy), where copy(to, from) copies one code of d_bytes bytes and,
// for the usual widths, is a move of a size known at compile time: a call to
// memcpy per record was a third of the routing's own time on 64-bit codes.
template <typename Fn>
void with_code_copy(std::size_t d_bytes, Fn&& fn) {
    const auto fixed = []<std::size_t Bytes>(std::integral_constant<std::size_t, Bytes>) {
        return [](std::uint8_t* to, const std::uint8_t* from) { std::memcpy(to, from, Bytes); };
    };
    switch (d_bytes) {
        case 8:
            return fn(fixed(std::integral_constant<std::size_t, 8>{}));
        case 16:
            return fn(fixed(std::integral_constant<std::size_t, 16>{}));
        case 32:
            return fn(fixed(std::integral_constant<std::size_t, 32>{}));
        default:
            return fn(
                [d_bytes](std::uint8_t* to, const std::uint8_t* from) { std::memcpy(to, from, d_bytes); });
    }
}

// What one partition's join works in: one route's codes and row ids, and the
// grouping's sort buffers. A Dask worker joins partition after partition, and
// buffers freed after each were fresh pages for the next: zeroing and mapping
// them was 15-20% of a 1M-row partition's join. So they are kept between
// joins, one set per join running at once, each as large as the largest
// partition it has joined (d_bytes + 8 bytes per row of its largest route,
// and the grouping's buffers).
struct RouteBuffers {
    std::vector<std::uint8_t> codes;
    std::vector<std::int64_t> ids;
    detail::GroupBuffers group;
};

// Lends a kept set of buffers for one join, or a new one; takes it back after.
class LentBuffers {
public:
    LentBuffers() {
        const std::lock_guard lock(mutex_);
        if (kept_.empty()) {
            buffers_ = std::make_unique<RouteBuffers>();
        } else {
            buffers_ = std::move(kept_.back());
            kept_.pop_back();
        }
    }
    ~LentBuffers() {
        const std::lock_guard lock(mutex_);
        try {
            kept_.push_back(std::move(buffers_));
        } catch (const std::bad_alloc&) {
            // Not kept: freed with buffers_.
        }
    }
    LentBuffers(const LentBuffers&) = delete;
    LentBuffers& operator=(const LentBuffers&) = delete;
    RouteBuffers& operator*() const { return *buffers_; }

private:
    static inline std::mutex mutex_;
    static inline std::vector<std::unique_ptr<RouteBuffers>> kept_;
    std::unique_ptr<RouteBuffers> buffers_;
};

std::int64_t tag_of(const std::uint8_t* record) {
    std::int64_t tag;
    std::memcpy(&tag, record, sizeof tag);
    return tag;
}

}  // namespace

void route_rows(ByteSpan codes, std::uint64_t n, std::uint64_t d_bytes, std::int64_t first_row, bool side_b,
                const SpreadRoutes& routes, std::uint64_t seed, std::uint64_t partitions,
                std::uint8_t* records, std::uint32_t* keys, std::uint64_t* offsets) {
    assert_equal(codes.size(), n * d_bytes, "codes length mismatch");
    const std::size_t count = routes.keys.parts.size();
    const unsigned shift = spread_tag_shift(count);
    const std::size_t bytes = spread_record_bytes(d_bytes);
    const std::size_t rows = static_cast<std::size_t>(n);
    // Route keys are computed twice, to count and then to place, a stretch of
    // rows at a time: a buffer of a key per copy would be as large as the
    // records themselves, and fresh memory costs its pages' faults.
    constexpr std::size_t kStretch = 4096;
    std::uint64_t route_keys[kStretch];
    const auto for_each_key = [&](auto&& fn) {
        for (std::size_t route = 0; route < count; ++route) {
            const detail::PartKeys reader(routes.keys.parts[route], d_bytes, seed);
            // The salt spreads equal values of different routes, and values
            // that differ in a few high bits, over partitions.
            const std::uint64_t salt = seed ^ ((route + 1) * 0x9E3779B97F4A7C15ull);
            for (std::size_t from = 0; from < rows; from += kStretch) {
                const std::size_t to = std::min(rows, from + kStretch);
                reader.keys(codes.data(), from, to, route_keys);
                for (std::size_t r = from; r < to; ++r)
                    fn(route, r, static_cast<std::uint32_t>(detail::mix(route_keys[r - from] ^ salt) >> 32));
            }
        }
    };
    const auto destination = [&](std::uint32_t key) {
        return static_cast<std::size_t>((std::uint64_t{key} * partitions) >> 32);
    };
    // The records are written once, in 4 KiB pages: a 1M-row block's 64 MB
    // took 115-200 ms in fresh huge pages, 65 ms in small ones.
    detail::small_pages(records, rows * count * bytes);
    std::fill(offsets, offsets + partitions + 1, 0);
    for_each_key([&](std::size_t, std::size_t, std::uint32_t key) { ++offsets[destination(key) + 1]; });
    for (std::size_t d = 0; d < partitions; ++d) offsets[d + 1] += offsets[d];
    std::vector<std::uint64_t> next(offsets, offsets + partitions);
    const std::size_t padding = bytes - 8 - static_cast<std::size_t>(d_bytes);
    with_code_copy(d_bytes, [&](auto copy_code) {
        for_each_key([&](std::size_t route, std::size_t r, std::uint32_t key) {
            const std::size_t at = next[destination(key)]++;
            const std::int64_t tag =
                ((first_row + static_cast<std::int64_t>(r)) << shift) | static_cast<std::int64_t>(route);
            const std::int64_t stored = side_b ? ~tag : tag;
            std::uint8_t* record = records + at * bytes;
            std::memcpy(record, &stored, sizeof stored);
            copy_code(record + 8, codes.data() + r * d_bytes);
            if (padding != 0) std::memset(record + 8 + d_bytes, 0, padding);
            if (keys != nullptr) keys[at] = key;
        });
    });
}

SpreadPairs join_routed(std::span<const ByteSpan> pieces, std::uint64_t d_bytes, const SpreadRoutes& routes,
                        std::uint32_t k, bool cross, RunControl* control) {
    const std::size_t bytes = spread_record_bytes(d_bytes);
    const std::uint64_t count = routes.keys.parts.size();
    const unsigned shift = spread_tag_shift(count);
    const std::uint64_t route_mask = (std::uint64_t{1} << shift) - 1;
    // The records by (route, side): bucket 2 q for rows of A on route q, 2 q +
    // 1 for rows of B.
    const std::uint64_t buckets = 2 * count;
    const auto bucket = [&](const std::uint8_t* record) {
        const std::int64_t tag = tag_of(record);
        const bool b = tag < 0;
        return 2 * (static_cast<std::uint64_t>(b ? ~tag : tag) & route_mask) + (b ? 1 : 0);
    };
    // route_rows writes a piece in bucket order (by route; all its rows are
    // of one side), so each bucket of such a piece is one run of records.
    // Pieces in any other order (after a DataFrame shuffle) are copied into
    // bucket order, together, first. runs[p] holds piece p's bucket starts,
    // in records (buckets + 1 entries).
    std::vector<ByteSpan> ordered;
    std::vector<std::vector<std::uint64_t>> runs;
    std::vector<std::uint64_t> mixed(buckets + 1, 0);  // the other pieces' bucket starts
    std::vector<ByteSpan> unordered;
    for (const ByteSpan piece : pieces) {
        assert_equal(piece.size() % bytes, 0, "records length mismatch");
        std::vector<std::uint64_t> start(buckets + 1, 0);
        bool in_order = true;
        std::uint64_t last = 0;
        for (std::size_t at = 0; at < piece.size(); at += bytes) {
            const std::uint64_t b = bucket(piece.data() + at);
            in_order = in_order && b >= last;
            last = b;
            ++start[b + 1];
        }
        if (!in_order) {
            for (std::uint64_t b = 0; b < buckets; ++b) mixed[b + 1] += start[b + 1];
            unordered.push_back(piece);
            continue;
        }
        for (std::uint64_t b = 0; b < buckets; ++b) start[b + 1] += start[b];
        ordered.push_back(piece);
        runs.push_back(std::move(start));
    }
    std::unique_ptr<std::uint8_t[]> sorted;  // the unordered pieces' records, in bucket order
    if (!unordered.empty()) {
        for (std::uint64_t b = 0; b < buckets; ++b) mixed[b + 1] += mixed[b];
        sorted.reset(new std::uint8_t[mixed.back() * bytes]);
        std::vector<std::uint64_t> next(mixed.begin(), mixed.end() - 1);
        for (const ByteSpan piece : unordered)
            for (std::size_t at = 0; at < piece.size(); at += bytes)
                std::memcpy(sorted.get() + next[bucket(piece.data() + at)]++ * bytes, piece.data() + at,
                            bytes);
        ordered.push_back(ByteSpan(sorted.get(), mixed.back() * bytes));
        runs.push_back(std::move(mixed));
    }
    const auto rows_in = [&](std::uint64_t b) {
        std::uint64_t rows = 0;
        for (const auto& start : runs) rows += start[b + 1] - start[b];
        return rows;
    };
    std::uint64_t most = 0;
    for (std::uint64_t q = 0; q < count; ++q) most = std::max(most, rows_in(2 * q) + rows_in(2 * q + 1));
    // One route's rows at a time, A's then B's, codes back to back beside
    // their rows' ids: buffers for the largest route, reused by every route
    // (a copy of all routes at once took as much fresh memory as the records).
    // Each route writes the rows it reads.
    const LentBuffers lent;
    RouteBuffers& kept = *lent;
    if (kept.codes.size() < most * d_bytes) kept.codes.resize(most * d_bytes);
    if (kept.ids.size() < most) kept.ids.resize(most);
    std::uint8_t* const codes = kept.codes.data();
    std::int64_t* const ids = kept.ids.data();
    SpreadPairs out;
    for (std::uint64_t q = 0; q < count; ++q) {
        const std::uint64_t n_a = rows_in(2 * q), n_b = rows_in(2 * q + 1);
        if (cross ? n_a == 0 || n_b == 0 : n_a < 2) continue;
        if (!rows_fit_ids(n_a) || !rows_fit_ids(n_b)) throw RowLimit(std::string(messages::kTooManyRows));
        with_code_copy(d_bytes, [&](auto copy_code) {
            std::uint64_t to = 0;
            for (const std::uint64_t b : {2 * q, 2 * q + 1})
                for (std::size_t p = 0; p < ordered.size(); ++p)
                    for (std::uint64_t r = runs[p][b]; r < runs[p][b + 1]; ++r, ++to) {
                        const std::uint8_t* record = ordered[p].data() + r * bytes;
                        const std::int64_t tag = tag_of(record);
                        ids[to] = (tag < 0 ? ~tag : tag) >> shift;
                        copy_code(codes + to * d_bytes, record + 8);
                    }
        });
        const JoinInput input{codes,           n_a,     cross ? codes + n_a * d_bytes : nullptr,
                              cross ? n_b : 0, d_bytes, k};
        const std::vector<PairRecord> found = detail::join_parts_with_plan(
            input, routes.plan, routes.first_part[q], routes.first_part[q + 1], control, &kept.group);
        const std::int64_t* a_ids = ids;
        const std::int64_t* b_ids = ids + (cross ? n_a : 0);
        for (const PairRecord& record : found) {
            const std::int64_t i = a_ids[record.i], j = b_ids[record.j];
            out.i.push_back(cross ? i : std::min(i, j));
            out.j.push_back(cross ? j : std::max(i, j));
            out.distance.push_back(record.dist);
        }
    }
    return out;
}

}  // namespace brimel
