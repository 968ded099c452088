// The one join pipeline: a plan executed part by part into per-worker record
// lists, verified tile by tile (see brimel/pairs.hpp).
#include <algorithm>
#include <optional>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/enumerable_thread_specific.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_sort.h>

#include "../kernels/scan.hpp"
#include "../keys/code_words.hpp"
#include "../keys/part_keys.hpp"
#include "../tables/key_groups.hpp"
#include "brimel/pairs.hpp"
#include "brimel/pool.hpp"

namespace brimel {
namespace {

namespace tbb = oneapi::tbb;
using detail::KeyGroups;
using detail::PartKeys;

// Rows per tile. A tile of 64-bit codes is 16 KiB and one of 256-bit codes
// 64 KiB, so it stays in L1/L2 while every query of its group streams past;
// a query costs one kernel call per tile, small against 2048 row compares.
constexpr std::size_t kTileRows = 2048;

struct Matrix {
    const std::uint8_t* data;
    std::uint64_t n;
    std::uint64_t d_bytes;

    const std::uint8_t* row(std::uint32_t r) const { return data + std::uint64_t{r} * d_bytes; }
};

// What one worker owns: its tile, its kernel outputs and its records.
struct Scratch {
    std::vector<std::uint64_t> tile;        // kTileRows * words, word-major
    std::vector<std::uint32_t> tile_rows;   // row of A at each tile position
    std::vector<std::uint64_t> query;       // words of the query row
    std::vector<std::uint32_t> pos, dist;   // kernel hits
    std::vector<PairRecord> records;
    std::uint64_t verified = 0;
    std::uint64_t recorded = 0;
};

// Every nonzero mask of at most `threshold` of the low `bits` bits: the key
// differences a part's probes try.
std::vector<std::uint64_t> flip_masks(unsigned bits, std::uint32_t threshold) {
    std::vector<std::uint64_t> flips;
    const auto extend = [&](auto& self, std::uint64_t mask, unsigned from, std::uint32_t left) -> void {
        for (unsigned b = from; b < bits; ++b) {
            const std::uint64_t next = mask | (std::uint64_t{1} << b);
            flips.push_back(next);
            if (left > 1) self(self, next, b + 1, left - 1);
        }
    };
    if (threshold > 0) extend(extend, 0, 0, threshold);
    return flips;
}

class TileJoin {
public:
    TileJoin(const JoinInput& input, const Plan& plan)
        : a_{input.a, input.n_a, input.d_bytes},
          b_{input.self() ? input.a : input.b, input.self() ? input.n_a : input.n_b, input.d_bytes},
          self_(input.self()),
          k_(input.k),
          words_(std::max<std::size_t>(detail::words_per_row(input.d_bytes), 1)),
          scan_(kernels::active().scan),
          scratch_([words = words_] {
              Scratch s;
              s.tile.resize(kTileRows * words);
              s.tile_rows.resize(kTileRows);
              s.query.resize(words);
              s.pos.resize(kTileRows);
              s.dist.resize(kTileRows);
              return s;
          }) {
        for (const Part& part : plan.parts) parts_.emplace_back(part, input.d_bytes);
    }

    std::vector<PairRecord> run(JoinStats* stats) {
        if (parts_.empty()) {
            // The tile scan: all of A is one group, all of B its one neighbour.
            run_part(KeyGroups(std::vector<std::uint64_t>(a_.n, 0), 1, false),
                     self_ ? std::nullopt : std::optional<KeyGroups>(KeyGroups(std::vector<std::uint64_t>(b_.n, 0), 1, true)),
                     {}, stats);
        }
        for (part_ = 0; part_ < parts_.size(); ++part_) {
            const PartKeys& keys = parts_[part_];
            const std::vector<std::uint64_t> flips =
                keys.exact() ? flip_masks(keys.key_bits(), keys.threshold()) : std::vector<std::uint64_t>{};
            KeyGroups groups_a(keys_of(a_, keys), keys.key_bits(), self_ && !flips.empty());
            std::optional<KeyGroups> groups_b;
            if (!self_) groups_b.emplace(keys_of(b_, keys), keys.key_bits(), true);
            run_part(groups_a, groups_b, flips, stats);
        }
        return gather(stats);
    }

private:
    std::vector<std::uint64_t> keys_of(const Matrix& m, const PartKeys& keys) const {
        std::vector<std::uint64_t> out(m.n);
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, m.n, 1 << 14),
                          [&](const tbb::blocked_range<std::size_t>& rows) {
                              for (std::size_t r = rows.begin(); r != rows.end(); ++r)
                                  out[r] = keys.key(m.row(static_cast<std::uint32_t>(r)));
                          });
        return out;
    }

