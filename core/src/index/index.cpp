// The streaming index: construction, insertion and single-code queries.
#include "brimel/index.hpp"

#include <algorithm>
#include <array>
#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>
#include <memory>
#include <mutex>
#include <numeric>
#include <span>
#include <string>
#include <type_traits>
#include <variant>

#include "../kernels/scan.hpp"
#include "../keys/code_words.hpp"
#include "../keys/part_keys.hpp"
#include "brimel/errors.hpp"
#include "brimel/plan.hpp"
#include "brimel/pool.hpp"
#include "id_list.hpp"
#include "index_file.hpp"
#include "key_hasher.hpp"
#include "sub_index.hpp"

namespace brimel {
namespace {

using detail::KeyHasher;

// Part keys are at most 64 bits (the value of a part of at most 32 bits, or
// a hash of a wider one): 16-byte slots.
using PartTable = boost::unordered_flat_map<std::uint64_t, detail::IdList, KeyHasher>;
using PartTables = std::vector<PartTable>;

// The widest chunk of plan_bit_chunks(d_bytes, k), from the bit count alone
// (k < total_bits).
std::uint64_t widest_chunk(std::uint64_t total_bits, std::uint32_t k) {
    if (k == 0) return std::min(total_bits, kMaxChunkBits);
    return total_bits / (std::uint64_t{k} + 1) + (total_bits % (std::uint64_t{k} + 1) != 0);
}

[[noreturn, gnu::cold, gnu::noinline]] void throw_full(std::uint64_t n, std::uint64_t adding,
                                                       std::uint64_t max_rows) {
    throw IndexFull("Index full: adding " + std::to_string(adding) + " rows to " + std::to_string(n) +
                    " stored would exceed the limit of " + std::to_string(max_rows) +
                    " rows (ids are unsigned 32-bit)");
}

}  // namespace

namespace {
void index_rows(PartTables& tables, const std::vector<detail::PartKeys>& keys, const std::uint8_t* rows,
                std::uint64_t m, std::uint64_t d_bytes, std::uint32_t first);
}  // namespace

struct Index::State {
    std::vector<std::uint8_t> codes;  // n * d_bytes bytes, row r at r * d_bytes
    // The plan, its key readers and tables, made when the first row arrives:
    // an empty index costs the same for every k (the tables of a large k
    // would take gigabytes before anything is stored).
    Plan plan;
    std::vector<detail::PartKeys> keys;
    std::vector<std::vector<std::uint64_t>> flips;  // per part: key differences within its threshold
    PartTables tables;
    double planned_rows = 0;  // the size the plan was chosen for
    std::uint64_t d_bytes = 0;
    std::uint32_t k = 0;
    std::uint32_t n = 0;
    std::uint32_t max_rows = 0;
    bool made = false;

    // The plan, readers and (empty) tables for about `rows` stored rows.
    struct Keying {
        Plan plan;
        std::vector<detail::PartKeys> keys;
        std::vector<std::vector<std::uint64_t>> flips;
        PartTables tables;
    };

    Keying keying_for(double rows) const {
        Keying made{index_plan(d_bytes, k, rows), {}, {}, {}};
        for (const Part& part : made.plan.parts) {
            made.keys.emplace_back(part, d_bytes);
            made.flips.push_back(made.keys.back().exact()
                                     ? detail::flip_masks(made.keys.back().key_bits(), part.threshold)
                                     : std::vector<std::uint64_t>{});
        }
        made.tables.resize(made.plan.parts.size());
        return made;
    }

    void adopt(Keying&& made) noexcept {
        heavy.clear();
        plan = std::move(made.plan);
        keys = std::move(made.keys);
        flips = std::move(made.flips);
        tables = std::move(made.tables);
    }

