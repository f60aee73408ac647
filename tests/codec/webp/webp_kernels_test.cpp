// The lossless decoder's kernels: every SSE2 variant against its scalar
// twin on random pixels and every run length up to a few vectors, the
// predictors of all 16 modes, the colour transform over random elements,
// the prefix-code table builder's acceptance rule and size bounds, and the
// lossy decoder's loop filters and inverse DCT (its other kernels are
// tested in webp_vp8_kernels_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "codec/webp/vp8.h"
#include "codec/webp/vp8l.h"

namespace {

std::vector<u32> random_pixels(size_t n, u32 seed) {
    std::mt19937 rng(seed);
    std::vector<u32> v(n);
    for (auto& p : v) p = rng();
    return v;
}

// The AVX2 twins are compared too where the machine has AVX2.
bool has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}

}  // namespace

TEST(WebpKernels, OutputAndAddGreenMatchScalar) {
    for (u32 count = 0; count <= 40; count++) {
        std::vector<u32> src = random_pixels(count + 8, count);
        std::vector<u8> a((count + 8) * 4, 0), b((count + 8) * 4, 0);
        vp8l_output_scalar(src.data(), a.data(), count);
        vp8l_output_sse2(src.data(), b.data(), count);
        ASSERT_EQ(a, b) << count;
        for (u32 k = 0; k < count; k++) {
            ASSERT_EQ(a[4 * k], (u8)(src[k] >> 16));
            ASSERT_EQ(a[4 * k + 2], (u8)src[k]);
            ASSERT_EQ(a[4 * k + 3], (u8)(src[k] >> 24));
        }
        std::vector<u32> g1 = src, g2 = src;
        vp8l_add_green_scalar(g1.data(), count);
        vp8l_add_green_sse2(g2.data(), count);
        ASSERT_EQ(g1, g2) << count;
        if (!has_avx2()) continue;
        std::vector<u8> c((count + 8) * 4, 0);
        vp8l_output_avx2(src.data(), c.data(), count);
        ASSERT_EQ(a, c) << count;
        std::vector<u32> g3 = src;
        vp8l_add_green_avx2(g3.data(), count);
        ASSERT_EQ(g1, g3) << count;
    }
}

TEST(WebpKernels, ColorTransformMatchesScalar) {
    std::mt19937 rng(5);
    for (u32 round = 0; round < 4000; round++) {
        u32 element = rng() & 0xFFFFFF;
        u32 count = round % 37;
        std::vector<u32> a = random_pixels(count, round), b = a;
        std::vector<u32> c = a;
        vp8l_color_scalar(a.data(), count, element);
        vp8l_color_sse2(b.data(), count, element);
        ASSERT_EQ(a, b) << element;
        if (!has_avx2()) continue;
        vp8l_color_avx2(c.data(), count, element);
        ASSERT_EQ(a, c) << element;
    }
    // A hand-checked pixel: green 0x80 (-128) times green-to-red 0x02 is
    // -256, >> 5 is -8: red 0x10 becomes 0x08; blue takes green-to-blue 0
    // and red-to-blue 0x20 (32) times red 8, >> 5: 8.
    u32 p = 0xFF108003u;
    vp8l_color_scalar(&p, 1, 0x200002);
    EXPECT_EQ(p, 0xFF08800Bu);
}

