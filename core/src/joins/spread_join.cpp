// The spread join (brimel/spread.hpp): its plan, the routing of rows to
// partitions, and the join of one partition's records.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "../keys/part_keys.hpp"
#include "brimel/bit_plan.hpp"
#include "brimel/entropy.hpp"
#include "brimel/errors.hpp"
#include "brimel/spread.hpp"
#include "tile_join.hpp"

namespace brimel {

std::vector<std::int64_t> spread_parts(ByteSpan sample, std::uint64_t n, std::uint64_t d_bytes,
                                       std::uint32_t k) {
    assert_equal(sample.size(), n * d_bytes, "sample length mismatch");
    const std::uint64_t parts = std::uint64_t{k} + 1;
    const std::vector<double> entropies = estimate_bit_entropies(sample, n, d_bytes, n);
    std::vector<Plan> exact;
    for (Plan& plan : candidate_plans(d_bytes, k, &entropies))
        if (plan.parts.size() == parts &&
            std::all_of(plan.parts.begin(), plan.parts.end(), [](const Part& p) { return p.threshold == 0; }))
            exact.push_back(std::move(plan));
    Plan chosen;
    if (exact.empty()) {  // more parts than the planner weighs: even bit ranges
        for (const BitRange& range : chunk_bit_boundaries(8 * d_bytes, parts))
            chosen.parts.push_back(Part{range.first, range.second, {}, 0});
    } else {
        const PlanChoice choice = choose_plan(JoinInput{sample.data(), n, nullptr, 0, d_bytes, k}, exact);
        const PlanEstimate* best = nullptr;
        for (const PlanEstimate& option : choice.options)
            if (!option.plan.is_scan() && (best == nullptr || option.cost < best->cost)) best = &option;
        chosen = best->plan;
    }
    std::vector<std::int64_t> owners(8 * d_bytes, -1);
    for (std::uint64_t p = 0; p < chosen.parts.size(); ++p) {
        const Part& part = chosen.parts[p];
        if (part.positions.empty()) {
            for (std::uint64_t bit = part.lo; bit < part.hi; ++bit)
                owners[bit] = static_cast<std::int64_t>(p);
        } else {
            for (const std::uint64_t bit : part.positions) owners[bit] = static_cast<std::int64_t>(p);
        }
    }
    return owners;
}

Plan spread_plan(std::span<const std::int64_t> owners, std::uint64_t parts) {
    Plan plan{"spread", std::vector<Part>(parts)};
    for (std::uint64_t bit = 0; bit < owners.size(); ++bit)
        if (owners[bit] >= 0) plan.parts[static_cast<std::size_t>(owners[bit])].positions.push_back(bit);
    // A run of consecutive bits is a range: its key is read as one.
    for (Part& part : plan.parts) {
        if (!part.positions.empty() &&
            part.positions.back() - part.positions.front() + 1 == part.positions.size()) {
            part.lo = part.positions.front();
            part.hi = part.positions.back() + 1;
            part.positions.clear();
        }
    }
    return plan;
}

namespace {

std::int64_t tag_of(const std::uint8_t* record) {
    std::int64_t tag;
    std::memcpy(&tag, record, sizeof tag);
    return tag;
}

}  // namespace

void route_rows(ByteSpan codes, std::uint64_t n, std::uint64_t d_bytes, std::int64_t first_row, bool side_b,
                const Plan& plan, std::uint64_t seed, std::uint64_t partitions, std::uint8_t* records,
                std::uint32_t* keys, std::uint64_t* offsets) {
    assert_equal(codes.size(), n * d_bytes, "codes length mismatch");
    const std::size_t parts = plan.parts.size();
    const unsigned shift = spread_tag_shift(parts);
    const std::size_t bytes = spread_record_bytes(d_bytes);
    const std::size_t rows = static_cast<std::size_t>(n);
    // Route keys are computed twice, to count and then to place, a stretch of
    // rows at a time: a buffer of a key per copy would be as large as the
    // records themselves, and fresh memory costs its pages' faults.
    constexpr std::size_t kStretch = 4096;
    std::uint64_t part_keys[kStretch];
    const auto for_each_key = [&](auto&& fn) {
        for (std::size_t p = 0; p < parts; ++p) {
            const detail::PartKeys reader(plan.parts[p], d_bytes, seed);
            // The salt spreads equal values of different parts, and values
            // that differ in a few high bits, over partitions.
            const std::uint64_t salt = seed ^ ((p + 1) * 0x9E3779B97F4A7C15ull);
            for (std::size_t from = 0; from < rows; from += kStretch) {
                const std::size_t to = std::min(rows, from + kStretch);
                reader.keys(codes.data(), from, to, part_keys);
                for (std::size_t r = from; r < to; ++r)
                    fn(p, r, static_cast<std::uint32_t>(detail::mix(part_keys[r - from] ^ salt) >> 32));
            }
        }
    };
    const auto destination = [&](std::uint32_t key) {
        return static_cast<std::size_t>((std::uint64_t{key} * partitions) >> 32);
    };
    std::fill(offsets, offsets + partitions + 1, 0);
    for_each_key([&](std::size_t, std::size_t, std::uint32_t key) { ++offsets[destination(key) + 1]; });
    for (std::size_t d = 0; d < partitions; ++d) offsets[d + 1] += offsets[d];
    std::vector<std::uint64_t> next(offsets, offsets + partitions);
    const std::size_t padding = bytes - 8 - static_cast<std::size_t>(d_bytes);
    for_each_key([&](std::size_t p, std::size_t r, std::uint32_t key) {
        const std::size_t at = next[destination(key)]++;
        const std::int64_t tag =
            ((first_row + static_cast<std::int64_t>(r)) << shift) | static_cast<std::int64_t>(p);
        const std::int64_t stored = side_b ? ~tag : tag;
        std::uint8_t* record = records + at * bytes;
        std::memcpy(record, &stored, sizeof stored);
        std::memcpy(record + 8, codes.data() + r * d_bytes, d_bytes);
        if (padding != 0) std::memset(record + 8 + d_bytes, 0, padding);
        if (keys != nullptr) keys[at] = key;
    });
}

SpreadPairs join_routed(std::span<const ByteSpan> pieces, std::uint64_t d_bytes, const Plan& plan,
                        std::uint32_t k, bool cross, RunControl* control) {
    const std::size_t bytes = spread_record_bytes(d_bytes);
    const std::uint64_t parts = plan.parts.size();
    const unsigned shift = spread_tag_shift(parts);
    const std::uint64_t part_mask = (std::uint64_t{1} << shift) - 1;
    // The records by (part, side): bucket 2 p for rows of A on part p, 2 p + 1
    // for rows of B; codes back to back in that order, beside their rows' ids.
    const auto bucket = [&](const std::uint8_t* record) {
        const std::int64_t tag = tag_of(record);
        const bool b = tag < 0;
        return 2 * (static_cast<std::uint64_t>(b ? ~tag : tag) & part_mask) + (b ? 1 : 0);
    };
    std::uint64_t count = 0;
    std::vector<std::uint64_t> start(2 * parts + 1, 0);
    for (const ByteSpan piece : pieces) {
        assert_equal(piece.size() % bytes, 0, "records length mismatch");
        for (std::size_t at = 0; at < piece.size(); at += bytes) ++start[bucket(piece.data() + at) + 1];
        count += piece.size() / bytes;
    }
    for (std::uint64_t s = 0; s < 2 * parts; ++s) start[s + 1] += start[s];
    // Left uninitialised: every byte is written below.
    const std::unique_ptr<std::uint8_t[]> codes(new std::uint8_t[count * d_bytes]);
    const std::unique_ptr<std::int64_t[]> ids(new std::int64_t[count]);
    {
        std::vector<std::uint64_t> next(start.begin(), start.end() - 1);
        for (const ByteSpan piece : pieces) {
            for (std::size_t at = 0; at < piece.size(); at += bytes) {
                const std::uint8_t* record = piece.data() + at;
                const std::uint64_t to = next[bucket(record)]++;
                const std::int64_t tag = tag_of(record);
                ids[to] = (tag < 0 ? ~tag : tag) >> shift;
                std::memcpy(codes.get() + to * d_bytes, record + 8, d_bytes);
            }
        }
    }
    SpreadPairs out;
    for (std::uint64_t p = 0; p < parts; ++p) {
        const std::uint64_t a_first = start[2 * p], n_a = start[2 * p + 1] - a_first;
        const std::uint64_t b_first = start[2 * p + 1], n_b = start[2 * p + 2] - b_first;
        if (cross ? n_a == 0 || n_b == 0 : n_a < 2) continue;
        if (!rows_fit_ids(n_a) || !rows_fit_ids(n_b)) throw RowLimit(std::string(messages::kTooManyRows));
        const JoinInput input{codes.get() + a_first * d_bytes,
                              n_a,
                              cross ? codes.get() + b_first * d_bytes : nullptr,
                              cross ? n_b : 0,
                              d_bytes,
                              k};
        const std::vector<PairRecord> found = detail::join_part_with_plan(input, plan, p, control);
        const std::int64_t* a_ids = ids.get() + a_first;
        const std::int64_t* b_ids = ids.get() + (cross ? b_first : a_first);
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
