// The streaming index: construction, insertion and single-code queries.
#include "brimel/index.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>
#include <chrono>
#include <random>
#include <string>
#include <type_traits>
#include <variant>

#include "brimel/errors.hpp"
#include "brimel/verify.hpp"
#include "dispatch.hpp"
#include "id_list.hpp"

namespace brimel {
namespace {

// A chunk key over more than 64 bits, as two words aligned to 8 bytes (a
// ChunkKey would align table slots to 16 and make them 32 bytes instead of 24).
struct WideKey {
    std::uint64_t lo;
    std::uint64_t hi;
    friend bool operator==(const WideKey&, const WideKey&) = default;
};

// The tables and seen sets of every index hash with one function drawn at
// random when the process starts: vector multiply-add-shift, the high 64 bits
// of (a1 * lo + a2 * hi + b) mod 2^128 with a1, a2, b random 128-bit numbers.
// It is strongly universal: two distinct keys agree on any chosen bits of
// their hashes exactly as often as random bits would, whichever keys they
// are. Codes cannot be crafted to collide without knowing the draw, so every
// set of keys costs what random keys cost. No result depends on the draw:
// id lists keep insertion order and query hits are sorted by id.
using Word128 = unsigned __int128;

struct HashDraw {
    Word128 a1, a2, b;
};

Word128 random_word128(std::random_device& device) {
    Word128 word = 0;
    for (int part = 0; part < 4; ++part) word = (word << 32) | device();
    return word;
}

HashDraw draw_hash() {
    try {
        std::random_device device;
        return {random_word128(device), random_word128(device), random_word128(device)};
    } catch (const std::exception&) {
        // No entropy source: a draw from the clock and the process id, still
        // unknown to anyone who only chooses the codes.
        std::seed_seq seed{static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()),
                           static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()),
                           static_cast<std::uint64_t>(::getpid())};
        std::mt19937_64 engine(seed);
        const auto next = [&] { return (Word128{engine()} << 64) | engine(); };
        return {next(), next(), next()};
    }
}

const HashDraw kHashDraw = draw_hash();

// Declared avalanching: the output is already uniform in every bit, so the
// flat containers use it as it is.
struct KeyHasher {
    using is_avalanching = std::true_type;
    std::size_t operator()(std::uint64_t key) const noexcept {
        return static_cast<std::uint64_t>((kHashDraw.a1 * key + kHashDraw.b) >> 64);
    }
    std::size_t operator()(const WideKey& key) const noexcept {
        return static_cast<std::uint64_t>((kHashDraw.a1 * key.lo + kHashDraw.a2 * key.hi + kHashDraw.b) >> 64);
    }
};

// The seen set of a query hashes a row id as a one-word key.
struct IdHasher {
    using is_avalanching = std::true_type;
    std::size_t operator()(std::uint32_t id) const noexcept { return KeyHasher{}(std::uint64_t{id}); }
};

using IdSet = boost::unordered_flat_set<std::uint32_t, IdHasher>;

// Chunks of at most 64 bits (every chunk of most plans) key their table with a
// single word: 16-byte slots.
template <class Key>
using ChunkTable = boost::unordered_flat_map<Key, detail::IdList, KeyHasher>;
template <class Key>
using ChunkTables = std::vector<ChunkTable<Key>>;

// The chunk key extract_bits reads from `row` over `chunk`. A byte-aligned
// chunk of at most 8 bytes (the usual case) is the little-endian integer of its
// bytes, read here directly.
template <class Key>
Key key_of(const std::uint8_t* row, const BitRange& chunk) {
    if constexpr (std::is_same_v<Key, std::uint64_t>) {
        if ((chunk.first | chunk.second) % 8 == 0) {
            const std::uint8_t* bytes = row + chunk.first / 8;
            std::uint64_t key = 0;
            for (std::uint64_t b = 0; b < (chunk.second - chunk.first) / 8; ++b)
                key |= std::uint64_t{bytes[b]} << (8 * b);
            return key;
        }
        return static_cast<std::uint64_t>(extract_bits(row, chunk.first, chunk.second));
    } else {
        const ChunkKey key = extract_bits(row, chunk.first, chunk.second);
        return WideKey{static_cast<std::uint64_t>(key), static_cast<std::uint64_t>(key >> 64)};
    }
}

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

struct Index::State {
    std::vector<std::uint8_t> codes;  // n * d_bytes bytes, row r at r * d_bytes
    // The chunk plan and its tables, made when the first row arrives: an empty
    // index costs the same for every k (k + 1 tables of a large k would take
    // gigabytes before anything is stored).
    std::vector<BitRange> plan;
    std::variant<ChunkTables<std::uint64_t>, ChunkTables<WideKey>> tables;
    std::uint64_t d_bytes = 0;
    std::uint32_t k = 0;
    std::uint32_t n = 0;
    std::uint32_t max_rows = 0;
    bool narrow = true;  // every chunk at most 64 bits: one-word keys