// Runs of one colour are what the vector twins pass over, so the pixels
// come in runs of random lengths (up to 6 or up to 40), some a single pixel
// long; every cache size and counts up to a few hundred.
TEST(WebpKernels, CacheInsertMatchesScalar) {
    std::mt19937 rng(9);
    for (u32 bits = 1; bits <= 11; bits++) {
        for (u32 count = 0; count <= 300; count += count < 40 ? 1 : 37) {
            std::vector<u32> pixels;
            while (pixels.size() < count) {
                u32 v = rng() % 3 == 0 ? 0 : rng();
                for (u32 n = 1 + rng() % (bits % 2 ? 6 : 40); n > 0 && pixels.size() < count; n--) pixels.push_back(v);
            }
            std::vector<u32> a(1u << bits), b;
            for (auto& e : a) e = rng();
            const std::vector<u32> original = a;
            b = a;
            vp8l_cache_insert_scalar(a.data(), 32 - bits, pixels.data(), count);
            vp8l_cache_insert_sse2(b.data(), 32 - bits, pixels.data(), count);
            ASSERT_EQ(a, b) << "bits " << bits << " count " << count;
            if (has_avx2()) {
                b = original;
                vp8l_cache_insert_avx2(b.data(), 32 - bits, pixels.data(), count);
                ASSERT_EQ(a, b) << "AVX2, bits " << bits << " count " << count;
            }
            if (bits > 6) continue;
            // Backward: the same entries, some never reached by the pixels.
            std::vector<u32> c(a.size());
            for (auto& e : c) e = rng();
            std::vector<u32> c2 = c;
            vp8l_cache_insert_scalar(c.data(), 32 - bits, pixels.data(), count);
            vp8l_cache_insert_backward(c2.data(), 32 - bits, pixels.data(), count);
            ASSERT_EQ(c, c2) << "backward, bits " << bits << " count " << count;
        }
    }
}

// Random rows, and rows whose row above comes in runs of one colour (drawn
// images), where select and the clamped gradient take a shortcut.
TEST(WebpKernels, PredictorsMatchScalar) {
    const u32 w = 64;
    for (u32 mode = 0; mode < 16; mode++) {
        for (u32 count = 1; count <= 60; count++) {
            std::vector<u32> img = random_pixels(3 * w, mode * 100 + count);
            if (count > 30) {
                std::mt19937 rng(count);
                for (u32 i = 1; i < w; i++) {
                    if (rng() % 7 != 0) img[i] = img[i - 1];
                }
            }
            std::vector<u32> other = img;
            u32 x = 1 + count % 5;
            u32 n = count > 30 ? count - 30 : count;
            vp8l_predict_scalar[mode](&img[w + x], &img[x], n);
            std::vector<u32> third = other;
            Vp8lPredictFn f = vp8l_predict_sse2[mode] ? vp8l_predict_sse2[mode] : vp8l_predict_scalar[mode];
            f(&other[w + x], &other[x], n);
            ASSERT_EQ(img, other) << "mode " << mode << " count " << count;
            if (!has_avx2() || !vp8l_predict_avx2[mode]) continue;
            vp8l_predict_avx2[mode](&third[w + x], &third[x], n);
            ASSERT_EQ(img, third) << "AVX2 mode " << mode << " count " << count;
        }
    }
    // Mode 13 by hand: average of L and T per channel, then half its
    // distance from TL added, clamped.
    u32 up[3] = {0x00000000u, 0x10203040u, 0};  // TL, T
    u32 row[2] = {0x30405060u, 0};              // L, the pixel
    vp8l_predict_scalar[13](&row[1], &up[1], 1);
    // avg = 20 30 40 50; + (avg - 0) / 2 = 30 48 60 78 (hex 0x1E..): per channel.
    EXPECT_EQ(row[1], 0x30486078u);
}

TEST(WebpKernels, DispatchCanBeForced) {
    ASSERT_TRUE(vp8l_force_kernels(VP8L_KERNELS_SCALAR));
    EXPECT_EQ(vp8l_kernels()->output, vp8l_output_scalar);
    ASSERT_TRUE(vp8l_force_kernels(VP8L_KERNELS_SSE2));
    EXPECT_EQ(vp8l_kernels()->output, vp8l_output_sse2);
    EXPECT_EQ(vp8l_force_kernels(VP8L_KERNELS_AVX2), has_avx2());
    if (has_avx2()) {
        EXPECT_EQ(vp8l_kernels()->color, vp8l_color_avx2);
    }
    EXPECT_FALSE(vp8l_force_kernels(7));
    ASSERT_TRUE(vp8l_force_kernels(VP8L_KERNELS_BEST));
}

