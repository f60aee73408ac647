#include <gtest/gtest.h>

#include "base/arena.h"

TEST(Arena, AlignsFromTheCurrentPosition) {
    Arena a;
    ASSERT_TRUE(arena_init(&a, 1 << 20));
    EXPECT_EQ(a.used, 0u);
    EXPECT_EQ(a.capacity, 1u << 20);
    ByteSpan one = arena_alloc(&a, 3, 1);
    ASSERT_NE(one.data, nullptr);
    EXPECT_EQ(one.size, 3u);
    ByteSpan aligned = arena_alloc(&a, 10, 64);
    ASSERT_NE(aligned.data, nullptr);
    EXPECT_EQ((uintptr_t)aligned.data % 64, 0u);
    // The padding is the distance from base + used to the next multiple.
    u64 expected_start = (a.base + 3 + 63) & ~(u64)63;
    EXPECT_EQ((u64)(uintptr_t)aligned.data, expected_start);
    EXPECT_EQ(a.used, expected_start - a.base + 10);
    // Pieces are usable and do not overlap.
    for (u64 i = 0; i < 10; i++) aligned.data[i] = 0xAB;
    for (u64 i = 0; i < 3; i++) one.data[i] = 0x11;
    EXPECT_EQ(aligned.data[0], 0xAB);
}

TEST(Arena, RefusesBadRequests) {
    Arena a;
    ASSERT_TRUE(arena_init(&a, 4096));
    ByteSpan bad = arena_alloc(&a, 16, 0);
    EXPECT_EQ(bad.data, nullptr);
    EXPECT_EQ(bad.size, 0u);
    EXPECT_EQ(arena_alloc(&a, 16, 3).data, nullptr);
    EXPECT_EQ(arena_alloc(&a, 16, 48).data, nullptr);
    EXPECT_EQ(arena_alloc(&a, 0, 8).data, nullptr);
    EXPECT_EQ(a.used, 0u);
}

TEST(Arena, Exhaustion) {
    Arena a;
    ASSERT_TRUE(arena_init(&a, 4096));
    ByteSpan all = arena_alloc(&a, 4096, 4096);
    ASSERT_NE(all.data, nullptr);  // the base is page-aligned: no padding
    EXPECT_EQ(a.used, 4096u);
    EXPECT_EQ(arena_alloc(&a, 1, 1).data, nullptr);

    ASSERT_TRUE(arena_init(&a, 4096));
    ASSERT_NE(arena_alloc(&a, 4000, 1).data, nullptr);
    // 96 bytes remain, but 128-alignment needs 96 bytes of padding first.
    EXPECT_EQ(arena_alloc(&a, 1, 128).data, nullptr);
    EXPECT_EQ(a.used, 4000u);
    ByteSpan rest = arena_alloc(&a, 96, 1);
    EXPECT_NE(rest.data, nullptr);
    EXPECT_EQ(a.used, 4096u);
    // Sizes near 2^64 must not wrap around the remaining-space check.
    ASSERT_TRUE(arena_init(&a, 4096));
    arena_alloc(&a, 1, 1);
    EXPECT_EQ(arena_alloc(&a, ~(u64)0, 64).data, nullptr);
    EXPECT_EQ(arena_alloc(&a, ~(u64)0 - 60, 1).data, nullptr);
    EXPECT_EQ(a.used, 1u);
}

TEST(Arena, FailedInitLeavesZeros) {
    Arena a = {1, 2, 3};
    EXPECT_FALSE(arena_init(&a, 0));
    EXPECT_EQ(a.base, 0u);
    EXPECT_EQ(a.used, 0u);
    EXPECT_EQ(a.capacity, 0u);
    // An absurd size cannot be committed.
    a = {1, 2, 3};
    EXPECT_FALSE(arena_init(&a, (u64)1 << 62));
    EXPECT_EQ(a.base, 0u);
    EXPECT_EQ(a.capacity, 0u);
}
