// The one join pipeline: a plan executed part by part, verified tile by tile
// (see brimel/pairs.hpp), every pair within k handed to a sink: per-worker
// record lists, or a union-find that groups the rows (find_groups).
#include "tile_join.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/enumerable_thread_specific.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_invoke.h>

#include <algorithm>
#include <array>
#include <bit>
#include <numeric>
#include <optional>
#include <span>
#include <utility>

#include "../kernels/clones.hpp"
#include "../kernels/scan.hpp"
#include "../keys/code_words.hpp"
#include "../keys/part_keys.hpp"
#include "../keys/part_probe.hpp"
#include "../plan/part_families.hpp"
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
// A tile of codes wider than 2 KiB holds fewer rows, at most this many bytes:
// each worker holds two tiles, which would otherwise grow with the width alone
// (2 GiB for codes of 1 MiB), and a kernel call over a few such rows is long.
constexpr std::size_t kMaxTileBytes = std::size_t{4} << 20;
// A large group's tiles are made smaller, to no fewer rows than this, until
// it has at least kItemsPerWorker work items per worker (see
// balanced_tile_rows): below 256 rows a query's kernel call per tile starts to
// weigh against its compares.
constexpr std::size_t kMinBalancedTileRows = 256;
constexpr std::size_t kItemsPerWorker = 4;
// Records per block of a worker's list: 768 KiB.
constexpr std::size_t kRecordBlock = 1 << 16;
// Records are placed by row in ranges of rows, at most 2^kRowRangeBits of
// them (see gather).
constexpr unsigned kRowRangeBits = 8;
// Widest codes, in 64-bit words, that a grouping copies: 32 bytes per row.
constexpr std::size_t kMaxCopiedWords = 4;
// Rows ahead whose codes are prefetched when groups are verified from the
// input (not from a copy of the codes).
constexpr std::size_t kRowsAhead = 16;
// Largest group of a self-join of one-word codes on exact-match parts whose
// pairs are compared directly (28 compares), not by the kernel.
constexpr std::size_t kDirectRows = 8;

// A pair of positions t < u in a group, and its distance.
struct DirectPair {
    std::uint32_t t, u, dist;
};

// The pairs of `size` one-word codes within k, except those agreeing on a
// bit mask of `earlier` (near on an earlier exact-match part), in ascending
// (t, u); `out` has room for every pair.
BRIMEL_POPCNT_CLONES std::size_t direct_pairs(const std::uint64_t* codes, std::size_t size, std::uint32_t k,
                                              std::span<const std::uint64_t> earlier, DirectPair* out) {
    std::size_t hits = 0;
    for (std::size_t t = 0; t + 1 < size; ++t)
        for (std::size_t u = t + 1; u < size; ++u) {
            const std::uint64_t differ = codes[t] ^ codes[u];
            const auto dist = static_cast<std::uint32_t>(__builtin_popcountll(differ));
            bool first = dist <= k;
            for (std::size_t q = 0; first && q < earlier.size(); ++q) first = (differ & earlier[q]) != 0;
            if (first) out[hits++] = {static_cast<std::uint32_t>(t), static_cast<std::uint32_t>(u), dist};
        }
    return hits;
}

struct Matrix {
    const std::uint8_t* data;
    std::uint64_t n;
    std::uint64_t d_bytes;

    const std::uint8_t* row(std::uint32_t r) const { return data + std::uint64_t{r} * d_bytes; }
};

// What one worker owns: its tile, its kernel outputs and its records.
struct Scratch {
    std::vector<std::uint64_t> tile;       // tile rows * words, word-major
    std::vector<std::uint64_t> near_tile;  // the same, for a group's neighbours
    std::vector<std::uint32_t> near_rows;  // row at each near_tile position
    std::vector<std::uint64_t> query;      // words of the query row
    std::vector<std::uint32_t> pos, dist;  // kernel hits
    // Records in blocks of kRecordBlock: no block is ever reallocated, so a
    // worker holds at most one block of slack however many pairs it finds.
    std::vector<std::vector<PairRecord>> records;
    std::uint64_t verified = 0;
    std::uint64_t recorded = 0;
};

// Buffers of sort_row_range, one set per worker.
struct RangeScratch {
    std::vector<PairRecord> buffer;
    std::vector<std::size_t> start;
};

// Records in a range's cache-sized pieces: at most 16k (192 KiB), so a piece
// and its buffer stay in L2 while sorted.
constexpr std::size_t kCachedRecords = std::size_t{1} << 14;
// Bits of the row that split a larger range: 16 write streams.
constexpr unsigned kSplitBits = 4;
// Records per row from which a piece is radix-sorted on (i, j) rather than
// placed by row with each row sorted by j: at 55 records a row (1M
// pHash-like rows at k = 10) the rows' comparison sorts cost more than 4
// passes over the piece.
constexpr std::size_t kRadixRecordsPerRow = 16;

