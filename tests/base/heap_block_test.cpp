// Heap blocks and the budget they share.
#include <gtest/gtest.h>

#include <cstring>

#include "base/HeapBlock.h"

TEST(HeapBlock, GrowsKeepingItsBytesAndReleasesOnce) {
    HeapBlock b;
    EXPECT_FALSE(b.Held());
    ASSERT_TRUE(b.Resize(10));
    std::memcpy(b.Data(), "0123456789", 10);
    ASSERT_TRUE(b.Resize(1 << 20));
    EXPECT_EQ(std::memcmp(b.Data(), "0123456789", 10), 0);
    ASSERT_TRUE(b.Resize(4));  // shrinking keeps the memory
    EXPECT_EQ(b.Size(), 4u);
    b.Release();
    EXPECT_FALSE(b.Held());
    b.Release();  // a second release does nothing
}

TEST(HeapBlock, BlocksSharingABudgetCannotHoldMoreThanIt) {
    HeapBudget budget(100);
    HeapBlock a, b;
    a.SetBudget(&budget);
    b.SetBudget(&budget);
    ASSERT_TRUE(a.Resize(60));
    EXPECT_FALSE(b.Resize(50));  // 110 > 100: refused, nothing taken
    EXPECT_EQ(budget.used.load(), 60u);
    EXPECT_FALSE(b.Held());
    ASSERT_TRUE(b.Resize(40));
    EXPECT_FALSE(a.Resize(61));  // growing counts only the bytes added
    EXPECT_EQ(a.Size(), 60u);
    a.Release();
    EXPECT_EQ(budget.used.load(), 40u);
    {
        HeapBlock c;
        c.SetBudget(&budget);
        EXPECT_TRUE(c.Resize(60));
        EXPECT_EQ(budget.used.load(), 100u);
    }  // going out of scope gives its bytes back
    EXPECT_EQ(budget.used.load(), 40u);
    EXPECT_FALSE(a.Resize(size_t{1} << 62));  // beyond any budget
}
