// The Index's tables and its guarantee on a refused add: nothing changes. Its
// answers are checked against the reference by the property tests and the
// engine fuzzer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <new>
#include <thread>
#include <vector>

#include "brimel/errors.hpp"
#include "brimel/index.hpp"
#include "brute_force.hpp"
#include "keys/part_keys.hpp"
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
// of `stored`, and for every part the list under each key is exactly the
// ascending ids of the rows with that key.
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
    const Plan plan = index.plan();
    for (std::size_t t = 0; t < plan.parts.size(); ++t) {
        const detail::PartKeys keys(plan.parts[t], d);
        std::map<std::uint64_t, std::vector<std::uint32_t>> lists;
        for (std::uint32_t r = 0; r < index.n(); ++r) lists[keys.key(stored.data() + r * d)].push_back(r);
        for (const auto& [key, ids] : lists) ASSERT_EQ(index.ids_with_key(t, key), ids) << "part " << t;
    }
}

// A 256-bit bank at k = 31 probes 16 parts of 16 bits within 1 bit (17 keys
// each) rather than listing a 256th of the bank under each of 32 one-byte
// chunks, and keys wider parts once it holds millions of rows. (That every
// plan finds every hit: the engine fuzzer.)
TEST(Index, Plans) {
    const auto parts = Index::create(32, 31).plan().parts;
    EXPECT_EQ(parts.size(), 16u);
    EXPECT_TRUE(std::all_of(parts.begin(), parts.end(), [](const Part& p) { return p.threshold == 1; }));
    EXPECT_LT(index_plan(32, 31, 1e7).parts.size(), 16u);
}

// An index that grows past four times the size its plan was made for keys
// again on a plan for its new size (here 40-bit codes at k = 2, from three
// parts to two wider ones); the tables then list every row once and queries
// stay exact.
TEST(Index, KeysAgainAsItGrows) {
    Index index = Index::create(5, 2);
    const Codes first = testing::planted_codes(10000, 5, 3, 3);
    Codes stored = testing::planted_codes(330000, 5, 3, 4);
    index.add_batch(first);
    const std::size_t before = index.plan().parts.size();
    index.add_batch(stored);
    EXPECT_NE(index.plan().parts.size(), before);
    stored.insert(stored.begin(), first.begin(), first.end());
    expect_exact(index, stored, Codes(stored.begin(), stored.begin() + 5 * 300));
}

// Rows crafted to share a part's key (and, for half of them, the next 16 bits)
// put more rows under one key than a list is verified whole for: queries go
// through sub-indexes, nested where rows share more, and through the ids listed
// after a sub-index was made. Equal rows leave no bits to key on.
TEST(Index, HeavyListsStayExact) {
    for (const auto& [d, k] :
         std::vector<std::pair<std::uint64_t, std::uint32_t>>{{8, 3}, {32, 31}, {16, 5}}) {
        Codes stored = testing::planted_codes(14000, d, k, 5);
        for (std::uint64_t r = 0; r < 14000; ++r) {
            stored[r * d] = 0x5A;
            stored[r * d + 1] = 0xC3;
            if (r % 2 != 0) stored[r * d + 2] = stored[r * d + 3] = 0;
        }
        const Codes equal = testing::clustered_codes(6000, d, 2, 6);
        stored.insert(stored.end(), equal.begin(), equal.end());
        const std::size_t half = 10000 * d;
        const Codes queries(stored.begin() + 4000 * d, stored.begin() + 4200 * d);
        const Codes first(stored.begin(), stored.begin() + half);
        Index index = Index::create(d, k);
        index.add_batch(first);
        std::thread racer([&] { expect_exact(index, first, queries); });  // the same sub-indexes, meanwhile
        expect_exact(index, first, queries);
        racer.join();
        index.add_batch({stored.data() + half, stored.size() - half});
        expect_exact(index, stored, queries);
        expect_exact(index, stored, Codes(stored.end() - 50 * d, stored.end()));
    }
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
