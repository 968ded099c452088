// The batched search of a segment: many query rows at once, part by part.
//
// Searched query by query, a large segment costs a cache miss per probed
// directory entry, per listed range and per listed row's code, thousands per
// query. Searched in a batch, every (query, probed value) of a part is one
// probe entry; the entries are sorted by value with the joins' radix sort, so
// that the part's directory and order are read front to back once, and the
// rows listed under a value are gathered into a tile once and verified
// against every query that probed that value. What is verified, and the
// first-part rule, are the per-query search's: the results are the same.
#include <oneapi/tbb/parallel_for.h>

#include <algorithm>

#include "../tables/key_groups.hpp"
#include "brimel/errors.hpp"
#include "brimel/pool.hpp"
#include "segment.hpp"
#include "verify.hpp"

namespace brimel::detail {
namespace {

// Probe entries sorted at once, 16 bytes each (key and sorted word): one per
// 32 bytes of the segment's image, so that a batch holds at most half as much
// memory as the segment it searches, from 2^20 (16 MiB) to 2^25 (512 MiB).
// The codes gathered are the cost, and the more probes per directory value,
// the more queries share each: at 10M stored 256-bit rows (a 945 MB image;
// 22-bit parts probed 254 times per query) 29M entries take 116k queries at
// once, about seven probes per value, and 100k queries answer about 1.15
// times as fast as with 2^24 entries, 1.2 times as with 2^23.
constexpr std::uint64_t kFewestEntries = std::uint64_t{1} << 20;
constexpr std::uint64_t kMostEntries = std::uint64_t{1} << 25;

// Sorted entries per task of the walk: enough to amortise a task, small
// enough that a chunk makes tens of tasks to balance the workers.
constexpr std::size_t kWalkEntries = std::size_t{1} << 16;

// Runs (entries of one value) whose listed codes are prefetched before the
// run being verified: each run lists a few rows, each a miss.
constexpr std::size_t kRunsAhead = 8;
constexpr std::size_t kPrefetchRows = 16;

std::uint64_t value_of(std::uint64_t word) { return word >> 32; }

}  // namespace

void Segment::query_batch(const std::uint8_t* queries, std::uint64_t m, std::uint32_t k,
                          const RemovedRows& removed, const RunControl* control,
                          std::vector<PairRecord>& out) const {
    const std::uint64_t d = head_.d_bytes;
    if (keys_.empty()) panic("Segment::query_batch: a segment with no parts");
    const auto rows = static_cast<std::uint32_t>(head_.rows);
    const std::uint8_t* stored = codes();
    const std::size_t words = std::max<std::size_t>(words_per_row(d), 1);
    const std::size_t per_tile = tile_rows(words);
    std::size_t most_probes = 1;
    for (const PartProbe& probe : probes_) most_probes = std::max(most_probes, probe.keys_per_probe());
    const std::uint64_t entries = std::clamp<std::uint64_t>(image_.size() / 32, kFewestEntries, kMostEntries);
    const std::uint64_t chunk = std::max<std::uint64_t>(entries / most_probes, 1);

    std::vector<std::uint64_t> query_words;  // the chunk's queries, words back to back
    std::vector<std::uint64_t> keys;
    SortedRows sorted;
    for (std::uint64_t first = 0; first < m; first += chunk) {
        const std::uint64_t n = std::min(chunk, m - first);
        const std::uint8_t* chunk_rows = queries + first * d;
        query_words.resize(n * words);
        for (std::uint64_t q = 0; q < n; ++q)
            for (std::size_t w = 0; w < words; ++w)
                query_words[q * words + w] = load_word(chunk_rows + q * d, w, d);

        for (std::size_t p = 0; p < keys_.size(); ++p) {
            if (control != nullptr) control->check();
            const PartProbe& probe = probes_[p];
            const std::size_t per_query = probe.keys_per_probe();
            // Entry q * per_query + f: query q probing its value (f = 0) or
            // its value ^ flips[f - 1].
            // Written in parallel blocks: millions of entries per part.
            keys.resize(n * per_query);
            oneapi::tbb::parallel_for(
                oneapi::tbb::blocked_range<std::uint64_t>(0, n, 1024), [&](const auto& range) {
                    for (std::uint64_t q = range.begin(); q != range.end(); ++q) {
                        std::uint64_t* entry = keys.data() + q * per_query;
                        probe.for_each_key(values_[p](chunk_rows + q * d),
                                           [&](std::uint64_t value) { *entry++ = value; });
                    }
                });
            sort_rows_by_key(keys, plan_.parts[p].hi - plan_.parts[p].lo, sorted);
            const std::uint32_t* dir = directories_[p];
            const std::uint32_t* order = orders_[p];
            const std::size_t entries = sorted.size;
            const std::size_t tasks = (entries + kWalkEntries - 1) / kWalkEntries;

            auto found = pool::map_indexed<std::vector<PairRecord>>(tasks, [&](std::size_t t) {
                if (control != nullptr) control->check();
                const std::uint64_t* word = sorted.words.data();
                // Runs that began in the task before belong to it.
                std::size_t at = t * kWalkEntries;
                const std::size_t end_hint = std::min(entries, at + kWalkEntries);
                while (at != 0 && at < end_hint && value_of(word[at]) == value_of(word[at - 1])) ++at;
                std::size_t end = end_hint;
                while (end < entries && end != 0 && value_of(word[end]) == value_of(word[end - 1])) ++end;

                std::vector<PairRecord> hits;
                // Candidates (query, listed row) are verified a tile at a
                // time: column c holds the XOR of the two codes, so a scan
                // against the zero code gives every candidate's distance in
                // one kernel call, however few rows each value lists.
                std::vector<std::uint64_t> tile(words * per_tile), code(words);
                const std::vector<std::uint64_t> zero(words, 0);
                std::vector<std::uint32_t> tile_query(per_tile), tile_row(per_tile), pos(per_tile),
                    dist(per_tile);
                std::vector<std::uint32_t> probers, lone, from_sub;
                std::size_t filled = 0;
                const kernels::ScanFn scan = kernels::active().scan;
                const auto flush = [&] {
                    const std::size_t near = scan(zero.data(), {tile.data(), per_tile, words}, 0, filled, k,
                                                  pos.data(), dist.data());
                    filled = 0;
                    for (std::size_t h = 0; h < near; ++h) {
                        const std::uint32_t q = tile_query[pos[h]], local = tile_row[pos[h]];
                        if (p != 0 && !first_near_part(keys_, p, chunk_rows + std::uint64_t{q} * d,
                                                       stored + std::uint64_t{local} * d))
                            continue;
                        hits.push_back({static_cast<std::uint32_t>(first + q), id(local), dist[h]});
                    }
                };
                // Queues each listed row against each of `by` (chunk indices).
                const auto verify = [&](std::span<const std::uint32_t> listed,
                                        std::span<const std::uint32_t> by) {
                    if (by.empty()) return;
                    for (const std::uint32_t local : listed) {
                        // Past the rows: only a corrupted image lists such a row.
                        if (local >= rows || is_removed(removed, local)) continue;
                        const std::uint8_t* row = stored + std::uint64_t{local} * d;
                        for (std::size_t w = 0; w < words; ++w) code[w] = load_word(row, w, d);
                        for (const std::uint32_t q : by) {
                            const std::uint64_t* query = query_words.data() + std::uint64_t{q} * words;
                            std::uint64_t* column = tile.data() + filled;
                            for (std::size_t w = 0; w < words; ++w, column += per_tile)
                                *column = query[w] ^ code[w];
                            tile_query[filled] = q;
                            tile_row[filled] = local;
                            if (++filled == per_tile) flush();
                        }
                    }
                };

                struct Run {
                    std::uint64_t value;
                    std::size_t first, last;  // its sorted entries
                    std::span<const std::uint32_t> listed;
                };
                // The next run with listed rows, its codes' prefetches issued.
                const auto next_run = [&](Run& run) {
                    while (at < end) {
                        const std::uint64_t value = value_of(word[at]);
                        std::size_t last = at + 1;
                        while (last < end && value_of(word[last]) == value) ++last;
                        const std::uint32_t stop = std::min(dir[value + 1], rows);
                        const std::uint32_t start = std::min(dir[value], stop);
                        run = {value, at, last, {order + start, std::size_t{stop - start}}};
                        at = last;
                        if (run.listed.empty()) continue;
                        for (std::size_t r = 0; r < std::min(run.listed.size(), kPrefetchRows); ++r)
                            if (run.listed[r] < rows)
                                __builtin_prefetch(stored + std::uint64_t{run.listed[r]} * d);
                        return true;
                    }
                    return false;
                };
                // Runs are verified in order, each after the kRunsAhead - 1
                // taken after it have had their prefetches issued.
                Run ring[kRunsAhead];
                std::size_t front = 0, held = 0;
                while (held < kRunsAhead && next_run(ring[held])) ++held;
                while (held != 0) {
                    const Run run = ring[front];
                    // The slot refilled (only while full) becomes the back.
                    if (held != kRunsAhead || !next_run(ring[front])) --held;
                    front = (front + 1) % kRunsAhead;

                    probers.clear();
                    for (std::size_t e = run.first; e < run.last; ++e)
                        probers.push_back(static_cast<std::uint32_t>(word[e] & 0xFFFFFFFFu) /
                                          static_cast<std::uint32_t>(per_query));
                    if (run.listed.size() <= kHeavyRows) {
                        verify(run.listed, probers);
                        continue;
                    }
                    // A heavy list: each query that probes it is counted
                    // towards its sub-index, and searches it once it exists.
                    lone.clear();
                    for (const std::uint32_t q : probers) {
                        const SubIndex* sub =
                            heavy_.find(p, run.value, run.listed, plan_.parts[p], nullptr, k_, stored, d);
                        if (sub == nullptr) {
                            lone.push_back(q);
                            continue;
                        }
                        from_sub.clear();
                        sub->candidates(chunk_rows + std::uint64_t{q} * d, stored, from_sub);
                        verify(from_sub, {&q, 1});
                    }
                    verify(run.listed, lone);
                }
                if (filled != 0) flush();
                return hits;
            });
            for (auto& block : found) out.insert(out.end(), block.begin(), block.end());
        }
    }
}

}  // namespace brimel::detail
