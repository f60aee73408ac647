// The row kernels: each SSE2 and AVX2 kernel against its scalar twin on random bytes
// for every count up to a few vector steps (so every tail length occurs),
// from sources of exactly the bytes the count needs; and the scalar ones
// against the layouts they promise.
#include <gtest/gtest.h>

#include <stdio.h>

#include <random>
#include <vector>

#include "codec/pnm/expand.h"

struct KernelPair {
    const char* name;
    ExpandFn scalar, sse2;
    u32 src_bytes;  // per pixel
    u32 variant;
};

TEST(ExpandKernels, VectorKernelsMatchScalar) {
    const KernelPair pairs[] = {
        {"rgb", expand_rgb_scalar, expand_rgb_sse2, 3, EXPAND_KERNELS_SSE2},
        {"bgr", expand_bgr_scalar, expand_bgr_sse2, 3, EXPAND_KERNELS_SSE2},
        {"bgra", expand_bgra_scalar, expand_bgra_sse2, 4, EXPAND_KERNELS_SSE2},
        {"grey", expand_grey_scalar, expand_grey_sse2, 1, EXPAND_KERNELS_SSE2},
        {"rgb avx2", expand_rgb_scalar, expand_rgb_avx2, 3, EXPAND_KERNELS_AVX2},
        {"bgr avx2", expand_bgr_scalar, expand_bgr_avx2, 3, EXPAND_KERNELS_AVX2},
    };
    if (!expand_kernels_supported(EXPAND_KERNELS_AVX2)) printf("no AVX2 here: only the SSE2 kernels are checked\n");
    std::mt19937 rng(3);
    for (const KernelPair& k : pairs) {
        if (!expand_kernels_supported(k.variant)) continue;
        for (u64 count = 0; count <= 100; count++) {
            std::vector<u8> src(count * k.src_bytes);
            for (u8& b : src) b = (u8)rng();
            std::vector<u8> a(count * 4 + 16, 0x5A), b(count * 4 + 16, 0x5A);
            k.scalar(src.data(), count, a.data());
            k.sse2(src.data(), count, b.data());
            ASSERT_EQ(a, b) << k.name << " count " << count;
            for (size_t i = count * 4; i < a.size(); i++) ASSERT_EQ(b[i], 0x5A) << k.name << " wrote past the row";
        }
    }
}

TEST(ExpandKernels, Layouts) {
    const u8 src[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    u8 out[8];
    expand_rgb_scalar(src, 2, out);
    EXPECT_EQ(std::vector<u8>(out, out + 8), (std::vector<u8>{1, 2, 3, 255, 4, 5, 6, 255}));
    expand_bgr_scalar(src, 2, out);
    EXPECT_EQ(std::vector<u8>(out, out + 8), (std::vector<u8>{3, 2, 1, 255, 6, 5, 4, 255}));
    expand_bgra_scalar(src, 2, out);
    EXPECT_EQ(std::vector<u8>(out, out + 8), (std::vector<u8>{3, 2, 1, 4, 7, 6, 5, 8}));
    expand_grey_scalar(src, 2, out);
    EXPECT_EQ(std::vector<u8>(out, out + 8), (std::vector<u8>{1, 1, 1, 255, 2, 2, 2, 255}));
    u8 px[8] = {1, 2, 3, 0, 4, 5, 6, 0};
    EXPECT_TRUE(expand_alpha_all_zero(px, 2));
    expand_set_opaque(px, 2);
    EXPECT_EQ(std::vector<u8>(px, px + 8), (std::vector<u8>{1, 2, 3, 255, 4, 5, 6, 255}));
    EXPECT_FALSE(expand_alpha_all_zero(px, 2));
    EXPECT_TRUE(expand_kernels_force(EXPAND_KERNELS_SCALAR));
    EXPECT_EQ(expand_kernels.rgb, expand_rgb_scalar);
    EXPECT_TRUE(expand_kernels_force(EXPAND_KERNELS_SSE2));
    EXPECT_EQ(expand_kernels.rgb, expand_rgb_sse2);
    if (expand_kernels_supported(EXPAND_KERNELS_AVX2)) {
        EXPECT_TRUE(expand_kernels_force(EXPAND_KERNELS_AVX2));
        EXPECT_EQ(expand_kernels.rgb, expand_rgb_avx2);
    }
    EXPECT_FALSE(expand_kernels_force(9));
}