// Sorts `size` records whose rows i lie in [row0, row0 + rows) by (i, j).
// A range of more than kCachedRecords is first split by its top kSplitBits
// row bits into pieces sorted in turn (placed by row straight away, 225k
// records of 4k rows, of 55M records of 1M rows, missed L2 on nearly every
// store). A piece sparser than a record per 8 rows is sorted whole; one
// with at least kRadixRecordsPerRow records a row is radix-sorted; one
// between is placed by row, then each row's records sorted by j: comparing
// them as a whole took three quarters of the join of 4,000 equal 64-bit
// codes, and sorting 1.3k records in a range of 4k rows (1M SimHash rows at
// k = 3) took longer than placing them.
void sort_row_range(PairRecord* first, std::size_t size, std::uint64_t row0, std::size_t rows,
                    RangeScratch& scratch) {
    if (size < 2) return;
    if (size * 8 < rows) {
        std::sort(first, first + size);
        return;
    }
    const auto place = [&](std::size_t parts, auto part_of) {
        std::vector<std::size_t>& start = scratch.start;
        start.assign(parts + 1, 0);
        for (std::size_t x = 0; x < size; ++x) ++start[part_of(first[x]) + 1];
        std::partial_sum(start.begin(), start.end(), start.begin());
        scratch.buffer.resize(std::max(scratch.buffer.size(), size));
        for (std::size_t x = 0; x < size; ++x) scratch.buffer[start[part_of(first[x])]++] = first[x];
        std::copy(scratch.buffer.begin(), scratch.buffer.begin() + static_cast<std::ptrdiff_t>(size), first);
        // start[p] now ends part p: shifted back to begin it.
        std::copy_backward(start.begin(), start.end() - 1, start.end());
        start[0] = 0;
    };
    const auto row_bits = static_cast<unsigned>(std::bit_width(rows - 1));
    if (size > kCachedRecords && row_bits > kSplitBits) {
        const unsigned split = row_bits - kSplitBits;
        const std::size_t parts = ((rows - 1) >> split) + 1;
        place(parts, [&](const PairRecord& r) { return (r.i - row0) >> split; });
        const std::vector<std::size_t> start = scratch.start;
        for (std::size_t p = 0; p < parts; ++p) {
            const std::uint64_t part_row0 = row0 + (std::uint64_t{p} << split);
            sort_row_range(first + start[p], start[p + 1] - start[p], part_row0,
                           std::min<std::uint64_t>(std::uint64_t{1} << split, row0 + rows - part_row0),
                           scratch);
        }
        return;
    }
    if (size < kRadixRecordsPerRow * rows) {
        place(rows, [&](const PairRecord& r) { return r.i - row0; });
        for (std::size_t row = 0; row < rows; ++row)
            std::sort(first + scratch.start[row], first + scratch.start[row + 1],
                      [](const PairRecord& x, const PairRecord& y) { return x.j < y.j; });
        return;
    }
    // LSD passes of at most 8 bits over the key (i - row0, j), in cache.
    std::uint32_t top_j = 0;
    for (std::size_t x = 0; x < size; ++x) top_j |= first[x].j;
    const auto j_bits = static_cast<unsigned>(std::bit_width(top_j));
    const unsigned key_bits = row_bits + j_bits;
    const unsigned passes = (key_bits + 7) / 8;
    const unsigned digit_bits = (key_bits + passes - 1) / passes;
    const std::uint64_t mask = (std::uint64_t{1} << digit_bits) - 1;
    const auto key = [&](const PairRecord& r) { return (std::uint64_t{r.i - row0} << j_bits) | r.j; };
    scratch.buffer.resize(std::max(scratch.buffer.size(), size));
    PairRecord* from = first;
    PairRecord* to = scratch.buffer.data();
    std::array<std::size_t, 257> count;
    for (unsigned pass = 0; pass < passes; ++pass) {
        const unsigned shift = pass * digit_bits;
        std::fill_n(count.begin(), mask + 2, 0);
        for (std::size_t x = 0; x < size; ++x) ++count[((key(from[x]) >> shift) & mask) + 1];
        for (std::size_t v = 1; v <= mask + 1; ++v) count[v] += count[v - 1];
        for (std::size_t x = 0; x < size; ++x) to[count[(key(from[x]) >> shift) & mask]++] = from[x];
        std::swap(from, to);
    }
    if (from != first) std::copy(from, from + size, first);
}

// Where verified pairs go. Records are kept once per pair, by the first part
// on which its rows are near; a union is idempotent, so uniting needs no such
// test and takes a pair from whichever part finds it.
struct RecordPairs {
    static constexpr bool kOncePerPair = true;

    void operator()(Scratch& s, std::uint32_t i, std::uint32_t j, std::uint32_t dist) const {
        if (s.records.empty() || s.records.back().size() == kRecordBlock) {
            s.records.emplace_back();
            s.records.back().reserve(kRecordBlock);
        }
        s.records.back().push_back({i, j, dist});
    }
};

struct UnitePairs {
    static constexpr bool kOncePerPair = false;
    detail::UnionFind* groups;

    void operator()(Scratch&, std::uint32_t i, std::uint32_t j, std::uint32_t) const { groups->unite(i, j); }
};

// Rows per tile for this input: kTileRows, fewer when no matrix has that
// many rows or the codes are so wide that the tile would pass kMaxTileBytes.
std::size_t tile_rows(const JoinInput& input, std::size_t words) {
    const std::uint64_t rows = std::max(input.n_a, input.self() ? 0 : input.n_b);
    return static_cast<std::size_t>(
        std::max<std::uint64_t>(1, std::min<std::uint64_t>({kTileRows, rows, kMaxTileBytes / (8 * words)})));
}

