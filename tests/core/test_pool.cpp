#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

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

TEST(Pool, ExceptionReachesTheCaller) {
    EXPECT_THROW(run([] {
                     map_indexed<int>(64, [](std::size_t t) -> int {
                         if (t == 37) throw std::runtime_error("task 37");
                         return 0;
                     });
                 }),
                 std::runtime_error);
}

TEST(Pool, NestedStageRunsInTheWorkersArena) {
    std::atomic<int> inner{0};
    run([&] {
        map_indexed<int>(8, [&](std::size_t) {
            run([&] { map_indexed<int>(8, [&](std::size_t) { return ++inner; }); });
            return 0;
        });
    });
    EXPECT_EQ(inner.load(), 64);
}

}  // namespace
}  // namespace brimel::pool
