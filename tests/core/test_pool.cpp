// The pool's size rule, and split_records, a stage on it. Its stages (nested
// ones too) and the exceptions they pass to the caller are exercised by every
// join and the out-of-memory tests.
#include <gtest/gtest.h>
#include <oneapi/tbb/task_arena.h>

#include <thread>
#include <vector>

#include "brimel/pairs.hpp"
#include "brimel/pool.hpp"

namespace brimel::pool {
namespace {

TEST(PoolSize, EnvironmentRule) {
    using std::nullopt;
    EXPECT_EQ(size_from_environment(nullopt, nullopt, 6), 6u);
    EXPECT_EQ(size_from_environment("3", "5", 6), 3u);
    EXPECT_EQ(size_from_environment("64", nullopt, 2), 64u);  // above the CPU count
    EXPECT_EQ(size_from_environment("0", "5", 6), 6u);        // 0 means the CPU count
    EXPECT_EQ(size_from_environment("abc", "5", 6), 5u);      // not a number: next variable
    EXPECT_EQ(size_from_environment("-2", "5", 6), 5u);
    EXPECT_EQ(size_from_environment("", nullopt, 6), 6u);
    EXPECT_EQ(size_from_environment("+4", nullopt, 6), 4u);
    EXPECT_EQ(size_from_environment(nullopt, "0", 6), 6u);
    EXPECT_EQ(size_from_environment(nullopt, "x", 6), 6u);
    EXPECT_EQ(size_from_environment("4 ", nullopt, 6), 6u);
    // Above max(256, 4 * CPUs) the size is clamped, however many digits (2^32 + 1
    // once wrapped to 1 worker).
    EXPECT_EQ(size_from_environment("4294967297", nullopt, 2), 256u);
    EXPECT_EQ(size_from_environment("99999999999999999999999", "5", 2), 256u);
    EXPECT_EQ(size_from_environment(nullopt, "18446744073709551615", 100), 400u);
    EXPECT_EQ(size_from_environment("256", nullopt, 2), 256u);
}

// Every stage a thread starts runs on the pool, the first and the later ones
// alike: after its first stage a thread stays attached to an implicit arena of
// the hardware's size, which must not take the later stages. Meaningful under
// a pool size other than the CPU count (the runs with 1 and 8 workers).
TEST(PoolStages, EveryStageOnThePool) {
    std::vector<int> seen;
    std::thread([&] {
        for (int stage = 0; stage < 3; ++stage)
            run([&] { seen.push_back(oneapi::tbb::this_task_arena::max_concurrency()); });
    }).join();
    EXPECT_EQ(seen, std::vector<int>(3, static_cast<int>(worker_count())));
}

}  // namespace
}  // namespace brimel::pool

namespace brimel {
namespace {

// Records over several of split_records' tasks, into columns of either
// distance width.
TEST(SplitRecords, ColumnsInRecordOrder) {
    for (const unsigned dist_bytes : {2u, 4u}) {
        std::vector<PairRecord> records;
        for (std::uint32_t r = 0; r < 200'000; ++r)
            records.push_back({r * 3, r * 7 + 1, r % 60'000 + (dist_bytes == 4 ? 70'000 : 0)});
        std::vector<std::uint32_t> i(records.size()), j(records.size()), dist32(records.size());
        std::vector<std::uint16_t> dist16(records.size());
        split_records(records, i.data(), j.data(),
                      dist_bytes == 2 ? static_cast<void*>(dist16.data()) : dist32.data(), dist_bytes);
        for (std::size_t r = 0; r < records.size(); ++r) {
            ASSERT_EQ(i[r], records[r].i);
            ASSERT_EQ(j[r], records[r].j);
            ASSERT_EQ(dist_bytes == 2 ? dist16[r] : dist32[r], records[r].dist);
        }
    }
}

}  // namespace
}  // namespace brimel