TEST(WebpHuffman, AcceptanceRule) {
    std::vector<u32> table(2704);
    std::vector<u8> lengths(280, 0);
    EXPECT_EQ(vp8l_build_table(lengths.data(), 280, 8, table.data(), 654), 0u);  // no symbol
    lengths[200] = 5;
    ASSERT_EQ(vp8l_build_table(lengths.data(), 280, 8, table.data(), 654), 256u);  // one: no bits
    EXPECT_EQ(table[0], 200u << 16);
    EXPECT_EQ(table[255], 200u << 16);
    lengths[201] = 1;
    EXPECT_EQ(vp8l_build_table(lengths.data(), 280, 8, table.data(), 654), 0u);  // incomplete
    lengths[200] = 1;
    lengths[202] = 1;
    EXPECT_EQ(vp8l_build_table(lengths.data(), 280, 8, table.data(), 654), 0u);  // over-subscribed
    lengths[202] = 0;
    ASSERT_EQ(vp8l_build_table(lengths.data(), 280, 8, table.data(), 654), 256u);
    EXPECT_EQ(table[0], (200u << 16) | 1);
    EXPECT_EQ(table[1], (201u << 16) | 1);
}

// Random complete codes with long lengths: the table decodes every symbol
// by its canonical code and never outgrows the reservation.
TEST(WebpHuffman, RandomCompleteCodesFitTheirReservation) {
    std::mt19937 rng(11);
    for (u32 alphabet : {40u, 256u, 280u, 280u + 2048u}) {
        for (u32 round = 0; round < 300; round++) {
            // Split the code space: start with one symbol of length 0 and
            // lengthen random leaves up to 15.
            std::vector<u8> lengths(alphabet, 0);
            std::vector<u32> leaves = {0};
            std::vector<u8> depth = {0};
            u32 target = 2 + rng() % (alphabet - 1);
            while (leaves.size() < target) {
                size_t pick = rng() % leaves.size();
                if (rng() % 3 == 0) pick = leaves.size() - 1;
                if (depth[pick] >= 15) break;
                depth[pick]++;
                depth.push_back(depth[pick]);
                leaves.push_back(0);
            }
            std::vector<u32> symbols(alphabet);
            for (u32 s = 0; s < alphabet; s++) symbols[s] = s;
            std::shuffle(symbols.begin(), symbols.end(), rng);
            for (size_t k = 0; k < depth.size(); k++) lengths[symbols[k]] = depth[k];
            u32 reserve = vp8l_table_reservation(alphabet);
            std::vector<u32> table(reserve);
            u32 size = vp8l_build_table(lengths.data(), alphabet, 8, table.data(), reserve);
            ASSERT_GT(size, 0u);
            ASSERT_LE(size, reserve);
            // Canonical codes, decoded through the table.
            u32 next = 0;
            for (u32 len = 1; len <= 15; len++) {
                for (u32 s = 0; s < alphabet; s++) {
                    if (lengths[s] != len) continue;
                    u64 bits = 0;
                    for (u32 i = 0; i < len; i++) bits |= (u64)((next >> (len - 1 - i)) & 1) << i;
                    Vp8lBits br = {nullptr, 0, bits, 0, 64, 0};
                    ASSERT_EQ(vp8l_read_symbol(table.data(), &br), s);
                    ASSERT_EQ(br.count, 64 - len);
                    Vp8lBits peeked = {nullptr, 0, bits, 0, 64, 0};
                    ASSERT_EQ(vp8l_read_symbol_peek(table.data(), &peeked, bits), s);
                    ASSERT_EQ(peeked.bits, br.bits);
                    next++;
                }
                next <<= 1;
            }
        }
    }
    EXPECT_EQ(vp8l_table_reservation(19), 128u);
    EXPECT_EQ(vp8l_table_reservation(281), 655u);
    EXPECT_EQ(vp8l_table_reservation(280 + 128), 782u);
    EXPECT_EQ(vp8l_table_reservation(280 + 2048), 2704u);
}