    // Makes the plan and the (empty) tables, once. On std::bad_alloc nothing
    // is made and the next add tries again.
    void make_tables() {
        if (!plan.empty()) return;
        std::vector<BitRange> made = plan_bit_chunks(d_bytes, k);
        // Built aside and moved in, so that a failure leaves the variant as it was.
        if (narrow)
            tables = ChunkTables<std::uint64_t>(made.size());
        else
            tables = ChunkTables<WideKey>(made.size());
        plan = std::move(made);  // cannot fail
    }

    // Makes room for `bytes` more code bytes: at least doubling, so that any
    // mix of add and add_batch appends in amortised constant time per byte.
    void reserve_codes(std::uint64_t bytes) {
        const std::size_t needed = codes.size() + bytes;
        if (needed > codes.capacity()) codes.reserve(std::max(needed, 2 * codes.capacity()));
    }

    void append_codes(ByteSpan rows);
};

namespace {

// Appends `id` under `key`. On std::bad_alloc the table is unchanged: a new key
// gets an inline id, which never allocates, so only an existing list can fail
// to grow, and it then stays as it was.
template <class Key>
void append_id(ChunkTable<Key>& table, const Key& key, std::uint32_t id) {
    table.try_emplace(key).first->second.push_back(id);
}

// Undoes append_id(table, key, id) for the last id appended under `key`.
template <class Key>
void remove_last_id(ChunkTable<Key>& table, const Key& key) noexcept {
    const auto slot = table.find(key);
    slot->second.pop_back();
    if (slot->second.size() == 0) table.erase(slot);
}

// Appends ids to chunk tables in groups of kGroup: the lists a group will
// grow are looked up and prefetched first (headers, then ends), so that their
// cache misses overlap instead of coming one after the other; then the ids are
// appended in the order they were pushed. The order of appends is exactly the
// order of push calls, so `appended()` says how far a failed run got.
template <class Key>
class GroupedAppends {
public:
    explicit GroupedAppends(ChunkTables<Key>& tables) : tables_(tables) {}

    void push(std::size_t t, const Key& key, std::uint32_t id) {
        ChunkTable<Key>& table = tables_[t];
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
                ChunkTable<Key>& table = tables_[p.t];
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
        Key key;
        std::uint32_t id;
        detail::IdList* list;
    };
    ChunkTables<Key>& tables_;
    std::array<Pending, kGroup> pending_{};
    std::size_t count_ = 0;
    std::uint64_t appended_ = 0;
};

// Lists rows first, first + 1, ... of `rows` (m rows back to back) in every
// table, table by table: ids go into each list in increasing order either way,
// and one table's lists stay in cache for the whole batch. All or nothing: on
// an exception every id appended so far is taken out again, newest first.
template <class Key>
void index_rows(ChunkTables<Key>& tables, std::span<const BitRange> plan, const std::uint8_t* rows,
                std::uint64_t m, std::uint64_t d_bytes, std::uint32_t first) {
    GroupedAppends<Key> appends(tables);
    try {
        for (std::size_t t = 0; t < tables.size(); ++t)
            for (std::uint64_t r = 0; r < m; ++r)
                appends.push(t, key_of<Key>(rows + r * d_bytes, plan[t]),
                             first + static_cast<std::uint32_t>(r));
        appends.flush();
    } catch (...) {
        // Append number i was row i % m in table i / m.
        for (std::uint64_t i = appends.appended(); i-- > 0;)
            remove_last_id(tables[i / m], key_of<Key>(rows + (i % m) * d_bytes, plan[i / m]));
        throw;
    }
}

// Distances of the candidates to `row`, counted in full over d_bytes bytes;
// keeps those within k and returns them sorted by id. The codes of the next
// candidates are prefetched, since the ids come in no useful order. Inlined
// into each popcount clone below.
template <class Ids>
[[gnu::always_inline]] inline std::vector<QueryHit> verify_candidates(const Ids& ids,
                                                                      const std::uint8_t* codes,
                                                                      std::uint64_t d_bytes, std::uint32_t k,
                                                                      const std::uint8_t* row,
                                                                      bool ascending) {
    constexpr std::size_t kPrefetchDistance = 8;
    std::vector<QueryHit> hits;
    auto ahead = ids.begin();
    for (std::size_t step = 0; step < kPrefetchDistance && ahead != ids.end(); ++step, ++ahead)
        __builtin_prefetch(codes + *ahead * d_bytes, 0, 3);
    for (const std::uint32_t id : ids) {
        if (ahead != ids.end()) {
            __builtin_prefetch(codes + *ahead * d_bytes, 0, 3);
            ++ahead;
        }
        const std::uint32_t dist = hamming_distance(codes + id * d_bytes, row, d_bytes);
        if (dist <= k) hits.push_back({id, dist});
    }
    if (!ascending)
        std::sort(hits.begin(), hits.end(), [](const QueryHit& a, const QueryHit& b) { return a.id < b.id; });
    return hits;
}

BRIMEL_POPCNT_CLONES
std::vector<QueryHit> verify_set(const IdSet& ids, const std::uint8_t* codes, std::uint64_t d_bytes,
                                 std::uint32_t k, const std::uint8_t* row) {
    return verify_candidates(ids, codes, d_bytes, k, row, false);
}

BRIMEL_POPCNT_CLONES
std::vector<QueryHit> verify_list(std::span<const std::uint32_t> ids, const std::uint8_t* codes,
                                  std::uint64_t d_bytes, std::uint32_t k, const std::uint8_t* row) {
    return verify_candidates(ids, codes, d_bytes, k, row, true);
}

template <class Key>
std::vector<QueryHit> query_tables(const ChunkTables<Key>& tables, std::span<const BitRange> plan,
                                   const std::uint8_t* codes, std::uint64_t d_bytes, std::uint32_t k,
                                   const std::uint8_t* row) {
    std::uint32_t scratch = 0;
    // One chunk: its list is already free of repeats and ascending.
    if (tables.size() == 1) {
        const auto slot = tables[0].find(key_of<Key>(row, plan[0]));
        if (slot == tables[0].end()) return {};
        return verify_list(slot->second.ids(scratch), codes, d_bytes, k, row);
    }
    std::vector<const detail::IdList*> lists;
    std::size_t listed = 0;
    for (std::size_t t = 0; t < tables.size(); ++t) {
        if (tables[t].empty()) continue;
        const auto slot = tables[t].find(key_of<Key>(row, plan[t]));
        if (slot == tables[t].end()) continue;
        lists.push_back(&slot->second);
        listed += slot->second.size();
    }
    IdSet seen;
    seen.reserve(listed);
    for (const detail::IdList* list : lists)
        for (const std::uint32_t id : list->ids(scratch)) seen.insert(id);
    return verify_set(seen, codes, d_bytes, k, row);
}

}  // namespace

