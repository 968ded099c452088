// The pool's size rule. Its stages (nested ones too) and the exceptions they
// pass to the caller are exercised by every join and the out-of-memory tests.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace brimel::pool
