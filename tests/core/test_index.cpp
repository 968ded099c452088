#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <numeric>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "brimel/errors.hpp"
#include "brimel/index.hpp"
#include "keys/part_keys.hpp"
#include "brute_force.hpp"
#include "test_support.hpp"

// Allocation failure injection: while `fail_after` is non-negative, the
// allocation that brings it below zero throws std::bad_alloc. Every other test
// in this binary runs with it disarmed.
namespace {
thread_local long fail_after = -1;
}  // namespace

void* operator new(std::size_t size) {
    if (fail_after >= 0 && fail_after-- == 0) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
// The nothrow form too (std::stable_sort's buffer uses it): a sanitizer
// runtime would otherwise serve it while the delete below frees it.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace brimel {
namespace {

using Codes = std::vector<std::uint8_t>;
using Hits = std::vector<QueryHit>;

template <class Error>
void expect_throw(const std::function<void()>& call, const std::string& message) {
    try {
        call();
        FAIL() << "expected: " << message;
    } catch (const Error& e) {
        EXPECT_EQ(e.what(), message);
    }
}

// Per query row, the brute-force hits against the stored rows, ascending by id.
std::vector<Hits> brute_force(const Codes& queries, const Codes& stored, std::uint64_t d, std::uint32_t k) {
    std::vector<Hits> hits(queries.size() / d);
    for (const PairRecord& p :
         reference::cross_join(queries.data(), queries.size() / d, stored.data(), stored.size() / d, d, k))
        hits[p.i].push_back({p.j, p.dist});
    return hits;
}

std::vector<Hits> query_all(const Index& index, const Codes& queries) {
    std::vector<Hits> hits;
    const std::uint64_t d = index.d_bytes();
    for (std::size_t q = 0; q < queries.size() / d; ++q)
        hits.push_back(index.query({queries.data() + q * d, d}));
    return hits;
}

// For every part, the list under each key is exactly the ascending ids of the
// stored rows with that key (so each table lists every row once).
void expect_tables_consistent(const Index& index, const Codes& stored) {
    const std::uint64_t d = index.d_bytes();
    ASSERT_EQ(stored.size(), index.n() * d);
    const Plan plan = index.plan();
    for (std::size_t t = 0; t < plan.parts.size(); ++t) {
        const detail::PartKeys keys(plan.parts[t], d);
        std::map<std::uint64_t, std::vector<std::uint32_t>> expected;
        for (std::uint32_t r = 0; r < index.n(); ++r) expected[keys.key(stored.data() + r * d)].push_back(r);
        for (const auto& [key, ids] : expected) ASSERT_EQ(index.ids_with_key(t, key), ids) << "part " << t;
    }
}

// Queries: every stored row, copies with up to k + 1 bits flipped, random rows.
Codes probes_for(const Codes& stored, std::uint64_t d, std::uint32_t k, std::uint32_t seed) {
    std::mt19937_64 rng(seed);
    Codes probes = stored;
    const std::uint64_t n = stored.size() / d;
    for (std::uint64_t q = 0; q < n; ++q) {
        const std::size_t at = probes.size();
        const std::uint64_t source = rng() % n;
        probes.insert(probes.end(), stored.begin() + source * d, stored.begin() + (source + 1) * d);
        for (std::uint64_t f = rng() % (k + 2); f > 0; --f) {
            const std::uint64_t bit = rng() % (8 * d);
            probes[at + bit / 8] ^= static_cast<std::uint8_t>(0x80u >> (bit % 8));
        }
    }
    const auto noise = testing::random_codes(50, d, seed + 3);
    probes.insert(probes.end(), noise.begin(), noise.end());
    return probes;
}

// Thresholds of a plan's parts.
std::vector<std::uint32_t> thresholds_of(const Index& index) {
    std::vector<std::uint32_t> t;
    for (const Part& part : index.plan().parts) t.push_back(part.threshold);
    return t;
}

TEST(IndexCreate, ChecksAndPlans) {
    expect_throw<Panic>([] { Index::create(1, 8); }, "Index: k (8) must be < 8*d_bytes (8)");
    expect_throw<Panic>([] { Index::create(0, 0); }, "Index: k (0) must be < 8*d_bytes (0)");
    expect_throw<Panic>([] { Index::create(64, 1); }, "Index: bit chunk wider than 128 bits");
    // Every plan finds every row within k: thresholds plus one per part exceed k.
    for (const auto& [d, k] : std::vector<std::pair<std::uint64_t, std::uint32_t>>{
             {1, 7}, {1, 1}, {8, 3}, {8, 10}, {16, 0}, {32, 0}, {32, 1}, {32, 31}, {64, 3}, {13, 40}}) {
        const auto t = thresholds_of(Index::create(d, k));
        EXPECT_GT(std::accumulate(t.begin(), t.end(), std::uint64_t{0}) + t.size(), k) << d << " " << k;
    }
    // A 256-bit bank at k = 31 probes 16 parts of 16 bits within 1 bit (17
    // keys each) rather than listing a 256th of the bank under each of 32
    // one-byte chunks; k = 0 over 32 bytes keys the first 128 bits only.
    EXPECT_EQ(thresholds_of(Index::create(32, 31)), std::vector<std::uint32_t>(16, 1));
    EXPECT_EQ(Index::create(32, 0).plan().parts.size(), 1u);
    const Index fresh = Index::create(8, 3);
    EXPECT_EQ(std::make_tuple(fresh.d_bytes(), fresh.k(), fresh.n(), fresh.max_rows()),
              std::make_tuple(8ull, 3u, 0u, 4294967295u));
}

TEST(IndexStore, WorkedExample) {
    Index index = Index::create(1, 1);
    const std::uint8_t rows[] = {0xF0, 0xF1, 0x0F};
    EXPECT_EQ(index.add({rows, 1}), 0u);
    EXPECT_EQ(index.add({rows + 1, 1}), 1u);
    expect_tables_consistent(index, Codes(rows, rows + 2));
    EXPECT_EQ(index.add({rows + 2, 1}), 2u);
    EXPECT_EQ(index.query({rows, 1}), (Hits{{0, 0}, {1, 1}}));
}

TEST(IndexStore, LengthChecksLeaveTheIndexUsable) {
    const auto codes = testing::random_codes(3, 8, 9);
    Index index = Index::create(8, 3);
    index.add_batch({codes.data(), 16});
    expect_throw<Panic>(
        [&] { index.add({codes.data(), 7}); },
        "assertion `left == right` failed: Index::add row length mismatch\n  left: 7\n right: 8");
    expect_throw<Panic>([&] { index.add_batch({codes.data(), 20}); },
                        "assertion `left == right` failed: Index::add_batch length not multiple of d_bytes\n"
                        "  left: 4\n right: 0");
    expect_throw<Panic>(
        [&] { (void)index.query({codes.data(), 9}); },
        "assertion `left == right` failed: Index::query row length mismatch\n  left: 9\n right: 8");
    EXPECT_EQ(index.add_batch({}), 2u);
    EXPECT_EQ(index.add({codes.data() + 16, 8}), 2u);
    EXPECT_EQ(query_all(index, codes), brute_force(codes, codes, 8, 3));
}

// Row limit, injected small: a refused add changes nothing, and the index keeps
// answering and taking rows up to the limit.
TEST(IndexStore, RowLimit) {
    const auto codes = testing::planted_codes(6, 8, 4, 21);
    const Codes first4(codes.begin(), codes.begin() + 32), first5(codes.begin(), codes.begin() + 40);
    Index index = Index::create(8, 3, 5);
    EXPECT_EQ(index.add_batch(first4), 0u);
    const auto before = query_all(index, codes);
    expect_throw<IndexFull>(
        [&] { index.add_batch({codes.data() + 32, 16}); },
        "Index full: adding 2 rows to 4 stored would exceed the limit of 5 rows (ids are unsigned 32-bit)");
    EXPECT_EQ(index.n(), 4u);
    EXPECT_EQ(query_all(index, codes), before);
    expect_tables_consistent(index, first4);
    EXPECT_EQ(index.add({codes.data() + 32, 8}), 4u);
    expect_throw<IndexFull>(
        [&] { index.add({codes.data() + 40, 8}); },
        "Index full: adding 1 rows to 5 stored would exceed the limit of 5 rows (ids are unsigned 32-bit)");
    EXPECT_EQ(index.add_batch({}), 5u);
    EXPECT_EQ(query_all(index, codes), brute_force(codes, first5, 8, 3));
    expect_tables_consistent(index, first5);
}

// The real limit: a batch taking n past 4294967295 is refused before a byte of
// it is read (the buffer is mapped without access rights).
TEST(IndexStore, RowLimitAtTwoToThe32) {
    const std::size_t length = std::size_t{1} << 32;
    void* region = mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(region, MAP_FAILED);
    Index index = Index::create(1, 0);
    const std::uint8_t row = 0x5A;
    index.add({&row, 1});
    expect_throw<IndexFull>(
        [&] { index.add_batch({static_cast<const std::uint8_t*>(region), length - 1}); },
        "Index full: adding 4294967295 rows to 1 stored would exceed the limit of 4294967295 "
        "rows (ids are unsigned 32-bit)");
    munmap(region, length);
    EXPECT_EQ(index.query({&row, 1}), (Hits{{0, 0}}));
}

// Distance exactly k is in, k + 1 is out even when it shares a chunk key; with
// d_bytes = 1, k = 7 only the complement is missed.
// An index that grows past four times the size its plan was made for keys
// again on a plan for its new size (here from three parts to two wider
// ones); the tables then list every row once and queries stay exact.
TEST(IndexStore, KeysAgainAsItGrows) {
    Index index = Index::create(4, 6);
    const std::size_t before = index.plan().parts.size();
    const Codes first = testing::planted_codes(100000, 4, 7, 3);
    const Codes second = testing::planted_codes(200000, 4, 7, 4);
    index.add_batch(first);
    index.add_batch(second);
    EXPECT_NE(index.plan().parts.size(), before);
    Codes stored = first;
    stored.insert(stored.end(), second.begin(), second.end());
    expect_tables_consistent(index, stored);
    const Codes probes(stored.begin(), stored.begin() + 4 * 300);
    EXPECT_EQ(query_all(index, probes), brute_force(probes, stored, 4, 6));
}

TEST(IndexQuery, BoundaryDistances) {
    Index index = Index::create(2, 2);  // chunks [0,5), [5,10), [10,16)
    const std::uint8_t rows[] = {0x00, 0x00, 0x00, 0x03, 0x00, 0x07};
    index.add_batch({rows, 6});
    EXPECT_EQ(index.query({rows, 2}), (Hits{{0, 0}, {1, 2}}));

    Index bits = Index::create(1, 7);
    Codes all(256);
    for (int v = 0; v < 256; ++v) all[v] = static_cast<std::uint8_t>(v);
    bits.add_batch(all);
    const std::uint8_t q = 0x5C;
    Hits expected;
    for (std::uint32_t v = 0; v < 256; ++v)
        if (v != 0xA3u) expected.push_back({v, static_cast<std::uint32_t>(__builtin_popcount(v ^ q))});
    EXPECT_EQ(bits.query({&q, 1}), expected);
}

struct IndexCase {
    const char* data_kind;
    std::uint64_t n;
    std::uint64_t d_bytes;
    std::uint32_t k;
};

Codes make(const IndexCase& c) {
    const std::string kind = c.data_kind;
    if (kind == "random") return testing::random_codes(c.n, c.d_bytes, 31);
    if (kind == "clustered") return testing::clustered_codes(c.n, c.d_bytes, 25, 31);
    return testing::planted_codes(c.n, c.d_bytes, c.k + 1, 31);
}

std::string case_name(const ::testing::TestParamInfo<IndexCase>& info) {
    const IndexCase& c = info.param;
    return std::string(c.data_kind) + "_n" + std::to_string(c.n) + "_d" + std::to_string(c.d_bytes) + "_k" +
           std::to_string(c.k);
}

class IndexAgainstBruteForce : public ::testing::TestWithParam<IndexCase> {};

// Rows go in through single adds and batches of random sizes; every probe's
// hits equal the brute-force scan (repeatably), and the tables are exact.
// planted rows copy earlier ones with up to k + 1 bits flipped, so for k = 0
// and d_bytes > 16 many agree on the keyed first 16 bytes and differ later.
TEST_P(IndexAgainstBruteForce, Queries) {
    const IndexCase c = GetParam();
    const auto stored = make(c);
    Index index = Index::create(c.d_bytes, c.k);
    std::mt19937_64 rng(c.n + c.d_bytes * 131 + c.k);
    for (std::uint64_t r = 0; r < c.n;) {
        const std::uint64_t take = std::min<std::uint64_t>(rng() % 5 == 0 ? 1 : rng() % 200, c.n - r);
        const ByteSpan rows{stored.data() + r * c.d_bytes, take * c.d_bytes};
        ASSERT_EQ((take == 1 && rng() % 2) ? index.add(rows) : index.add_batch(rows), r);
        r += take;
    }
    const auto probes = probes_for(stored, c.d_bytes, c.k, 77);
    const auto got = query_all(index, probes);
    EXPECT_EQ(got, brute_force(probes, stored, c.d_bytes, c.k));
    EXPECT_EQ(query_all(index, probes), got);
    expect_tables_consistent(index, stored);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, IndexAgainstBruteForce,
    ::testing::Values(IndexCase{"random", 700, 1, 7}, IndexCase{"planted", 700, 1, 3},
                      IndexCase{"planted", 1500, 16, 0}, IndexCase{"planted", 1500, 32, 0},
                      IndexCase{"clustered", 800, 32, 0}, IndexCase{"planted", 1200, 32, 1},
                      IndexCase{"planted", 800, 64, 3}, IndexCase{"planted", 2000, 8, 3},
                      IndexCase{"clustered", 1500, 8, 3}, IndexCase{"planted", 1000, 9, 0},
                      IndexCase{"planted", 1000, 25, 2}, IndexCase{"planted", 600, 32, 31},
                      IndexCase{"planted", 400, 13, 100}),
    case_name);

class IndexAllocationFailure : public ::testing::TestWithParam<IndexCase> {};

// Every allocation of an add or add_batch may fail; each failure leaves the
// index as it was, and the index then takes the rows and answers like the
// brute-force scan.
TEST_P(IndexAllocationFailure, LeavesTheIndexUnchanged) {
    const IndexCase c = GetParam();
    const auto codes = make(c);
    const std::uint64_t half = c.n / 2 * c.d_bytes;
    const Codes stored(codes.begin(), codes.begin() + half);
    const ByteSpan batch(codes.data() + half, codes.size() - half);
    const auto probes = probes_for(codes, c.d_bytes, c.k, 5);
    for (const ByteSpan offered : {batch, batch.first(c.d_bytes)}) {
        for (long failing = 0;; ++failing) {
            Index index = Index::create(c.d_bytes, c.k);
            index.add_batch(stored);
            const auto before = query_all(index, probes);
            bool succeeded = false;
            fail_after = failing;
            try {
                (void)(offered.size() == c.d_bytes ? index.add(offered) : index.add_batch(offered));
                succeeded = true;
            } catch (const std::bad_alloc&) {
            }
            fail_after = -1;
            if (succeeded) break;
            ASSERT_EQ(query_all(index, probes), before) << "allocation " << failing;
            expect_tables_consistent(index, stored);
            index.add_batch(batch);
            ASSERT_EQ(query_all(index, probes), brute_force(probes, codes, c.d_bytes, c.k));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Inputs, IndexAllocationFailure,
                         ::testing::Values(IndexCase{"clustered", 300, 8, 3},
                                           IndexCase{"planted", 200, 32, 1}, IndexCase{"random", 200, 2, 3}),
                         case_name);

}  // namespace
}  // namespace brimel