// Stores the rows of `rows` (back to back) after the n stored ones and lists
// them in every table. The rows are copied first and keyed from the copy, so
// the stored codes and the tables agree even if the caller's buffer changes
// meanwhile (another thread may write into it while add_batch runs without
// the interpreter lock). All or nothing: on an exception the codes and tables
// are as before.
void Index::State::append_codes(ByteSpan rows) {
    reserve_codes(rows.size());
    make_tables();
    const std::size_t before = codes.size();
    codes.insert(codes.end(), rows.begin(), rows.end());  // room reserved: cannot fail
    const std::uint64_t m = rows.size() / d_bytes;
    try {
        std::visit([&](auto& t) { index_rows(t, plan, codes.data() + before, m, d_bytes, n); }, tables);
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
    state->narrow = widest <= 64;
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
    return std::visit(
        [&](const auto& tables) {
            return query_tables(tables, s.plan, s.codes.data(), s.d_bytes, s.k, row.data());
        },
        s.tables);
}

std::uint64_t Index::d_bytes() const noexcept { return state_->d_bytes; }
std::uint32_t Index::k() const noexcept { return state_->k; }
std::uint32_t Index::n() const noexcept { return state_->n; }
std::uint32_t Index::max_rows() const noexcept { return state_->max_rows; }
std::vector<BitRange> Index::plan() const {
    const State& s = *state_;
    return s.plan.empty() ? plan_bit_chunks(s.d_bytes, s.k) : s.plan;
}

std::vector<std::uint32_t> Index::ids_with_key(std::size_t chunk, ChunkKey key) const {
    const State& s = *state_;
    const std::uint64_t chunks = (s.k == 0 && 8 * s.d_bytes > kMaxChunkBits) ? 1 : std::uint64_t{s.k} + 1;
    if (chunk >= chunks) panic_out_of_range(chunk + 1, chunks);
    if (s.plan.empty()) return {};  // nothing stored yet
    return std::visit(
        [&](const auto& tables) -> std::vector<std::uint32_t> {
            using Key = typename std::decay_t<decltype(tables)>::value_type::key_type;
            Key table_key;
            if constexpr (std::is_same_v<Key, std::uint64_t>) {
                if (key >> 64 != 0) return {};
                table_key = static_cast<std::uint64_t>(key);
            } else {
                table_key = WideKey{static_cast<std::uint64_t>(key), static_cast<std::uint64_t>(key >> 64)};
            }
            const auto slot = tables[chunk].find(table_key);
            if (slot == tables[chunk].end()) return {};
            std::uint32_t scratch = 0;
            const auto ids = slot->second.ids(scratch);
            return {ids.begin(), ids.end()};
        },
        s.tables);
}

}  // namespace brimel