template <class Sink>
class TileJoin {
public:
    // Runs parts [first_part, end_part) of `plan` (every part when end_part is
    // past the last); the first-part rule still looks at every earlier part.
    // With `buffers`, the grouping's buffers are theirs and are kept when the
    // join ends, for the caller's next join; else the join's own, freed as
    // soon as they are done.
    TileJoin(const JoinInput& input, const Plan& plan, Sink sink, RunControl* control,
             std::size_t first_part = 0, std::size_t end_part = SIZE_MAX,
             detail::GroupBuffers* buffers = nullptr)
        : a_{input.a, input.n_a, input.d_bytes},
          b_{input.self() ? input.a : input.b, input.self() ? input.n_a : input.n_b, input.d_bytes},
          self_(input.self()),
          k_(input.k),
          words_(std::max<std::size_t>(detail::words_per_row(input.d_bytes), 1)),
          scan_(kernels::active().scan),
          sink_(sink),
          control_(control),
          source_a_{a_.data, a_.d_bytes, words_},
          source_b_{b_.data, b_.d_bytes, words_},
          plan_parts_(plan.parts),
          tile_rows_(tile_rows(input, words_)),
          scratch_([words = words_, rows = tile_rows_] {
              Scratch s;
              s.tile.resize(rows * words);
              s.near_tile.resize(rows * words);
              s.near_rows.resize(rows);
              s.query.resize(words);
              s.pos.resize(rows);
              s.dist.resize(rows);
              return s;
          }),
          buffers_(buffers != nullptr ? *buffers : own_buffers_),
          keep_buffers_(buffers != nullptr) {
        for (const Part& part : plan.parts) parts_.emplace_back(part, input.d_bytes);
        // Codes of one word, every part exact-match and in it: a part's
        // nearness is one mask of the pair's differing bits.
        const bool exact_in_one_word =
            words_ == 1 && std::all_of(parts_.begin(), parts_.end(), [](const PartKeys& keys) {
                return keys.exact() && keys.threshold() == 0;
            });
        for (std::size_t p = 0; exact_in_one_word && p < parts_.size(); ++p)
            exact_masks_.push_back(parts_[p].word_mask(0));
        direct_ = self_ && !exact_masks_.empty();
        end_part_ = std::min(end_part, parts_.size());
        first_part_ = std::min(first_part, end_part_);
    }

    void run(JoinStats* stats) {
        if (control_ != nullptr) control_->start(std::max<std::size_t>(end_part_ - first_part_, 1), a_.n);
        if (parts_.empty()) {
            // The tile scan: all of A is one group, all of B its one neighbour.
            std::optional<KeyGroups> all_b;
            if (!self_) all_b.emplace(std::vector<std::uint64_t>(b_.n, 0), 1, true, codes_of(b_, false));
            run_part(KeyGroups(std::vector<std::uint64_t>(a_.n, 0), 1, false, codes_of(a_, false)), all_b, {},
                     0, stats);
        }
        // Narrow codes (at most 2 words) keep two parts in flight: the next
        // part is grouped (keyed and sorted, 8 bytes per row in a buffer kept
        // for the whole join) while the current one is verified, so no worker
        // waits on the grouping. Wider codes group one part at a time,
        // keeping the grouping at most 36 bytes per row beyond the input.
        const bool overlap = words_ <= 2;
        std::optional<Grouping> next;
        if (first_part_ < end_part_) next.emplace(group(first_part_));
        for (part_ = first_part_; part_ < end_part_; ++part_) {
            std::optional<Grouping> current = std::move(next);
            next.reset();
            const auto verify_current = [&] {
                poll();
                run_part(current->a, current->b, current->flips, current->dropped_groups, stats);
            };
            const auto group_next = [&] {
                if (part_ + 1 < end_part_) next.emplace(group(part_ + 1));
            };
            if (overlap) {
                tbb::parallel_invoke(verify_current, group_next);
                spare_ = std::move(current);
            } else {
                verify_current();
                spare_ = std::move(current);
                group_next();
            }
        }
        // The sort buffers (8 bytes per row) and the spare grouping are not
        // held while the pair records are gathered.
        spare_.reset();
        if (!keep_buffers_) buffers_ = {};
    }

private:
    // One part's rows grouped, and the key differences it probes. An
    // exact-match part groups only the rows that can pair on it
    // (sort_shared_rows_by_key, drop_unmatched_rows): with a selective key most rows
    // are alone, and neither their codes nor their groups are laid out.
    struct Grouping {
        KeyGroups a;
        std::optional<KeyGroups> b;  // cross-joins only
        std::vector<std::uint64_t> flips;
        std::size_t dropped_groups = 0;  // groups of A left out
    };