// The lossy decoder's loop filters: the SSE2 twins (and the AVX2 normal
// filter where the CPU has AVX2) equal the scalar kernels on random planes
// (smooth ones, so that edges pass the thresholds, and rough ones), for
// every limit, interior limit and variance threshold the
// header can give, with and without the left, top and inner edges.
TEST(WebpKernels, LoopFiltersMatchScalar) {
    std::mt19937 rng(7);
    const u32 stride = 48, cstride = 32;
    for (int round = 0; round < 3000; round++) {
        std::vector<u8> y(stride * 24), u(cstride * 12), v(cstride * 12);
        int spread = round % 3 == 0 ? 256 : round % 3 == 1 ? 24 : 6;
        int base = (int)(rng() % 256);
        for (auto* plane : {&y, &u, &v}) {
            for (auto& p : *plane) p = (u8)std::clamp(base + (int)(rng() % spread) - spread / 2, 0, 255);
        }
        int level = 1 + (int)(rng() % 63);
        int sharpness = (int)(rng() % 8);
        int ilevel = sharpness > 0 ? level >> (sharpness > 4 ? 2 : 1) : level;
        if (sharpness > 0 && ilevel > 9 - sharpness) ilevel = 9 - sharpness;
        if (ilevel < 1) ilevel = 1;
        Vp8FilterInfo f = {(u8)(2 * level + ilevel), (u8)ilevel, (u8)(level >= 40 ? 2 : level >= 15 ? 1 : 0),
                           (u8)(rng() & 1)};
        bool left = rng() & 1, top = rng() & 1;
        // The macroblock at (16, 8) of luma, (8, 4) of chroma: room for 4 pixels before each edge.
        std::vector<u8> y2 = y, u2 = u, v2 = v;
        std::vector<u8> y3 = y, u3 = u, v3 = v;
        vp8_filter_normal_mb_scalar(&y[8 * stride + 16], &u[4 * cstride + 8], &v[4 * cstride + 8], stride, cstride,
                                    &f, left, top);
        vp8_filter_normal_mb_sse2(&y2[8 * stride + 16], &u2[4 * cstride + 8], &v2[4 * cstride + 8], stride,
                                  cstride, &f, left, top);
        ASSERT_EQ(y, y2) << "normal, round " << round;
        ASSERT_EQ(u, u2) << "normal, round " << round;
        ASSERT_EQ(v, v2) << "normal, round " << round;
        if (vp8_kernels_supported(VP8_KERNELS_AVX2)) {
            vp8_filter_normal_mb_avx2(&y3[8 * stride + 16], &u3[4 * cstride + 8], &v3[4 * cstride + 8], stride,
                                      cstride, &f, left, top);
            ASSERT_EQ(y, y3) << "normal AVX2, round " << round;
            ASSERT_EQ(u, u3) << "normal AVX2, round " << round;
            ASSERT_EQ(v, v3) << "normal AVX2, round " << round;
        }
        vp8_filter_simple_mb_scalar(&y[8 * stride + 16], stride, &f, left, top);
        vp8_filter_simple_mb_sse2(&y2[8 * stride + 16], stride, &f, left, top);
        ASSERT_EQ(y, y2) << "simple, round " << round;
    }
}

// The inverse DCT's SSE2 twin equals the scalar transform on random
// coefficients of every size, overflowing ones included.
TEST(WebpKernels, InverseDctMatchesScalar) {
    std::mt19937 rng(11);
    for (int round = 0; round < 20000; round++) {
        i16 in[16];
        int range = round % 4 == 0 ? 65536 : round % 4 == 1 ? 4096 : round % 4 == 2 ? 256 : 16;
        for (auto& c : in) c = (i16)((int)(rng() % range) - range / 2);
        u8 a[4 * 8], b[4 * 8];
        for (u32 i = 0; i < sizeof a; i++) a[i] = b[i] = (u8)rng();
        vp8_idct_add(in, a, 8);
        vp8_idct_add_sse2(in, b, 8);
        ASSERT_EQ(memcmp(a, b, sizeof a), 0) << "round " << round;
    }
}
