#include <gtest/gtest.h>

#include "base/region.h"

static constexpr u64 MiB = 0x100000;

TEST(ReservedRegion, CommitsInMebibyteStepsCappedAtTheReservation) {
    ReservedRegion r;
    ASSERT_TRUE(reserve(&r, 5 * MiB + 100));
    EXPECT_EQ(r.committed, 0u);
    EXPECT_EQ(r.reserved, 5 * MiB + 100);

    ASSERT_TRUE(commit_to(&r, 1));
    EXPECT_EQ(r.committed, MiB);
    r.base[0] = 1;
    r.base[MiB - 1] = 2;

    ASSERT_TRUE(commit_to(&r, MiB));  // already there
    EXPECT_EQ(r.committed, MiB);

    ASSERT_TRUE(commit_to(&r, MiB + 1));
    EXPECT_EQ(r.committed, 2 * MiB);
    // Earlier contents survive a later commit.
    EXPECT_EQ(r.base[0], 1);
    EXPECT_EQ(r.base[MiB - 1], 2);

    // The last step is capped at the reservation, not rounded past it.
    ASSERT_TRUE(commit_to(&r, 5 * MiB + 1));
    EXPECT_EQ(r.committed, 5 * MiB + 100);
    r.base[5 * MiB + 99] = 3;

    EXPECT_FALSE(commit_to(&r, 5 * MiB + 101));
    EXPECT_EQ(r.committed, 5 * MiB + 100);

    release(&r);
    EXPECT_EQ(r.base, nullptr);
    EXPECT_EQ(r.committed, 0u);
    EXPECT_EQ(r.reserved, 0u);
    release(&r);  // releasing an empty region is harmless
}

TEST(ReservedRegion, CommittedMemoryStartsZeroed) {
    ReservedRegion r;
    ASSERT_TRUE(reserve(&r, 3 * MiB));
    ASSERT_TRUE(commit_to(&r, 3 * MiB));
    u64 sum = 0;
    for (u64 i = 0; i < 3 * MiB; i += 4096) sum += r.base[i];
    EXPECT_EQ(sum, 0u);
    release(&r);
}

TEST(ReservedRegion, RefusesImpossibleReservations) {
    ReservedRegion r = {(u8*)1, 2, 3};
    EXPECT_FALSE(reserve(&r, 0));
    EXPECT_EQ(r.base, nullptr);
    EXPECT_EQ(r.reserved, 0u);
    r = {(u8*)1, 2, 3};
    EXPECT_FALSE(reserve(&r, ~(u64)0 - 4095));
    EXPECT_EQ(r.base, nullptr);
    EXPECT_EQ(r.committed, 0u);
    // An empty region commits nothing.
    EXPECT_FALSE(commit_to(&r, 1));
    EXPECT_TRUE(commit_to(&r, 0));
}
