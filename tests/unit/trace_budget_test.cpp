// The budget of the "RECV:" trace: the reads of a second past the budget
// are counted, not traced, and told with the next read traced; the window
// crosses the 32-bit wrap of the tick count.
#include <gtest/gtest.h>

#include <cstdint>

#include "trace_budget.h"

namespace {

TEST(TraceBudget, ReadsPastTheBudgetOfASecondAreCountedAndToldWithTheNextTracedOne)
{
    cvn::CTraceBudget budget;
    const std::uint32_t start = 0xFFFFFF00u;  // the wrap comes 256 ms in
    std::uint32_t skipped = 99;
    for (unsigned i = 0; i < cvn::CTraceBudget::kReadsPerSecond; ++i) {
        ASSERT_TRUE(budget.Allow(start + i * 50, &skipped)) << i;
        EXPECT_EQ(0u, skipped);
    }
    // A flood: 500 more reads within the same second.
    for (unsigned i = 0; i < 500; ++i)
        EXPECT_FALSE(budget.Allow(start + 500 + i, &skipped));
    EXPECT_FALSE(budget.Allow(start + 999, &skipped));
    // The next second: the first read is traced, with the count.
    ASSERT_TRUE(budget.Allow(start + 1000, &skipped));
    EXPECT_EQ(501u, skipped);
    ASSERT_TRUE(budget.Allow(start + 1001, &skipped));
    EXPECT_EQ(0u, skipped);
    // A quiet server: every read traced, however they fall.
    for (std::uint32_t t = start + 5000; t < start + 65000; t += 6000) {
        ASSERT_TRUE(budget.Allow(t, &skipped));
        EXPECT_EQ(0u, skipped);
    }
}

}  // namespace