    Grouping group(std::size_t p) {
        poll();
        const PartKeys& keys = parts_[p];
        const detail::PartProbe probe(keys);
        std::vector<std::uint64_t> flips(probe.flips().begin(), probe.flips().end());
        const unsigned key_bits = keys.key_bits();
        std::size_t dropped = 0;
        // Keys read from one word are read again by each pass of the sort;
        // others (read bit by bit, or hashed) once into buffers_.keys.
        const auto keys_of = [&](const Matrix& m) -> detail::KeyFill {
            if (keys.in_one_word())
                return [&keys, &m, exact_match = flips.empty(), this](std::size_t from, std::size_t to,
                                                                      std::uint64_t* out) {
                    poll();
                    // Keys never probed group in any bit order.
                    if (exact_match) {
                        keys.group_keys(m.data, from, to, out);
                    } else {
                        keys.keys(m.data, from, to, out);
                    }
                };
            buffers_.keys.resize(m.n);
            tbb::parallel_for(tbb::blocked_range<std::size_t>(0, m.n, 1 << 14),
                              [&](const tbb::blocked_range<std::size_t>& rows) {
                                  poll();
                                  keys.keys(m.data, rows.begin(), rows.end(),
                                            buffers_.keys.data() + rows.begin());
                              });
            return [this](std::size_t from, std::size_t to, std::uint64_t* out) {
                std::copy(buffers_.keys.begin() + static_cast<std::ptrdiff_t>(from),
                          buffers_.keys.begin() + static_cast<std::ptrdiff_t>(to), out);
            };
        };
        if (self_ && flips.empty()) {
            if (p < family_first_ || p >= family_first_ + family_parts_) group_family(p);
            if (family_parts_ != 0) {
                const detail::SortedRows& rows = buffers_.family_rows[p - family_first_];
                return {KeyGroups(rows, key_bits, false, codes_of(a_, true), spare_a()), std::nullopt,
                        std::move(flips), family_dropped_[p - family_first_]};
            }
            dropped = detail::sort_shared_rows_by_key(a_.n, keys_of(a_), key_bits, buffers_.sorted_a);
        } else {
            detail::sort_rows_by_key(a_.n, keys_of(a_), key_bits, buffers_.sorted_a);
            if (!self_) {
                detail::sort_rows_by_key(b_.n, keys_of(b_), key_bits, buffers_.sorted_b);
                if (flips.empty())
                    dropped = detail::drop_unmatched_rows(buffers_.sorted_a, buffers_.sorted_b);
            }
        }
        const bool exact = flips.empty();
        Grouping out{KeyGroups(buffers_.sorted_a, key_bits, self_ && !exact, codes_of(a_, exact), spare_a()),
                     std::nullopt, std::move(flips), dropped};
        if (!self_)
            out.b.emplace(buffers_.sorted_b, key_bits, true, codes_of(b_, exact),
                          spare_ && spare_->b ? &*spare_->b : nullptr);
        if (words_ > 2 && !keep_buffers_) {  // one part at a time (run()): the buffers are not kept past it
            std::vector<std::uint64_t>().swap(buffers_.keys);
            buffers_.sorted_a = {};
            buffers_.sorted_b = {};
        }
        return out;
    }

    // The grouping of a part already verified, if any (spare_): the next
    // grouping takes over its memory.
    KeyGroups* spare_a() { return spare_ ? &spare_->a : nullptr; }

    // Groups part p together with the parts after it that can share its pass
    // over the rows (plan/part_families.hpp). With no family at p, it stays
    // empty and p is grouped on its own.
    void group_family(std::size_t p) {
        family_first_ = p;
        family_parts_ = 0;
        const detail::PartFamily family = detail::part_family(plan_parts_, p, end_part_, a_.n, a_.d_bytes);
        if (family.end - p < 2) {  // the buffers are not held past the families
            if (!keep_buffers_) {
                buffers_.family_rows = {};
                buffers_.family = {};
            }
            return;
        }
        Part digit_part;
        digit_part.positions.assign(family.common.begin(), family.common.begin() + detail::kFamilyDigitBits);
        const PartKeys digit(digit_part, a_.d_bytes);
        const auto row_keys = [this](const PartKeys& keys) -> detail::RowKeys {
            return [&keys, this](const std::uint8_t* rows, std::size_t count, std::uint64_t* out) {
                poll();
                keys.group_keys(rows, 0, count, out);
            };
        };
        std::vector<detail::RowKeys> keys;
        std::vector<unsigned> key_bits;
        for (std::size_t q = p; q < family.end; ++q) {
            keys.push_back(row_keys(parts_[q]));
            key_bits.push_back(parts_[q].key_bits());
        }
        family_dropped_ = detail::sort_shared_rows_of_parts(a_.data, a_.n, a_.d_bytes, row_keys(digit), keys,
                                                            key_bits, buffers_.family_rows, buffers_.family);
        family_parts_ = family.end - p;
    }

    // Codes are copied along with the grouping of a part with neighbouring
    // keys when they are narrow enough (up to 256 bits: SimHash, pHash, PDQ):
    // each group is then read in place, in order, once for itself and once
    // for each group it neighbours. Wider codes are gathered per tile,
    // bounding the copy's memory. An exact-match part's groups have no
    // neighbours, so each row is read once either way, and the copy would
    // only add 8 bytes per row and word, written to fresh memory, in each
    // of the two groupings in flight (1.6 GB of 100M SimHash rows at k = 3,
    // 60 MiB of 10M): its groups are read from the input.
    const detail::CodeSource* codes_of(const Matrix& m, bool exact_part) const {
        if (words_ > kMaxCopiedWords || exact_part) return nullptr;
        return &m == &a_ ? &source_a_ : &source_b_;
    }

