#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <new>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "brimel/errors.hpp"
#include "brimel/index.hpp"
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
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace brimel {
namespace {

using Hits = std::vector<QueryHit>;

void expect_panic(const std::function<void()>& call, const std::string& message) {
    try {
        call();
        FAIL() << "expected Panic: " << message;
    } catch (const Panic& e) {
        EXPECT_EQ(e.what(), message);
    }
}

void expect_full(const std::function<void()>& call, const std::string& message) {
    try {
        call();
        FAIL() << "expected IndexFull: " << message;
    } catch (const IndexFull& e) {
        EXPECT_EQ(e.what(), message);
    }
}

// Per query row, the brute-force hits against the stored rows, ascending by id.
std::vector<Hits> brute_force(const std::vector<std::uint8_t>& queries,
                              const std::vector<std::uint8_t>& stored, std::uint64_t d_bytes,
                              std::uint32_t k) {
    std::vector<Hits> hits(queries.size() / d_bytes);
    for (const PairRecord& p : reference::cross_join(queries.data(), queries.size() / d_bytes, stored.data(),
                                                     stored.size() / d_bytes, d_bytes, k))
        hits[p.i].push_back({p.j, p.dist});
    return hits;
}

std::vector<Hits> query_all(const Index& index, const std::vector<std::uint8_t>& queries) {
    std::vector<Hits> hits;
    const std::uint64_t d = index.d_bytes();
    for (std::size_t q = 0; q < queries.size() / d; ++q)
        hits.push_back(index.query({queries.data() + q * d, d}));
    return hits;
}

// The table invariants: for every chunk and stored row, the row's id stands
// exactly once in the ascending list under its key, and each table lists n
// ids in all.
void expect_tables_consistent(const Index& index, const std::vector<std::uint8_t>& stored) {
    const std::uint64_t d = index.d_bytes();
    ASSERT_EQ(stored.size(), index.n() * d);
    for (std::size_t t = 0; t < index.plan().size(); ++t) {
        const auto [lo, hi] = index.plan()[t];
        std::map<ChunkKey, std::vector<std::uint32_t>> expected;
        for (std::uint32_t r = 0; r < index.n(); ++r)
            expected[extract_bits(stored.data() + r * d, lo, hi)].push_back(r);
        for (const auto& [key, ids] : expected) ASSERT_EQ(index.ids_with_key(t, key), ids) << "chunk " << t;
    }
}

// Queries: every stored row, copies with up to k + 1 bits flipped, random rows.
std::vector<std::uint8_t> probes_for(const std::vector<std::uint8_t>& stored, std::uint64_t d_bytes,
                                     std::uint32_t k, std::uint32_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::uint8_t> probes = stored;
    const std::uint64_t n = stored.size() / d_bytes;
    for (std::uint64_t q = 0; q < n && n > 0; ++q) {
        const std::uint64_t source = rng() % n;
        const std::size_t at = probes.size();
        probes.insert(probes.end(), stored.begin() + source * d_bytes,
                      stored.begin() + (source + 1) * d_bytes);
        const auto flips = static_cast<std::uint32_t>(rng() % (k + 2));
        for (std::uint32_t f = 0; f < flips; ++f) {
            const std::uint64_t bit = rng() % (8 * d_bytes);
            probes[at + bit / 8] ^= static_cast<std::uint8_t>(0x80u >> (bit % 8));
        }
    }
    const auto noise = testing::random_codes(50, d_bytes, seed + 3);
    probes.insert(probes.end(), noise.begin(), noise.end());
    return probes;
}

TEST(IndexCreate, ChecksAndPlans) {
    expect_panic([] { Index::create(1, 8); }, "Index: k (8) must be < 8*d_bytes (8)");
    expect_panic([] { Index::create(0, 0); }, "Index: k (0) must be < 8*d_bytes (0)");
    expect_panic([] { Index::create(64, 1); }, "Index: bit chunk wider than 128 bits");
    expect_panic([] { Index::create(2305843009213693952ull, 5); }, "Index: k (5) must be < 8*d_bytes (0)");

    const Index bits = Index::create(1, 7);
    EXPECT_EQ(bits.plan().size(), 8u);
    for (const auto& [lo, hi] : bits.plan()) EXPECT_EQ(hi - lo, 1u);
    for (std::uint64_t d : {16u, 32u}) {
        const Index index = Index::create(d, 0);
        EXPECT_EQ(std::vector<BitRange>(index.plan().begin(), index.plan().end()),
                  (std::vector<BitRange>{{0, 128}}));
    }
    const Index wide = Index::create(32, 1);
    EXPECT_EQ(std::vector<BitRange>(wide.plan().begin(), wide.plan().end()),
              (std::vector<BitRange>{{0, 128}, {128, 256}}));
    EXPECT_EQ(Index::create(64, 3).plan().size(), 4u);
    const Index fresh = Index::create(8, 3);
    EXPECT_EQ(fresh.d_bytes(), 8u);
    EXPECT_EQ(fresh.k(), 3u);
    EXPECT_EQ(fresh.n(), 0u);
    EXPECT_EQ(fresh.max_rows(), 4294967295u);
}

TEST(IndexStore, WorkedExample) {
    Index index = Index::create(1, 1);
    const std::uint8_t rows[] = {0xF0, 0xF1, 0x0F};
    EXPECT_EQ(index.add({rows, 1}), 0u);
    EXPECT_EQ(index.add({rows + 1, 1}), 1u);
    EXPECT_EQ(index.ids_with_key(0, 0xF), (std::vector<std::uint32_t>{0, 1}));
    EXPECT_EQ(index.ids_with_key(1, 0x0), (std::vector<std::uint32_t>{0}));
    EXPECT_EQ(index.ids_with_key(1, 0x1), (std::vector<std::uint32_t>{1}));
    EXPECT_EQ(index.add({rows + 2, 1}), 2u);
    EXPECT_EQ(index.query({rows, 1}), (Hits{{0, 0}, {1, 1}}));
    EXPECT_EQ(index.query({rows + 2, 1}), (Hits{{2, 0}}));
}

TEST(IndexStore, IdsAcrossAddsAndBatches) {
    const auto codes = testing::random_codes(8, 4, 5);
    Index index = Index::create(4, 2);
    EXPECT_TRUE(index.query({codes.data(), 4}).empty());
    EXPECT_EQ(index.add_batch({codes.data(), 8}), 0u);
    EXPECT_EQ(index.add({codes.data() + 8, 4}), 2u);
    EXPECT_EQ(index.add_batch({}), 3u);
    EXPECT_EQ(index.n(), 3u);
    EXPECT_EQ(index.add_batch({codes.data() + 12, 20}), 3u);
    EXPECT_EQ(index.n(), 8u);
    // The same code twice: two ids, both in the same lists, both found.
    EXPECT_EQ(index.add({codes.data(), 4}), 8u);
    const Hits hits = index.query({codes.data(), 4});
    ASSERT_GE(hits.size(), 2u);
    EXPECT_EQ(hits.front(), (QueryHit{0, 0}));
    EXPECT_EQ(hits.back(), (QueryHit{8, 0}));
    std::vector<std::uint8_t> stored(codes.begin(), codes.end());
    stored.insert(stored.end(), codes.begin(), codes.begin() + 4);
    expect_tables_consistent(index, stored);
}

TEST(IndexStore, LengthChecksLeaveTheIndexUsable) {
    const auto codes = testing::random_codes(3, 8, 9);
    Index index = Index::create(8, 3);
    index.add_batch({codes.data(), 16});
    expect_panic([&] { index.add({codes.data(), 7}); },
                 "assertion `left == right` failed: Index::add row length mismatch\n  left: 7\n right: 8");
    expect_panic([&] { index.add_batch({codes.data(), 20}); },
                 "assertion `left == right` failed: Index::add_batch length not multiple of d_bytes\n"
                 "  left: 4\n right: 0");
    expect_panic([&] { (void)index.query({codes.data(), 9}); },
                 "assertion `left == right` failed: Index::query row length mismatch\n  left: 9\n right: 8");
    EXPECT_EQ(index.n(), 2u);
    EXPECT_EQ(index.add({codes.data() + 16, 8}), 2u);
    EXPECT_EQ(query_all(index, codes), brute_force(codes, codes, 8, 3));
}

// Row limit, injected small: a refused add changes nothing and the index
// keeps answering and accepting rows up to the limit.
TEST(IndexStore, RowLimit) {
    const auto codes = testing::planted_codes(6, 8, 4, 21);
    const std::vector<std::uint8_t> first4(codes.begin(), codes.begin() + 32);
    Index index = Index::create(8, 3, 5);
    EXPECT_EQ(index.max_rows(), 5u);
    EXPECT_EQ(index.add_batch(first4), 0u);
    const auto before = query_all(index, codes);
    expect_full(
        [&] { index.add_batch({codes.data() + 32, 16}); },
        "Index full: adding 2 rows to 4 stored would exceed the limit of 5 rows (ids are unsigned 32-bit)");
    EXPECT_EQ(index.n(), 4u);
    EXPECT_EQ(query_all(index, codes), before);
    expect_tables_consistent(index, first4);
    EXPECT_EQ(index.add({codes.data() + 32, 8}), 4u);
    expect_full(
        [&] { index.add({codes.data() + 40, 8}); },
        "Index full: adding 1 rows to 5 stored would exceed the limit of 5 rows (ids are unsigned 32-bit)");
    EXPECT_EQ(index.add_batch({}), 5u);
    const std::vector<std::uint8_t> first5(codes.begin(), codes.begin() + 40);
    EXPECT_EQ(query_all(index, codes), brute_force(codes, first5, 8, 3));
    expect_tables_consistent(index, first5);
}

// The real limit: a batch of 2^32 one-byte rows is refused before a byte of it
// is read (the buffer is mapped without access rights).
TEST(IndexStore, RowLimitAtTwoToThe32) {
    const std::size_t length = std::size_t{1} << 32;
    void* region = mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(region, MAP_FAILED);
    Index index = Index::create(1, 0);
    const std::uint8_t row = 0x5A;
    index.add({&row, 1});
    expect_full([&] { index.add_batch({static_cast<const std::uint8_t*>(region), length - 1}); },
                "Index full: adding 4294967295 rows to 1 stored would exceed the limit of 4294967295 rows "
                "(ids are unsigned 32-bit)");
    munmap(region, length);
    EXPECT_EQ(index.n(), 1u);
    EXPECT_EQ(index.query({&row, 1}), (Hits{{0, 0}}));
}

struct IndexCase {
    const char* data_kind;
    std::uint64_t n;
    std::uint64_t d_bytes;
    std::uint32_t k;
};

std::vector<std::uint8_t> make(const IndexCase& c) {
    const std::string kind = c.data_kind;
    if (kind == "random") return testing::random_codes(c.n, c.d_bytes, 31);
    if (kind == "clustered") return testing::clustered_codes(c.n, c.d_bytes, 25, 31);
    return testing::planted_codes(c.n, c.d_bytes, c.k + 1, 31);
}

class IndexQuery : public ::testing::TestWithParam<IndexCase> {};

// Rows go in through a mix of single adds and batches of random sizes (empty
// ones included); every probe's hits equal the brute-force scan, and the tables
// hold each row once under each of its keys.
TEST_P(IndexQuery, EqualsBruteForce) {
    const IndexCase c = GetParam();
    const auto stored = make(c);
    Index index = Index::create(c.d_bytes, c.k);
    std::mt19937_64 rng(c.n + c.d_bytes * 131 + c.k);
    for (std::uint64_t r = 0; r < c.n;) {
        const std::uint64_t take = std::min<std::uint64_t>(rng() % 5 == 0 ? 1 : rng() % 200, c.n - r);
        const ByteSpan rows{stored.data() + r * c.d_bytes, take * c.d_bytes};
        const std::uint32_t id = (take == 1 && rng() % 2) ? index.add(rows) : index.add_batch(rows);
        ASSERT_EQ(id, r);
        r += take;
    }
    ASSERT_EQ(index.n(), c.n);
    const auto probes = probes_for(stored, c.d_bytes, c.k, 77);
    const auto got = query_all(index, probes);
    EXPECT_EQ(got, brute_force(probes, stored, c.d_bytes, c.k));
    EXPECT_EQ(query_all(index, probes), got);  // queries change nothing
    expect_tables_consistent(index, stored);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, IndexQuery,
    ::testing::Values(IndexCase{"random", 700, 1, 7}, IndexCase{"planted", 700, 1, 3},
                      IndexCase{"planted", 1500, 16, 0}, IndexCase{"clustered", 800, 32, 0},
                      IndexCase{"planted", 1500, 32, 0}, IndexCase{"planted", 1200, 32, 1},
                      IndexCase{"planted", 800, 64, 3}, IndexCase{"planted", 2000, 8, 3},
                      IndexCase{"clustered", 1500, 8, 3}, IndexCase{"planted", 1500, 2, 1},
                      IndexCase{"planted", 1000, 9, 0}, IndexCase{"planted", 1000, 25, 2},
                      IndexCase{"planted", 1000, 24, 2}, IndexCase{"planted", 600, 32, 31},
                      IndexCase{"planted", 400, 13, 100}),
    [](const auto& info) {
        const IndexCase& c = info.param;
        return std::string(c.data_kind) + "_n" + std::to_string(c.n) + "_d" + std::to_string(c.d_bytes) +
               "_k" + std::to_string(c.k);
    });

// With k = 0 over more than 16 bytes only the first 16 are keyed: rows that
// agree there but differ later are candidates and are rejected.
TEST(IndexQueryEdges, KeyedPrefixOnly) {
    std::vector<std::uint8_t> stored(3 * 32, 0x11);
    stored[32 + 20] ^= 0x01;  // row 1 differs from row 0 after the keyed prefix
    stored[64 + 31] ^= 0x80;  // row 2 too
    Index index = Index::create(32, 0);
    index.add_batch(stored);
    EXPECT_EQ(index.query({stored.data(), 32}), (Hits{{0, 0}}));
    EXPECT_EQ(index.query({stored.data() + 64, 32}), (Hits{{2, 0}}));
}

// Distance exactly k is in, k + 1 is out even when it shares a chunk key; with
// d_bytes = 1, k = 7 only the complement is missed.
TEST(IndexQueryEdges, BoundaryDistances) {
    Index index = Index::create(2, 2);  // chunks [0,5), [5,10), [10,16)
    const std::uint8_t rows[] = {0x00, 0x00, 0x00, 0x03, 0x00, 0x07};
    index.add_batch({rows, 6});
    EXPECT_EQ(index.query({rows, 2}), (Hits{{0, 0}, {1, 2}}));

    Index bits = Index::create(1, 7);
    std::vector<std::uint8_t> all(256);
    for (int v = 0; v < 256; ++v) all[v] = static_cast<std::uint8_t>(v);
    bits.add_batch(all);
    const std::uint8_t q = 0x5C;
    const Hits hits = bits.query({&q, 1});
    ASSERT_EQ(hits.size(), 255u);
    for (const QueryHit& h : hits) {
        EXPECT_NE(h.id, 0xA3u);
        EXPECT_EQ(h.dist, static_cast<std::uint32_t>(__builtin_popcount(h.id ^ q)));
    }
}

// Every allocation of an add_batch or add may fail; each failure leaves the
// index exactly as it was, and the index then accepts the rows and answers
// like the brute-force scan.
class IndexAllocationFailure : public ::testing::TestWithParam<IndexCase> {};

TEST_P(IndexAllocationFailure, LeavesTheIndexUnchanged) {
    const IndexCase c = GetParam();
    const auto codes = make(c);
    const std::uint64_t half = c.n / 2 * c.d_bytes;
    const std::vector<std::uint8_t> stored(codes.begin(), codes.begin() + half);
    const ByteSpan batch(codes.data() + half, codes.size() - half);
    const auto probes = probes_for(codes, c.d_bytes, c.k, 5);

    for (bool single : {false, true}) {
        const ByteSpan offered = single ? batch.first(c.d_bytes) : batch;
        bool succeeded = false;
        for (long failing = 0; !succeeded; ++failing) {
            Index index = Index::create(c.d_bytes, c.k);
            index.add_batch(stored);
            const auto before = query_all(index, probes);
            fail_after = failing;
            try {
                single ? index.add(offered) : index.add_batch(offered);
                succeeded = true;
            } catch (const std::bad_alloc&) {
            }
            fail_after = -1;
            if (succeeded) break;
            ASSERT_EQ(index.n(), c.n / 2);
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
                         [](const auto& info) {
                             const IndexCase& c = info.param;
                             return std::string(c.data_kind) + "_d" + std::to_string(c.d_bytes) + "_k" +
                                    std::to_string(c.k);
                         });

}  // namespace
}  // namespace brimel
