// The Index and the Bank against the reference over many segments and merges,
// removals and concurrent readers, and their guarantee on a refused add:
// nothing changes. The engine fuzzer checks them on drawn inputs too.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "brimel/errors.hpp"
#include "brimel/index.hpp"
#include "brimel/plan.hpp"
#include "brute_force.hpp"
#include "test_support.hpp"

// Allocation failure injection: while `fail_after` is non-negative, the
// allocation that brings it below zero throws std::bad_alloc.
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

// Every query's hits, one by one and as a batch, equal the brute-force scan
// of `stored`.
void expect_exact(const Index& index, const Codes& stored, const Codes& queries) {
    const std::uint64_t d = index.d_bytes();
    ASSERT_EQ(stored.size(), index.n() * d);
    std::vector<std::vector<QueryHit>> want(queries.size() / d);
    const auto records =
        reference::cross_join(queries.data(), want.size(), stored.data(), index.n(), d, index.k());
    EXPECT_EQ(index.query_batch(queries, index.k()), records);
    for (const PairRecord& p : records) want[p.i].push_back({p.j, p.dist});
    for (std::size_t q = 0; q < want.size(); ++q)
        EXPECT_EQ(index.query({queries.data() + q * d, d}), want[q]);
}

// A large segment keys on parts with thresholds that cover k (box principle)
// and stay within a directory of half its rows; a few rows, or a k
// no cheap probes cover, are scanned.
TEST(Index, SegmentPlans) {
    for (const auto& [d, k, rows] : std::vector<std::tuple<std::uint64_t, std::uint32_t, std::uint64_t>>{
             {32, 31, 10'000'000}, {8, 3, 1'000'000}, {32, 0, 100'000}, {16, 20, 5000}}) {
        const Plan plan = segment_plan(d, k, rows);
        ASSERT_FALSE(plan.is_scan()) << d << " " << k;
        std::uint64_t covered = 0;
        for (const Part& part : plan.parts) {
            covered += part.threshold + 1;
            EXPECT_LE(std::uint64_t{2} << part.width(), rows + 2);
        }
        EXPECT_GT(covered, k);
    }
    EXPECT_TRUE(segment_plan(32, 31, 3).is_scan());
    EXPECT_TRUE(segment_plan(65536, 524287, 100'000).is_scan());
}

// Small tails and merge factors make many segments and merges: an index fed
// row by row and in batches of every size, rows crafted to share part values
// (floods), clusters of equal rows and planted near pairs, stays exact; so
// does a copy through its file image.
TEST(Index, SegmentsAndMergesStayExact) {
    for (const auto& [d, k, tail, factor] :
         std::vector<std::tuple<std::uint64_t, std::uint32_t, std::uint64_t, std::uint32_t>>{
             {8, 3, 16, 2}, {32, 31, 64, 4}, {16, 5, 7, 3}, {5, 2, 0, 4}}) {
        Codes stored = testing::planted_codes(9000, d, k, 5);
        for (std::uint64_t r = 0; r < 3000; ++r) stored[r * d] = 0x5A;  // a flood on the first byte
        const Codes equal = testing::clustered_codes(1000, d, 3, 6);
        stored.insert(stored.end(), equal.begin(), equal.end());
        Index index = Index::create(d, k, static_cast<std::uint32_t>(kMaxRows), {tail, factor});
        std::uint64_t r = 0;
        for (std::uint64_t run = 1; r < 10000; run = run * 3 % 2047 + 1) {
            const std::uint64_t m = std::min<std::uint64_t>(run, 10000 - r);
            if (m == 1)
                index.add({stored.data() + r * d, d});
            else
                index.add_batch({stored.data() + r * d, m * d});
            r += m;
        }
        EXPECT_GT(index.segments(), 1u);
        const Codes queries(stored.begin() + 2900 * d, stored.begin() + 3100 * d);
        expect_exact(index, stored, queries);
        std::vector<std::uint8_t> image(index.saved_size());
        index.save_to(image);
        expect_exact(Index::from_bytes(image), stored, Codes(stored.end() - 100 * d, stored.end()));
    }
}

// Readers on several threads that meet the same heavy lists at once (rows
// sharing their first 2 bytes, whose heavy values and sub-indexes are made by
// whichever probe comes first) all answer exactly.
TEST(Index, ConcurrentReadersOfHeavyLists) {
    const std::uint64_t d = 8, n = 20000, q = 400;
    Codes stored = testing::planted_codes(n, d, 3, 13);
    for (std::uint64_t r = 0; r < n; ++r) stored[r * d] = stored[r * d + 1] = 0x5A;
    Index index = Index::create(d, 3);
    index.add_batch(stored);
    std::vector<std::vector<QueryHit>> want(q);
    for (const PairRecord& p : reference::cross_join(stored.data(), q, stored.data(), n, d, 3))
        want[p.i].push_back({p.j, p.dist});
    std::vector<std::thread> readers;
    std::atomic<std::uint64_t> wrong{0};
    for (int t = 0; t < 4; ++t)
        readers.emplace_back([&] {
            for (std::uint64_t i = 0; i < q; ++i) wrong += index.query({stored.data() + i * d, d}) != want[i];
        });
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(wrong, 0u);
}

// A Bank answers with the live rows only, through removals, merges that drop
// removed rows and a file image; readers on other threads meanwhile always
// see a whole published state: every hit they get is a row of that state.
TEST(Bank, RemovalsAndConcurrentReaders) {
    const std::uint64_t d = 16;
    const std::uint32_t k = 6;
    const Codes stored = testing::planted_codes(6000, d, k, 9);
    Bank bank(d, k, {32, 2});
    std::atomic<bool> done{false};
    std::atomic<std::uint64_t> reads{0};
    std::thread reader([&] {
        // Row 0 is never removed: each published state that holds it answers it.
        while (!done) {
            const auto hits = bank.query({stored.data(), d}, k);
            if (!hits.empty()) EXPECT_EQ(hits.front(), (QueryHit{0, 0}));
            ++reads;
        }
    });
    std::vector<bool> live(6000, false);
    std::vector<std::uint64_t> gone;
    for (std::uint64_t r = 0; r < 6000; r += 500) {
        bank.add_batch({stored.data() + r * d, 500 * d});
        for (std::uint64_t i = r; i < r + 500; ++i) live[i] = true;
        gone.clear();
        for (std::uint64_t i = 1 + r % 7; i < r + 500; i += 3)
            if (live[i]) gone.push_back(i), live[i] = false;
        EXPECT_EQ(bank.remove(gone), gone.size());
        EXPECT_EQ(bank.remove(gone), 0u);  // already removed
        // The reader reads between writes, and during the next one.
        for (const std::uint64_t seen = reads; reads == seen;) std::this_thread::yield();
    }
    done = true;
    reader.join();
    EXPECT_THROW(bank.remove(std::vector<std::uint64_t>{6000}), std::out_of_range);
    Codes live_codes;
    std::vector<std::uint32_t> ids;
    for (std::uint32_t i = 0; i < 6000; ++i)
        if (live[i]) {
            live_codes.insert(live_codes.end(), stored.begin() + i * d, stored.begin() + (i + 1) * d);
            ids.push_back(i);
        }
    EXPECT_EQ(bank.live(), ids.size());
    std::vector<std::uint8_t> image(bank.saved_size());
    bank.save_to(image);
    const auto loaded = Bank::from_bytes(image);
    const Codes queries(stored.begin(), stored.begin() + 300 * d);
    auto want = reference::cross_join(queries.data(), 300, live_codes.data(), ids.size(), d, k);
    for (PairRecord& p : want) p.j = ids[p.j];
    EXPECT_EQ(bank.query_batch(queries, k), want);
    EXPECT_EQ(loaded->query_batch(queries, k), want);
    EXPECT_EQ(loaded->next_id(), 6000u);
}

// A refused add (row limit injected small) changes nothing; the index keeps
// taking rows up to the limit.
TEST(Index, RowLimit) {
    const auto codes = testing::planted_codes(6, 8, 4, 21);
    const Codes first4(codes.begin(), codes.begin() + 32), first5(codes.begin(), codes.begin() + 40);
    Index index = Index::create(8, 3, 5);
    EXPECT_EQ(index.add_batch(first4), 0u);
    EXPECT_THROW(index.add_batch({codes.data() + 32, 16}), IndexFull);
    expect_exact(index, first4, codes);
    EXPECT_EQ(index.add({codes.data() + 32, 8}), 4u);
    EXPECT_THROW(index.add({codes.data() + 40, 8}), IndexFull);
    EXPECT_EQ(index.add_batch({}), 5u);
    expect_exact(index, first5, codes);
}

// Every allocation of an add or add_batch may fail; each failure leaves the
// index as it was, and the index then takes the rows and answers exactly.
TEST(Index, AllocationFailureLeavesItUnchanged) {
    for (const auto& [n, d, k] : std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>>{
             {300, 8, 3}, {200, 32, 1}, {200, 2, 3}}) {
        const auto codes = testing::clustered_codes(n, d, 25, 31);
        const Codes stored(codes.begin(), codes.begin() + n / 2 * d);
        const ByteSpan batch = ByteSpan(codes).subspan(n / 2 * d);
        for (const ByteSpan offered : {batch, batch.first(d)}) {
            for (long failing = 0;; ++failing) {
                Index index = Index::create(d, k);
                index.add_batch(stored);
                bool succeeded = false;
                fail_after = failing;
                try {
                    (void)(offered.size() == d ? index.add(offered) : index.add_batch(offered));
                    succeeded = true;
                } catch (const std::bad_alloc&) {
                }
                fail_after = -1;
                if (succeeded) break;
                expect_exact(index, stored, codes);
                index.add_batch(batch);
                expect_exact(index, codes, codes);
            }
        }
    }
}

}  // namespace
}  // namespace brimel