    void run_part(const KeyGroups& groups_a, const std::optional<KeyGroups>& groups_b,
                  const std::vector<std::uint64_t>& flips, std::size_t dropped_groups, JoinStats* stats) {
        const KeyGroups& queries = groups_b ? *groups_b : groups_a;
        advance(a_.n - groups_a.rows().size());  // the rows dropped are done
        // Groups that fit one tile are independent tasks; the partitioner
        // balances their uneven sizes by stealing. A larger group is cut into
        // tiles and its tile pairs run in parallel on their own, so one heavy
        // group (a flood, a duplicate cluster) still uses every worker.
        tbb::parallel_for(
            tbb::blocked_range<std::size_t>(0, groups_a.groups(), 64),
            [&](const tbb::blocked_range<std::size_t>& range) {
                Scratch& s = scratch_.local();
                std::uint64_t rows = 0;
                // Codes read from the input by row: a prefetch kRowsAhead
                // rows ahead keeps several misses in flight.
                const std::size_t end_row = groups_a.start(range.end() - 1) + groups_a.size(range.end() - 1);
                std::size_t ahead = groups_a.has_codes() ? end_row : groups_a.start(range.begin());
                for (std::size_t g = range.begin(); g != range.end(); ++g) {
                    for (const std::size_t until = std::min(end_row, groups_a.start(g) + kRowsAhead);
                         ahead < until; ++ahead)
                        __builtin_prefetch(a_.row(groups_a.rows()[ahead]));
                    if (groups_a.size(g) > tile_rows_) continue;
                    poll();
                    if (!found_before(groups_a, g)) small_group(s, groups_a, queries, flips, g);
                    rows += groups_a.size(g);
                }
                advance(rows);
            });
        for (std::size_t g = 0; g < groups_a.groups(); ++g) {
            if (groups_a.size(g) <= tile_rows_) continue;
            if (found_before(groups_a, g)) {
                advance(groups_a.size(g));
            } else {
                large_group(groups_a, queries, flips, g);
            }
        }
        if (control_ != nullptr) control_->part_done();

        if (stats == nullptr) return;
        PartStats part{groups_a.groups() + dropped_groups, 0, 0};
        for (Scratch& s : scratch_) {
            part.verified += std::exchange(s.verified, 0);
            part.recorded += std::exchange(s.recorded, 0);
        }
        stats->verified += part.verified;
        if (!parts_.empty()) stats->parts.push_back(part);
    }