    // Before `adding` rows are appended: makes the plan and its tables with
    // the first rows, and once the index has grown four times past the size
    // its plan was chosen for, chooses again; a different plan gets its
    // tables built from the stored rows, aside, and replaces the old one only
    // when complete. The re-keying is optional: when memory runs out for it
    // the index keeps its plan, and the rows are added all the same. Growth
    // by fours makes the re-keying cost O(1) per row over the index's life.
    void plan_for(std::uint64_t adding) {
        constexpr double kFirstPlanRows = 1 << 16;
        const double rows = static_cast<double>(n) + static_cast<double>(adding);
        // A plan serves from the size it is made at to four times that: it is
        // chosen for the middle of that range, twice the size.
        if (!made) {
            adopt(keying_for(2 * std::max(rows, kFirstPlanRows)));
            planned_rows = std::max(rows, kFirstPlanRows);
            made = true;
            return;
        }
        if (rows <= 4 * planned_rows) return;
        planned_rows = rows;
        try {
            Keying next = keying_for(2 * rows);
            if (next.plan.same_parts(plan)) return;
            index_rows(next.tables, next.keys, codes.data(), n, d_bytes, 0);
            adopt(std::move(next));
        } catch (const std::bad_alloc&) {
            // Keep the plan the tables already have.
        }
    }

    // Makes room for `bytes` more code bytes: at least doubling, so that any
    // mix of add and add_batch appends in amortised constant time per byte.
    void reserve_codes(std::uint64_t bytes) {
        const std::size_t needed = codes.size() + bytes;
        if (needed > codes.capacity()) codes.reserve(std::max(needed, 2 * codes.capacity()));
    }

    void append_codes(ByteSpan rows);
    std::vector<std::uint32_t> candidates(const std::uint8_t* row) const;

    // Heavy lists' probe counts and sub-indexes, per part and key: a list
    // longer than detail::kHeavyList gets its sub-index at its
    // kProbesBeforeSubIndex-th probe, and again once it has grown by that
    // much since. A cache: queries (shared access) fill it under
    // heavy_mutex; re-keying empties it.
    using HeavyTable = boost::unordered_flat_map<std::uint64_t, detail::HeavyList>;
    mutable std::mutex heavy_mutex;
    mutable std::vector<HeavyTable> heavy;

    // Appends (id, part) to `found` for the ids of `ids`, the list under `key`
    // on part p, that may lie within k of `row`: the sub-index's candidates
    // and the ids listed since it was made.
    void heavy_candidates(std::size_t p, std::uint64_t key, std::span<const std::uint32_t> ids,
                          const std::uint8_t* row,
                          std::vector<std::pair<std::uint32_t, std::uint32_t>>& found) const;
};

namespace {

// Appends `id` under `key`. On std::bad_alloc the table is unchanged: a new key
// gets an inline id, which never allocates, so only an existing list can fail
// to grow, and it then stays as it was.
void append_id(PartTable& table, std::uint64_t key, std::uint32_t id) {
    table.try_emplace(key).first->second.push_back(id);
}

// Undoes append_id(table, key, id) for the last id appended under `key`.
void remove_last_id(PartTable& table, std::uint64_t key) noexcept {
    const auto slot = table.find(key);
    slot->second.pop_back();
    if (slot->second.size() == 0) table.erase(slot);
}

// Appends ids to part tables in groups of kGroup: the lists a group will
// grow are looked up and prefetched first (headers, then ends), so that their
// cache misses overlap instead of coming one after the other; then the ids are
// appended in the order they were pushed. The order of appends is exactly the
// order of push calls, so `appended()` says how far a failed run got.
class GroupedAppends {
public:
    explicit GroupedAppends(PartTables& tables) : tables_(tables) {}

    void push(std::size_t t, std::uint64_t key, std::uint32_t id) {
        PartTable& table = tables_[t];
        const auto slot = table.find(key);
        detail::IdList* list = slot == table.end() ? nullptr : &slot->second;
        if (list != nullptr) list->prefetch_header();
        pending_[count_++] = {t, key, id, list};
        if (count_ == kGroup) flush();
    }

    // Appends the pending ids, in order. A list found at push time grows in
    // place until the group inserts its first new key: that may rehash the
    // table and move every list, so from then on each id takes a fresh lookup.
    void flush() {
        for (std::size_t i = 0; i < count_; ++i)
            if (pending_[i].list != nullptr) pending_[i].list->prefetch_end();
        bool lists_in_place = true;
        for (std::size_t i = 0; i < count_; ++i) {
            Pending& p = pending_[i];
            if (lists_in_place && p.list != nullptr) {
                p.list->push_back(p.id);
            } else {
                PartTable& table = tables_[p.t];
                const std::size_t keys = table.size();
                append_id(table, p.key, p.id);
                lists_in_place = lists_in_place && table.size() == keys;
            }
            ++appended_;
        }
        count_ = 0;
    }

