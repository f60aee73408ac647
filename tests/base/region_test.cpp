#include <gtest/gtest.h>

#include <vector>

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
    ReservedRegion r = {(u8*)1, 2, 3, false};
    EXPECT_FALSE(reserve(&r, 0));
    EXPECT_EQ(r.base, nullptr);
    EXPECT_EQ(r.reserved, 0u);
    r = {(u8*)1, 2, 3, false};
    EXPECT_FALSE(reserve(&r, ~(u64)0 - 4095));
    EXPECT_EQ(r.base, nullptr);
    EXPECT_EQ(r.committed, 0u);
    // An empty region commits nothing.
    EXPECT_FALSE(commit_to(&r, 1));
    EXPECT_TRUE(commit_to(&r, 0));
}

#ifdef __linux__
#include <stdio.h>
#include <sys/mman.h>
#include <sys/utsname.h>
#include <unistd.h>

// Pages of [p, p + size) that are resident.
static u64 resident_pages(const u8* p, u64 size) {
    u64 page = (u64)sysconf(_SC_PAGESIZE);
    u64 start = (u64)p & ~(page - 1);
    u64 count = ((u64)p + size - start + page - 1) / page;
    std::vector<unsigned char> flags(count);
    if (mincore((void*)start, count * page, flags.data()) != 0) return ~(u64)0;
    u64 n = 0;
    for (unsigned char f : flags) n += f & 1;
    return n;
}

// Linux 5.14 and later populate a range on request.
static bool kernel_populates() {
    utsname u;
    unsigned major = 0, minor = 0;
    if (uname(&u) != 0 || sscanf(u.release, "%u.%u", &major, &minor) != 2) return false;
    return major > 5 || (major == 5 && minor >= 14);
}
#endif

TEST(ReservedRegion, PrefaultKeepsContentsAndStaysInsideTheCommit) {
    ReservedRegion r;
    ASSERT_TRUE(reserve(&r, 4 * MiB));
    ASSERT_TRUE(commit_to(&r, 2 * MiB));
    // Written bytes on either side of unaligned range ends survive.
    r.base[4095] = 7;
    r.base[4096 * 3 + 5] = 9;
    EXPECT_TRUE(prefault(r.base + 4000, 4096 * 3 - 3000));
    EXPECT_EQ(r.base[4095], 7);
    EXPECT_EQ(r.base[4096 * 3 + 5], 9);
    // A range that ends at the committed edge, and an empty one.
    EXPECT_TRUE(prefault(r.base + MiB + 17, MiB - 17));
    EXPECT_TRUE(prefault(r.base + 2 * MiB, 0));
#ifdef __linux__
    // The range was populated in one go; the uncommitted rest was not.
    u64 pages = MiB / (u64)sysconf(_SC_PAGESIZE);
    if (kernel_populates()) {
        EXPECT_EQ(resident_pages(r.base + MiB, MiB), pages);
    } else {
        printf("kernel before 5.14: prefault is only advice there, residency not checked\n");
    }
    // Nothing past the range was touched.
    EXPECT_EQ(resident_pages(r.base + 4096 * 4, 4096), 0u);
#endif
    u64 sum = 0;
    for (u64 i = 0; i < 2 * MiB; i++) sum += r.base[i];
    EXPECT_EQ(sum, 16u);
    // Heap memory takes the hint too.
    std::vector<u8> heap(100000, 3);
    EXPECT_TRUE(prefault(heap.data() + 1, heap.size() - 2));
    for (u8 v : heap) ASSERT_EQ(v, 3);
    release(&r);
}
