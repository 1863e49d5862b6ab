// The restart budget: at most three restarts within any minute.
#include <gtest/gtest.h>

#include "RestartRequest.h"

namespace {

TEST(RestartBudget, ThreeRestartsWithinAnyMinuteThenOneMoreOnlyAsTheOldestLeavesIt) {
    RestartRequest::Budget budget;
    EXPECT_TRUE(budget.take(1000));
    EXPECT_TRUE(budget.take(1000));
    EXPECT_TRUE(budget.take(30000));
    EXPECT_FALSE(budget.take(30001));
    EXPECT_FALSE(budget.take(60999)) << "the first two are still within the minute";
    EXPECT_TRUE(budget.take(61000)) << "the first left the minute";
    EXPECT_TRUE(budget.take(61000)) << "and so did the second";
    EXPECT_FALSE(budget.take(61001));
    // A refusal is not counted: the window moves on with the restarts made.
    EXPECT_TRUE(budget.take(90000));
}

} // namespace