    std::uint64_t appended() const noexcept { return appended_; }

private:
    static constexpr std::size_t kGroup = 16;
    struct Pending {
        std::size_t t;
        std::uint64_t key;
        std::uint32_t id;
        detail::IdList* list;
    };
    PartTables& tables_;
    std::array<Pending, kGroup> pending_{};
    std::size_t count_ = 0;
    std::uint64_t appended_ = 0;
};

// Lists rows first, first + 1, ... of `rows` (m rows back to back) in every
// table, table by table: ids go into each list in increasing order either way,
// and one table's lists stay in cache for the whole batch. All or nothing: on
// an exception every id appended so far is taken out again, newest first.
void index_rows(PartTables& tables, const std::vector<detail::PartKeys>& keys, const std::uint8_t* rows,
                std::uint64_t m, std::uint64_t d_bytes, std::uint32_t first) {
    GroupedAppends appends(tables);
    try {
        for (std::size_t t = 0; t < tables.size(); ++t)
            for (std::uint64_t r = 0; r < m; ++r)
                appends.push(t, keys[t].key(rows + r * d_bytes), first + static_cast<std::uint32_t>(r));
        appends.flush();
    } catch (...) {
        // Append number i was row i % m in table i / m. The lists then give
        // back the room they grew, so a failed batch holds no memory on.
        for (std::uint64_t i = appends.appended(); i-- > 0;)
            remove_last_id(tables[i / m], keys[i / m].key(rows + (i % m) * d_bytes));
        for (std::uint64_t i = 0; i < appends.appended(); ++i) {
            PartTable& table = tables[i / m];
            const auto slot = table.find(keys[i / m].key(rows + (i % m) * d_bytes));
            if (slot != table.end()) slot->second.shrink_to_fit();
        }
        throw;
    }
}

// Rows verified per kernel call: their codes are gathered into one tile.
constexpr std::size_t kTileRows = 256;

// Gathers the listed rows into word-major tiles and scans each against the
// query with the active scan kernel; returns the hits, sorted by id.
std::vector<QueryHit> verify_candidates(const std::vector<std::uint32_t>& ids, const std::uint8_t* codes,
                                        std::uint64_t d_bytes, std::uint32_t k, const std::uint8_t* row) {
    const std::size_t words = std::max<std::size_t>(detail::words_per_row(d_bytes), 1);
    // Per-thread buffers: queries from several threads may read one index.
    thread_local std::vector<std::uint64_t> query;
    thread_local std::vector<std::uint64_t> tile;
    query.resize(words);
    tile.resize(words * kTileRows);
    for (std::size_t w = 0; w < words; ++w) query[w] = detail::load_word(row, w, d_bytes);
    std::array<std::uint32_t, kTileRows> pos;
    std::array<std::uint32_t, kTileRows> dist;
    const kernels::ScanFn scan = kernels::active().scan;
    std::vector<QueryHit> hits;
    for (std::size_t first = 0; first < ids.size(); first += kTileRows) {
        const std::size_t count = std::min(kTileRows, ids.size() - first);
        for (std::size_t t = 0; t < count; ++t) {
            const std::uint8_t* code = codes + std::uint64_t{ids[first + t]} * d_bytes;
            for (std::size_t w = 0; w < words; ++w)
                tile[w * kTileRows + t] = detail::load_word(code, w, d_bytes);
        }
        const std::size_t found =
            scan(query.data(), {tile.data(), kTileRows, words}, 0, count, k, pos.data(), dist.data());
        for (std::size_t h = 0; h < found; ++h) hits.push_back({ids[first + pos[h]], dist[h]});
    }
    std::sort(hits.begin(), hits.end(), [](const QueryHit& a, const QueryHit& b) { return a.id < b.id; });
    return hits;
}

}  // namespace

// Every stored row listed under the query's key on some part, or under a key
// within that part's threshold, once: on the first part where it is near the
// query (a hashed part's list may also hold rows whose parts merely collide:
// they count only where they are near).
std::vector<std::uint32_t> Index::State::candidates(const std::uint8_t* row) const {
    // First every listed id with its part, then the checks: the stored codes
    // they read are prefetched a few ids ahead, since ids come in no useful
    // order and each is a cache miss in a large index.
    thread_local std::vector<std::pair<std::uint32_t, std::uint32_t>> found;  // (id, part)
    found.clear();
    std::uint32_t scratch = 0;
    for (std::size_t p = 0; p < tables.size(); ++p) {
        const PartTable& table = tables[p];
        if (table.empty()) continue;
        const std::uint64_t key = keys[p].key(row);
        const auto take = [&](std::uint64_t probe) {
            const auto slot = table.find(probe);
            if (slot == table.end()) return;
            const auto ids = slot->second.ids(scratch);
            if (ids.size() > detail::kHeavyList) {
                heavy_candidates(p, probe, ids, row, found);
                return;
            }
            for (const std::uint32_t id : ids) found.emplace_back(id, static_cast<std::uint32_t>(p));
        };
        take(key);
        for (const std::uint64_t flip : flips[p]) take(key ^ flip);
    }
    constexpr std::size_t kAhead = 8;
    std::vector<std::uint32_t> listed;
    listed.reserve(found.size());
    for (std::size_t f = 0; f < found.size(); ++f) {
        if (f + kAhead < found.size())
            __builtin_prefetch(codes.data() + std::uint64_t{found[f + kAhead].first} * d_bytes);
        const auto [id, p] = found[f];
        const std::uint8_t* stored = codes.data() + std::uint64_t{id} * d_bytes;
        if (!keys[p].exact() && !keys[p].near(row, stored)) continue;
        bool earlier = false;
        for (std::size_t q = 0; q < p && !earlier; ++q) earlier = keys[q].near(row, stored);
        if (!earlier) listed.push_back(id);
    }
    return listed;
}

void Index::State::heavy_candidates(std::size_t p, std::uint64_t key, std::span<const std::uint32_t> ids,
                                    const std::uint8_t* row,
                                    std::vector<std::pair<std::uint32_t, std::uint32_t>>& found) const {
    std::shared_ptr<const detail::SubIndex> sub;
    bool make = false;
    {
        const std::lock_guard lock(heavy_mutex);
        if (heavy.size() != tables.size()) heavy.resize(tables.size());
        detail::HeavyList& list = heavy[p][key];
        sub = list.sub;
        // Ids listed since the sub-index was made are verified directly until
        // there are many of them again; then the sub-index is made anew.
        if (ids.size() - (sub ? sub->size() : 0) > detail::kHeavyList &&
            ++list.probes == detail::kProbesBeforeSubIndex) {
            list.probes = 0;
            make = true;
        }
    }
    if (make) {
        std::vector<std::uint64_t> all_bits(8 * d_bytes);
        std::iota(all_bits.begin(), all_bits.end(), std::uint64_t{0});
        sub = std::make_shared<const detail::SubIndex>(ids, detail::bits_outside(all_bits, plan.parts[p]), k,
                                                       codes.data(), d_bytes);
        const std::lock_guard lock(heavy_mutex);
        heavy[p][key].sub = sub;
    }
    std::size_t covered = 0;
    if (sub) {
        thread_local std::vector<std::uint32_t> listed;
        listed.clear();
        sub->candidates(row, codes.data(), listed);
        for (const std::uint32_t id : listed) found.emplace_back(id, static_cast<std::uint32_t>(p));
        covered = sub->size();
    }
    for (const std::uint32_t id : ids.subspan(covered)) found.emplace_back(id, static_cast<std::uint32_t>(p));
}

// Stores the rows of `rows` (back to back) after the n stored ones and lists
// them in every table. The rows are copied first and keyed from the copy, so
// the stored codes and the tables agree even if the caller's buffer changes
// meanwhile (another thread may write into it while add_batch runs without
// the interpreter lock). All or nothing: on an exception the codes and tables
// are as before.
void Index::State::append_codes(ByteSpan rows) {
    reserve_codes(rows.size());
    plan_for(rows.size() / d_bytes);
    const std::size_t before = codes.size();
    codes.insert(codes.end(), rows.begin(), rows.end());  // room reserved: cannot fail
    const std::uint64_t m = rows.size() / d_bytes;
    try {
        index_rows(tables, keys, codes.data() + before, m, d_bytes, n);
    } catch (...) {
        codes.resize(before);
        throw;
    }
}

Index::Index(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
Index::Index(Index&&) noexcept = default;
Index& Index::operator=(Index&&) noexcept = default;
Index::~Index() = default;

Index Index::create(std::uint64_t d_bytes, std::uint32_t k, std::uint32_t max_rows) {
    const std::uint64_t total_bits = 8 * d_bytes;
    if (total_bits <= k)
        panic("Index: k (" + std::to_string(k) + ") must be < 8*d_bytes (" + std::to_string(total_bits) +
              ")");
    const std::uint64_t widest = widest_chunk(total_bits, k);
    if (widest > kMaxChunkBits) panic("Index: bit chunk wider than 128 bits");
    auto state = std::make_unique<State>();
    state->d_bytes = d_bytes;
    state->k = k;
    state->max_rows = max_rows;
    return Index(std::move(state));
}

std::uint32_t Index::add(ByteSpan row) {
    State& s = *state_;
    assert_equal(row.size(), s.d_bytes, "Index::add row length mismatch");
    if (s.n >= s.max_rows) throw_full(s.n, 1, s.max_rows);
    const std::uint32_t id = s.n;
    s.append_codes(row);
    s.n = id + 1;
    return id;
}

std::uint32_t Index::add_batch(ByteSpan rows) {
    State& s = *state_;
    const std::uint64_t length = rows.size();
    if (length % s.d_bytes != 0)
        panic_not_equal("Index::add_batch length not multiple of d_bytes", length % s.d_bytes, 0);
    const std::uint64_t m = length / s.d_bytes;
    const std::uint32_t first = s.n;
    if (m > std::uint64_t{s.max_rows} - first) throw_full(first, m, s.max_rows);
    if (m == 0) return first;
    s.append_codes(rows);
    s.n = first + static_cast<std::uint32_t>(m);
    return first;
}

std::vector<QueryHit> Index::query(ByteSpan row) const {
    const State& s = *state_;
    assert_equal(row.size(), s.d_bytes, "Index::query row length mismatch");
    if (s.n == 0) return {};
    return verify_candidates(s.candidates(row.data()), s.codes.data(), s.d_bytes, s.k, row.data());
}

std::vector<PairRecord> Index::query_batch(ByteSpan rows, std::uint32_t k) const {
    const State& s = *state_;
    if (rows.size() % s.d_bytes != 0)
        panic_not_equal("Index::query_batch length not multiple of d_bytes", rows.size() % s.d_bytes, 0);
    if (k > s.k) panic("Index::query_batch: k above the index's k");
    const std::uint64_t m = rows.size() / s.d_bytes;
    if (s.n == 0 || m == 0) return {};
    // Blocks of kBlockRows query rows are the pool's units: enough of them to
    // balance the workers, each long enough to amortise a task. A block's hits
    // come out sorted by (row, id) and the blocks are joined in order. The
    // plan keys on the index's k, so by the box principle it lists every row
    // within any smaller k as well; verification uses the k asked for.
    constexpr std::uint64_t kBlockRows = 64;
    const std::size_t blocks = static_cast<std::size_t>((m + kBlockRows - 1) / kBlockRows);
    std::vector<std::vector<PairRecord>> found;
    pool::run([&] {
        found = pool::map_indexed<std::vector<PairRecord>>(blocks, [&](std::size_t b) {
            std::vector<PairRecord> hits;
            const std::uint64_t end = std::min(m, (b + 1) * kBlockRows);
            for (std::uint64_t r = b * kBlockRows; r < end; ++r) {
                const std::uint8_t* row = rows.data() + r * s.d_bytes;
                for (const QueryHit& hit :
                     verify_candidates(s.candidates(row), s.codes.data(), s.d_bytes, k, row))
                    hits.push_back({static_cast<std::uint32_t>(r), hit.id, hit.dist});
            }
            return hits;
        });
    });
    std::size_t total = 0;
    for (const auto& block : found) total += block.size();
    std::vector<PairRecord> records;
    records.reserve(total);
    for (auto& block : found) {
        records.insert(records.end(), block.begin(), block.end());
        std::vector<PairRecord>().swap(block);
    }
    return records;
}

void Index::save(const std::string& path) const {
    const State& s = *state_;
    detail::write_index_file(path, {s.d_bytes, s.k, s.n}, s.codes);
}

std::uint64_t Index::saved_size() const noexcept {
    const State& s = *state_;
    return detail::FileHeader{s.d_bytes, s.k, s.n}.file_bytes();
}

void Index::save_to(std::span<std::uint8_t> out) const {
    const State& s = *state_;
    assert_equal(out.size(), saved_size(), "Index::save_to buffer length mismatch");
    const std::vector<std::uint8_t> head = detail::encode_header({s.d_bytes, s.k, s.n});
    std::copy(head.begin(), head.end(), out.begin());
    std::copy(s.codes.begin(), s.codes.end(), out.begin() + detail::kHeaderBytes);
    const std::uint64_t sum = detail::file_checksum(head, s.codes);
    for (std::uint64_t b = 0; b < detail::kChecksumBytes; ++b)
        out[detail::kHeaderBytes + s.codes.size() + b] = static_cast<std::uint8_t>(sum >> (8 * b));
}

Index Index::load(const std::string& path) {
    std::vector<std::uint8_t> codes;
    const detail::FileHeader header = detail::read_index_file(path, codes);
    return from_codes(header.d_bytes, header.k, header.n, std::move(codes));
}

Index Index::from_bytes(ByteSpan bytes) {
    const detail::FileHeader header = detail::check_index_bytes(bytes);
    const ByteSpan codes = bytes.subspan(detail::kHeaderBytes, header.code_bytes());
    return from_codes(header.d_bytes, header.k, header.n, {codes.begin(), codes.end()});
}

Index Index::from_codes(std::uint64_t d_bytes, std::uint32_t k, std::uint64_t n,
                        std::vector<std::uint8_t>&& codes) {
    // 8 * d_bytes must not wrap: no real code is anywhere near 2^56 bytes.
    if (d_bytes > (std::uint64_t{1} << 56))
        throw IndexFileError("bad header: d_bytes (" + std::to_string(d_bytes) + ") is too large");
    if (8 * d_bytes <= k)
        throw IndexFileError("bad header: k (" + std::to_string(k) + ") must be < 8*d_bytes (" +
                             std::to_string(8 * d_bytes) + ")");
    if (widest_chunk(8 * d_bytes, k) > kMaxChunkBits)
        throw IndexFileError("bad header: k (" + std::to_string(k) + ") at d_bytes " +
                             std::to_string(d_bytes) + " makes a bit chunk wider than 128 bits");
    Index index = create(d_bytes, k);
    State& s = *index.state_;
    if (n == 0) return index;
    // The tables are built once, for the final size, from the codes in place.
    s.plan_for(n);
    s.codes = std::move(codes);
    index_rows(s.tables, s.keys, s.codes.data(), n, d_bytes, 0);
    s.n = static_cast<std::uint32_t>(n);
    return index;
}

std::uint64_t Index::d_bytes() const noexcept { return state_->d_bytes; }
std::uint32_t Index::k() const noexcept { return state_->k; }
std::uint32_t Index::n() const noexcept { return state_->n; }
std::uint32_t Index::max_rows() const noexcept { return state_->max_rows; }
Plan Index::plan() const {
    const State& s = *state_;
    return s.made ? s.plan : index_plan(s.d_bytes, s.k, 2 << 16);
}

std::vector<std::uint32_t> Index::ids_with_key(std::size_t part, std::uint64_t key) const {
    const State& s = *state_;
    if (!s.made) return {};  // nothing stored yet
    if (part >= s.tables.size()) panic_out_of_range(part, s.tables.size());
    const auto slot = s.tables[part].find(key);
    if (slot == s.tables[part].end()) return {};
    std::uint32_t scratch = 0;
    const auto ids = slot->second.ids(scratch);
    return {ids.begin(), ids.end()};
}

}  // namespace brimel