    // True when every pair of group g was a candidate on an earlier part, so
    // that the first-part rule would drop each of them: in a self-join whose
    // pairs all lie inside groups (direct_), when all the group's rows agree
    // with its first on an earlier part's bits. Duplicate codes form such
    // groups on every part; this skips the s (s - 1) / 2 compares of a group
    // of s of them on all parts but the first, for s reads.
    bool found_before(const KeyGroups& groups, std::size_t g) const {
        if (!direct_ || !Sink::kOncePerPair || part_ == 0) return false;
        const std::uint32_t* rows = groups.rows().data() + groups.start(g);
        const std::size_t size = groups.size(g);
        const std::uint64_t head = detail::load_word(a_.row(rows[0]), 0, a_.d_bytes);
        std::uint64_t differ = 0;
        for (std::size_t t = 1; t < size; ++t)
            differ |= head ^ detail::load_word(a_.row(rows[t]), 0, a_.d_bytes);
        for (std::size_t q = 0; q < part_; ++q)
            if ((differ & exact_masks_[q]) == 0) return true;
        return false;
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

    // Rows [first, first + count) of a group of A as a tile: a view of the
    // grouping's own copy of the codes, or gathered into the worker's tile.
    struct TileRef {
        kernels::Tile tile;
        const std::uint32_t* rows;  // row of A at each tile position
        std::size_t size;
    };

    TileRef tile_of(Scratch& s, const KeyGroups& groups, std::size_t first, std::size_t count) const {
        const std::uint32_t* rows = groups.rows().data() + first;
        if (groups.has_codes()) {
            const kernels::Tile all = groups.tile();
            return {{all.data + first, all.stride, all.words}, rows, count};
        }
        for (std::size_t t = 0; t < count; ++t) {
            const std::uint8_t* code = a_.row(rows[t]);
            for (std::size_t w = 0; w < words_; ++w)
                s.tile[w * count + t] = detail::load_word(code, w, a_.d_bytes);
        }
        return {{s.tile.data(), count, words_}, rows, count};
    }

    // The words of the row at position `pos` of `groups` (rows of `m`), into
    // the worker's query buffer.
    const std::uint64_t* query_words(Scratch& s, const KeyGroups& groups, const Matrix& m,
                                     std::size_t pos) const {
        if (groups.has_codes()) {
            const kernels::Tile all = groups.tile();
            for (std::size_t w = 0; w < words_; ++w) s.query[w] = all.data[w * all.stride + pos];
        } else {
            const std::uint8_t* code = m.row(groups.rows()[pos]);
            for (std::size_t w = 0; w < words_; ++w) s.query[w] = detail::load_word(code, w, m.d_bytes);
        }
        return s.query.data();
    }

    // A group that fits one tile: its own pairs against its tile, then its
    // neighbours (groups within the threshold) gathered into one tile, which
    // each row of the group scans. Gathering the neighbours, not looping over
    // them, keeps kernel calls few and long when groups hold a handful of
    // rows and the probes find many of them.
    void small_group(Scratch& s, const KeyGroups& groups_a, const KeyGroups& queries,
                     const std::vector<std::uint64_t>& flips, std::size_t g) {
        const std::size_t first = groups_a.start(g);
        const std::size_t size = groups_a.size(g);
        if (direct_ && size <= kDirectRows) {
            direct_group(s, groups_a, first, size);
            return;
        }
        if (self_ && size >= 2) {
            const TileRef tile = tile_of(s, groups_a, first, size);
            for (std::size_t t = 0; t + 1 < size; ++t)
                verify(s, tile, true, groups_a.rows()[first + t], query_words(s, groups_a, a_, first + t),
                       t + 1);
        }
        std::size_t gathered = 0;
        const auto scan_gathered = [&] {
            const TileRef near{{s.near_tile.data(), tile_rows_, words_}, s.near_rows.data(), gathered};
            for (std::size_t t = 0; t < size; ++t)
                verify(s, near, self_, groups_a.rows()[first + t], query_words(s, groups_a, a_, first + t),
                       0);
            gathered = 0;
        };
        for_each_neighbour(groups_a, queries, flips, g, [&](std::size_t h) {
            for (std::size_t from = queries.start(h), end = from + queries.size(h); from < end;) {
                const std::size_t take = std::min(end - from, tile_rows_ - gathered);
                gather(s, queries, from, take, gathered);
                gathered += take;
                from += take;
                if (gathered == tile_rows_) scan_gathered();
            }
        });
        if (gathered > 0) scan_gathered();
    }

    // A group of a few rows of a direct_ join, which has no neighbours: its
    // pairs compared one by one from the input, as a kernel call per row
    // would cost more than the few compares it makes (most such groups hold
    // two rows).
    void direct_group(Scratch& s, const KeyGroups& groups, std::size_t first, std::size_t size) const {
        const std::uint32_t* rows = groups.rows().data() + first;
        std::array<std::uint64_t, kDirectRows> codes;
        for (std::size_t t = 0; t < size; ++t) codes[t] = detail::load_word(a_.row(rows[t]), 0, a_.d_bytes);
        std::array<DirectPair, kDirectRows*(kDirectRows - 1) / 2> near;
        const std::span<const std::uint64_t> earlier(exact_masks_.data(), Sink::kOncePerPair ? part_ : 0);
        const std::size_t hits = direct_pairs(codes.data(), size, k_, earlier, near.data());
        for (std::size_t h = 0; h < hits; ++h) {
            const std::uint32_t i = rows[near[h].t], j = rows[near[h].u];
            sink_(s, std::min(i, j), std::max(i, j), near[h].dist);
        }
        s.recorded += hits;
        s.verified += size * (size - 1) / 2;
    }

    // Copies `count` rows of `groups` (of B, or of A in a self-join) from
    // position `from` into the worker's near tile at `at`.
    void gather(Scratch& s, const KeyGroups& groups, std::size_t from, std::size_t count,
                std::size_t at) const {
        // Plain loops: the runs are a few rows long, too short for memcpy's call.
        const std::uint32_t* rows = groups.rows().data() + from;
        for (std::size_t t = 0; t < count; ++t) s.near_rows[at + t] = rows[t];
        if (groups.has_codes()) {
            const kernels::Tile all = groups.tile();
            for (std::size_t w = 0; w < words_; ++w) {
                const std::uint64_t* source = all.data + w * all.stride + from;
                std::uint64_t* target = s.near_tile.data() + w * tile_rows_ + at;
                for (std::size_t t = 0; t < count; ++t) target[t] = source[t];
            }
            return;
        }
        for (std::size_t t = 0; t < count; ++t) {
            const std::uint8_t* code = b_.row(groups.rows()[from + t]);
            for (std::size_t w = 0; w < words_; ++w)
                s.near_tile[w * tile_rows_ + at + t] = detail::load_word(code, w, b_.d_bytes);
        }
    }

    // Rows per tile of large group g: tile_rows_, or fewer (down to
    // kMinBalancedTileRows) while the group's work items would number under
    // kItemsPerWorker per worker. Items are claimed whole, so with few of them
    // one worker ends late: a 3,000-row group made 3 items (triangles of
    // 2,048 and 952 rows and the 2,048 x 952 block between), and on 2 workers
    // one of them took 7% more than half the compares.
    std::size_t balanced_tile_rows(const KeyGroups& groups_a, const KeyGroups& queries,
                                   const std::vector<std::uint64_t>& flips, std::size_t g) const {
        const std::size_t wanted = kItemsPerWorker * pool::worker_count();
        const auto items = [&](std::size_t rows) {
            const std::size_t tiles = (groups_a.size(g) + rows - 1) / rows;
            std::size_t count = self_ ? tiles * (tiles + 1) / 2 : 0;
            for_each_neighbour(groups_a, queries, flips, g, [&](std::size_t h) {
                count += tiles * ((queries.size(h) + rows - 1) / rows);
            });
            return count;
        };
        std::size_t rows = tile_rows_;
        while (rows / 2 >= kMinBalancedTileRows && items(rows) < wanted) rows /= 2;
        return rows;
    }

    void large_group(const KeyGroups& groups_a, const KeyGroups& queries,
                     const std::vector<std::uint64_t>& flips, std::size_t g) {
        const std::size_t first = groups_a.start(g);
        const std::size_t size = groups_a.size(g);
        const std::size_t tile_rows = balanced_tile_rows(groups_a, queries, flips, g);
        const std::size_t tiles = (size + tile_rows - 1) / tile_rows;
        // Work items: (tile, query tile of the same group) for the triangle,
        // (tile, neighbour group, its query positions [from, to)) for probes.
        // A tile's rows count as done in shares, one per item of the tile.
        struct Item {
            std::size_t tile;
            std::size_t group;  // SIZE_MAX: the queries are this group's tile `from`
            std::size_t from;
            std::size_t to;
            std::size_t rows = 0;  // progress share
        };
        const auto tile_size = [&](std::size_t t) { return std::min(tile_rows, size - t * tile_rows); };
        std::vector<Item> items;
        for (std::size_t t = 0; t < tiles; ++t) {
            const std::size_t first_item = items.size();
            if (self_)
                for (std::size_t q = 0; q <= t; ++q) items.push_back({t, SIZE_MAX, q, q});
            for_each_neighbour(groups_a, queries, flips, g, [&](std::size_t h) {
                const std::size_t end = queries.start(h) + queries.size(h);
                for (std::size_t from = queries.start(h); from < end; from += tile_rows)
                    items.push_back({t, h, from, std::min(end, from + tile_rows)});
            });
            const std::size_t count = items.size() - first_item;
            if (count == 0) advance(tile_size(t));
            for (std::size_t r = 0; r < count; ++r)
                items[first_item + r].rows = tile_size(t) * (r + 1) / count - tile_size(t) * r / count;
        }
        tbb::parallel_for(
            tbb::blocked_range<std::size_t>(0, items.size(), 1),
            [&](const tbb::blocked_range<std::size_t>& range) {
                Scratch& s = scratch_.local();
                for (std::size_t it = range.begin(); it != range.end(); ++it) {
                    poll();
                    const Item& item = items[it];
                    advance(item.rows);
                    const TileRef tile =
                        tile_of(s, groups_a, first + item.tile * tile_rows, tile_size(item.tile));
                    if (item.group != SIZE_MAX) {
                        for (std::size_t q = item.from; q < item.to; ++q)
                            verify(s, tile, true, queries.rows()[q], query_words(s, queries, b_, q), 0);
                        continue;
                    }
                    const std::size_t query_first = first + item.from * tile_rows;
                    for (std::size_t q = 0; q < tile_size(item.from); ++q)
                        verify(s, tile, true, groups_a.rows()[query_first + q],
                               query_words(s, groups_a, a_, query_first + q),
                               item.from == item.tile ? q + 1 : 0);
                }
            });
    }

    // Verifies row q (words at `query`) against tile positions
    // [begin, tile.size) and records the pairs within k that this part is
    // the first to find. The tile holds rows of A (`tile_is_a`) and q is a
    // row of B, or the other way round; in a self-join both are rows of A.
    void verify(Scratch& s, const TileRef& tile, bool tile_is_a, std::uint32_t q, const std::uint64_t* query,
                std::size_t begin) const {
        if (begin >= tile.size) return;
        const std::size_t hits = scan_(query, tile.tile, begin, tile.size, k_, s.pos.data(), s.dist.data());
        s.verified += tile.size - begin;
        for (std::size_t h = 0; h < hits; ++h) {
            const std::uint32_t t = tile.rows[s.pos[h]];
            std::uint32_t i = tile_is_a ? t : q;
            std::uint32_t j = tile_is_a ? q : t;
            if (self_ && i > j) std::swap(i, j);
            if (Sink::kOncePerPair && !first_near_part(query, tile.tile, s.pos[h])) continue;
            sink_(s, i, j, s.dist[h]);
            ++s.recorded;
        }
    }

    // True when the current part is the first on which the query row (its
    // words) and the tile's row at `pos` are near, told from the words in
    // hand. A hashed part's groups may hold rows whose parts merely collide,
    // so there the pair must be shown near on the part itself.
    bool first_near_part(const std::uint64_t* query, const kernels::Tile& tile, std::size_t pos) const {
        if (parts_.empty()) return true;
        if (!exact_masks_.empty()) {
            const std::uint64_t differ = query[0] ^ tile.data[pos];
            for (std::size_t q = 0; q < part_; ++q)
                if ((differ & exact_masks_[q]) == 0) return false;
            return true;
        }
        return detail::first_near_part(parts_, part_, query, tile.data + pos, tile.stride);
    }

public:
    // The records of a RecordPairs run, ascending. Each block is freed as soon
    // as it is copied: the peak is the records once plus a block per worker
    // (and a few offsets per row of A). The records are placed by i in two
    // steps: the blocks, in parallel, are scattered to up to 256 ranges of
    // rows (256 write streams: a store straight to each record's row missed
    // the cache nearly every time, 1.2 s of 55M records on one core), then
    // each range is sorted on its own (sort_row_range), in parallel.
    std::vector<PairRecord> gather(JoinStats* stats) {
        std::vector<std::vector<PairRecord>*> blocks;
        for (Scratch& s : scratch_)
            for (auto& block : s.records) blocks.push_back(&block);
        std::size_t total = 0;
        for (const auto* block : blocks) total += block->size();
        if (stats != nullptr) stats->pairs = total;
        if (total == 0) return {};
        // Range of row i: i >> shift, at most kRowRanges of them.
        const auto row_bits = static_cast<unsigned>(std::bit_width(a_.n - 1));
        const unsigned shift = row_bits > kRowRangeBits ? row_bits - kRowRangeBits : 0;
        const std::size_t ranges = ((a_.n - 1) >> shift) + 1;
        // next[b * ranges + r]: block b's count of records in range r, then
        // where it writes its next one (detail::counts_to_offsets).
        std::vector<std::size_t> next(blocks.size() * ranges, 0);
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, blocks.size(), 1),
                          [&](const tbb::blocked_range<std::size_t>& r) {
                              for (std::size_t b = r.begin(); b != r.end(); ++b)
                                  for (const PairRecord& record : *blocks[b])
                                      ++next[b * ranges + (record.i >> shift)];
                          });
        std::vector<std::size_t> range_start;
        detail::counts_to_offsets(next, blocks.size(), ranges, range_start);
        std::vector<PairRecord> records(total);
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, blocks.size(), 1),
                          [&](const tbb::blocked_range<std::size_t>& r) {
                              for (std::size_t b = r.begin(); b != r.end(); ++b) {
                                  std::size_t* at = next.data() + b * ranges;
                                  for (const PairRecord& record : *blocks[b])
                                      records[at[record.i >> shift]++] = record;
                                  std::vector<PairRecord>().swap(*blocks[b]);
                              }
                          });
        for (Scratch& s : scratch_) s.records.clear();
        tbb::enumerable_thread_specific<RangeScratch> spare;
        tbb::parallel_for(
            tbb::blocked_range<std::size_t>(0, ranges, 1), [&](const tbb::blocked_range<std::size_t>& r) {
                RangeScratch& scratch = spare.local();
                for (std::size_t range = r.begin(); range != r.end(); ++range) {
                    const std::uint64_t row0 = std::uint64_t{range} << shift;
                    sort_row_range(records.data() + range_start[range],
                                   range_start[range + 1] - range_start[range], row0,
                                   std::min<std::uint64_t>(std::uint64_t{1} << shift, a_.n - row0), scratch);
                }
            });
        return records;
    }