    void run_part(const KeyGroups& groups_a, const std::optional<KeyGroups>& groups_b,
                  const std::vector<std::uint64_t>& flips, JoinStats* stats) {
        const KeyGroups& queries = groups_b ? *groups_b : groups_a;
        // Groups that fit one tile are independent tasks; the partitioner
        // balances their uneven sizes by stealing. A larger group is cut into
        // tiles and its tile pairs run in parallel on their own, so one heavy
        // group (a flood, a duplicate cluster) still uses every worker.
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, groups_a.groups(), 64),
                          [&](const tbb::blocked_range<std::size_t>& range) {
                              Scratch& s = scratch_.local();
                              for (std::size_t g = range.begin(); g != range.end(); ++g)
                                  if (groups_a.group(g).size() <= kTileRows) small_group(s, groups_a, queries, flips, g);
                          });
        for (std::size_t g = 0; g < groups_a.groups(); ++g)
            if (groups_a.group(g).size() > kTileRows) large_group(groups_a, queries, flips, g);

        if (stats == nullptr) return;
        PartStats part{groups_a.groups(), 0, 0};
        for (Scratch& s : scratch_) {
            part.verified += std::exchange(s.verified, 0);
            part.recorded += std::exchange(s.recorded, 0);
        }
        stats->verified += part.verified;
        if (!parts_.empty()) stats->parts.push_back(part);
    }

    // Calls fn(h) for each group h of `queries` whose key is within the
    // part's threshold of group g's key: in a self-join only keys above g's
    // (the pairs inside g are its triangle), in a cross-join g's own key too.
    template <class Fn>
    void for_each_neighbour(const KeyGroups& groups_a, const KeyGroups& queries,
                            const std::vector<std::uint64_t>& flips, std::size_t g, Fn&& fn) const {
        const std::uint64_t key = groups_a.key(g);
        if (!self_) {
            if (const std::size_t h = queries.find(key); h != KeyGroups::npos) fn(h);
        }
        for (const std::uint64_t flip : flips) {
            const std::uint64_t other = key ^ flip;
            if (self_ && other < key) continue;
            if (const std::size_t h = queries.find(other); h != KeyGroups::npos) fn(h);
        }
    }

    void small_group(Scratch& s, const KeyGroups& groups_a, const KeyGroups& queries,
                     const std::vector<std::uint64_t>& flips, std::size_t g) {
        const auto rows = groups_a.group(g);
        if (self_ && rows.size() < 2 && flips.empty()) return;
        load_tile(s, rows);
        if (self_)
            for (std::size_t t = 0; t + 1 < rows.size(); ++t) verify(s, rows.size(), rows[t], t + 1);
        for_each_neighbour(groups_a, queries, flips, g, [&](std::size_t h) {
            for (const std::uint32_t q : queries.group(h)) verify(s, rows.size(), q, 0);
        });
    }

    void large_group(const KeyGroups& groups_a, const KeyGroups& queries, const std::vector<std::uint64_t>& flips,
                     std::size_t g) {
        const auto rows = groups_a.group(g);
        const std::size_t tiles = (rows.size() + kTileRows - 1) / kTileRows;
        // Work items: (tile, query tile of the same group) for the triangle,
        // (tile, neighbour group, its query rows [from, to)) for the probes.
        struct Item {
            std::size_t tile;
            std::size_t group;  // SIZE_MAX: queries from this group's tile `from`
            std::size_t from;
            std::size_t to;
        };
        std::vector<Item> items;
        for (std::size_t t = 0; t < tiles; ++t) {
            if (self_)
                for (std::size_t q = 0; q <= t; ++q) items.push_back({t, SIZE_MAX, q, q});
            for_each_neighbour(groups_a, queries, flips, g, [&](std::size_t h) {
                const std::size_t size = queries.group(h).size();
                for (std::size_t from = 0; from < size; from += kTileRows)
                    items.push_back({t, h, from, std::min(size, from + kTileRows)});
            });
        }
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, items.size(), 1),
                          [&](const tbb::blocked_range<std::size_t>& range) {
                              Scratch& s = scratch_.local();
                              for (std::size_t it = range.begin(); it != range.end(); ++it) {
                                  const Item& item = items[it];
                                  const auto tile = rows.subspan(item.tile * kTileRows,
                                                                 std::min(kTileRows, rows.size() - item.tile * kTileRows));
                                  load_tile(s, tile);
                                  if (item.group == SIZE_MAX) {
                                      const auto query_tile = rows.subspan(
                                          item.from * kTileRows, std::min(kTileRows, rows.size() - item.from * kTileRows));
                                      for (std::size_t q = 0; q < query_tile.size(); ++q)
                                          verify(s, tile.size(), query_tile[q], item.from == item.tile ? q + 1 : 0);
                                  } else {
                                      const auto query_rows = queries.group(item.group);
                                      for (std::size_t q = item.from; q < item.to; ++q)
                                          verify(s, tile.size(), query_rows[q], 0);
                                  }
                              }
                          });
    }

    // Copies rows of A into the worker's tile, word-major.
    void load_tile(Scratch& s, std::span<const std::uint32_t> rows) const {
        const std::size_t stride = rows.size();
        for (std::size_t t = 0; t < rows.size(); ++t) {
            const std::uint8_t* code = a_.row(rows[t]);
            for (std::size_t w = 0; w < words_; ++w) s.tile[w * stride + t] = detail::load_word(code, w, a_.d_bytes);
            s.tile_rows[t] = rows[t];
        }
    }

    // Verifies row q (of B, or of A in a self-join) against tile positions
    // [begin, tile_size) and records the pairs within k that this part is
    // the first to find.
    void verify(Scratch& s, std::size_t tile_size, std::uint32_t q, std::size_t begin) const {
        if (begin >= tile_size) return;
        const std::uint8_t* code = b_.row(q);
        for (std::size_t w = 0; w < words_; ++w) s.query[w] = detail::load_word(code, w, b_.d_bytes);
        const kernels::Tile tile{s.tile.data(), tile_size, words_};
        const std::size_t hits = scan_(s.query.data(), tile, begin, tile_size, k_, s.pos.data(), s.dist.data());
        s.verified += tile_size - begin;
        for (std::size_t h = 0; h < hits; ++h) {
            const std::uint32_t t = s.tile_rows[s.pos[h]];
            const std::uint32_t i = self_ ? std::min(q, t) : t;
            const std::uint32_t j = self_ ? std::max(q, t) : q;
            if (!first_near_part(i, j)) continue;
            s.records.push_back({i, j, s.dist[h]});
            ++s.recorded;
        }
    }

    // True when the current part is the first on which rows i (of A) and j
    // (of B) are near. A hashed part's groups may hold rows whose parts merely
    // collide, so there the pair must be shown near on the part itself.
    bool first_near_part(std::uint32_t i, std::uint32_t j) const {
        if (parts_.empty()) return true;
        const std::uint8_t* x = a_.row(i);
        const std::uint8_t* y = b_.row(j);
        if (!parts_[part_].exact() && !parts_[part_].near(x, y)) return false;
        for (std::size_t p = 0; p < part_; ++p)
            if (parts_[p].near(x, y)) return false;
        return true;
    }

    std::vector<PairRecord> gather(JoinStats* stats) {
        std::size_t total = 0;
        for (const Scratch& s : scratch_) total += s.records.size();
        std::vector<PairRecord> records;
        records.reserve(total);
        for (Scratch& s : scratch_) {
            records.insert(records.end(), s.records.begin(), s.records.end());
            std::vector<PairRecord>().swap(s.records);
        }
        tbb::parallel_sort(records.begin(), records.end());
        if (stats != nullptr) stats->pairs = records.size();
        return records;
    }

    Matrix a_;
    Matrix b_;
    bool self_;
    std::uint32_t k_;
    std::size_t words_;
    kernels::ScanFn scan_;
    std::vector<PartKeys> parts_;
    std::size_t part_ = 0;
    tbb::enumerable_thread_specific<Scratch> scratch_;
};

}  // namespace

std::vector<PairRecord> join_with_plan(const JoinInput& input, const Plan& plan, JoinStats* stats) {
    if (stats != nullptr) *stats = JoinStats{plan.name, {}, 0, 0};
    if (input.n_a == 0 || (input.self() ? input.n_a < 2 : input.n_b == 0)) return {};
    std::vector<PairRecord> records;
    pool::run([&] { records = TileJoin(input, plan).run(stats); });
    return records;
}

}  // namespace brimel