private:
    // Throws Cancelled once the run is cancelled: polled per group, per tile
    // item and per block of keys, so a few milliseconds of work at most pass
    // between polls.
    void poll() const {
        if (control_ != nullptr) control_->check();
    }

    void advance(std::uint64_t rows) const {
        if (control_ != nullptr && rows != 0) control_->add_rows(rows);
    }

    Matrix a_;
    Matrix b_;
    bool self_;
    std::uint32_t k_;
    std::size_t words_;
    kernels::ScanFn scan_;
    Sink sink_;
    RunControl* control_;
    std::vector<PartKeys> parts_;
    // With codes of one word and only exact-match parts: each part's bits.
    std::vector<std::uint64_t> exact_masks_;
    // A self-join with exact_masks_: its parts have no neighbouring keys, so
    // every pair lies inside one group.
    bool direct_ = false;
    detail::CodeSource source_a_;
    detail::CodeSource source_b_;
    // The plan's parts, which part_family reads; the plan outlives the join.
    std::span<const Part> plan_parts_;
    std::size_t part_ = 0;
    std::size_t first_part_ = 0;
    std::size_t end_part_ = 0;
    std::size_t tile_rows_;
    tbb::enumerable_thread_specific<Scratch> scratch_;
    // The last part's grouping once it is verified, until the next grouping
    // takes over its memory (see KeyGroups): with two parts in flight it is
    // taken while the part after it is verified.
    std::optional<Grouping> spare_;
    // The grouping's buffers: own_buffers_, or the caller's.
    detail::GroupBuffers own_buffers_;
    detail::GroupBuffers& buffers_;
    bool keep_buffers_;
    // The parts grouped together by group_family: parts [family_first_,
    // family_first_ + family_parts_), their rows in buffers_.family_rows.
    std::size_t family_first_ = 0;
    std::size_t family_parts_ = 0;
    std::vector<std::size_t> family_dropped_;
};

}  // namespace

std::vector<PairRecord> join_with_plan(const JoinInput& input, const Plan& plan, JoinStats* stats,
                                       RunControl* control) {
    if (stats != nullptr) *stats = JoinStats{plan.name, {}, 0, 0};
    if (input.n_a == 0 || (input.self() ? input.n_a < 2 : input.n_b == 0)) return {};
    std::vector<PairRecord> records;
    pool::run([&] {
        TileJoin join(input, plan, RecordPairs{}, control);
        join.run(stats);
        records = join.gather(stats);
    });
    return records;
}

namespace detail {

std::vector<PairRecord> join_parts_with_plan(const JoinInput& input, const Plan& plan, std::size_t first,
                                             std::size_t end, RunControl* control, GroupBuffers* buffers) {
    if (input.n_a == 0 || (input.self() ? input.n_a < 2 : input.n_b == 0)) return {};
    std::vector<PairRecord> records;
    pool::run([&] {
        TileJoin join(input, plan, RecordPairs{}, control, first, end, buffers);
        join.run(nullptr);
        records = join.gather(nullptr);
    });
    return records;
}

void unite_with_plan(const JoinInput& input, const Plan& plan, UnionFind& groups, RunControl* control) {
    if (input.n_a == 0 || (input.self() ? input.n_a < 2 : input.n_b == 0)) return;
    pool::run([&] { TileJoin(input, plan, UnitePairs{&groups}, control).run(nullptr); });
}

}  // namespace detail

}  // namespace brimel
