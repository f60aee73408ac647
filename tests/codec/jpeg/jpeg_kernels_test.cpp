// The vector kernels against their scalar twins (bit for bit, colour
// conversion over every Y, Cb, Cr triple) and the inverse DCT against a
// double-precision reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "codec/jpeg/jpeg.h"
#include "codec/jpeg/kernels.h"
#include "codec/jpeg/mask_sse2.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kSqrtHalf = 0.70710678118654752440;

struct Constants {
    alignas(64) u8 table[384];
    Constants() { write_idct_constants(table); }
};

TEST(JpegKernels, IdctVariantsAgreeOnRandomAndExtremeBlocks) {
    Constants k;
    std::mt19937 rng(7);
    alignas(16) i16 coef[64], quant[64];
    u8 a[8 * 16], b[8 * 16];
    for (u32 trial = 0; trial < 20000; trial++) {
        u32 kind = trial % 4;
        for (u32 i = 0; i < 64; i++) {
            if (kind == 0) coef[i] = (i16)((int)(rng() % 2048) - 1024), quant[i] = (i16)(1 + rng() % 16);
            if (kind == 1) coef[i] = (i16)rng(), quant[i] = (i16)rng();  // wrapping products, saturation
            if (kind == 2) coef[i] = (rng() % 4 == 0) ? (i16)((int)(rng() % 200) - 100) : 0, quant[i] = (i16)(1 + rng() % 255);
            if (kind == 3) coef[i] = (i & 1) ? 32767 : -32768, quant[i] = 1;
        }
        memset(a, 0, sizeof a);
        memset(b, 0, sizeof b);
        jpeg_idct_scalar(coef, quant, k.table, a, 16);
        jpeg_idct_sse2(coef, quant, k.table, b, 16);
        ASSERT_EQ(memcmp(a, b, sizeof a), 0) << "trial " << trial;
    }
}

// The row kernels of every variant the machine has against the scalar row,
// on rows of 1 to 9 blocks mixing flat and busy ones, so the AVX2 pairs meet
// every mix (flat, low-corner and busy blocks side by side) and an odd last
// block.
TEST(JpegKernels, IdctRowVariantsAgreeWithTheScalarRow) {
    Constants k;
    std::mt19937 rng(9);
    alignas(16) i16 quant[64];
    std::vector<i16> coef(64 * 9);
    const u32 stride = 9 * 8 + 8;
    std::vector<u8> a(stride * 8), b(stride * 8);
    JpegIdctRowFn variants[] = {jpeg_idct_row_sse2, jpeg_idct_row_avx2};
    bool avx2 = __builtin_cpu_supports("avx2");
    u32 compared = 0;
    for (u32 trial = 0; trial < 4000; trial++) {
        u32 count = 1 + trial % 9;
        for (u32 i = 0; i < 64; i++) quant[i] = (i16)(trial % 3 == 0 ? (i16)rng() : 1 + rng() % 64);
        for (u32 j = 0; j < count; j++) {
            // Flat, low (terms only in the top-left 4 x 4, the AVX2 kernel's
            // shortcut when both blocks of a pair are), or busy.
            u32 kind = (rng() >> 3) % 4;
            for (u32 i = 0; i < 64; i++) {
                i16 v = (i16)((int)(rng() % 512) - 256);
                if (trial % 7 == 0) v = (i16)rng();
                bool zero = (kind == 0 && i > 0) || (kind == 1 && ((i >> 3) >= 4 || (i & 7) >= 4));
                coef[64 * j + i] = zero ? 0 : v;
            }
        }
        std::fill(a.begin(), a.end(), 0x5A);
        jpeg_idct_row_scalar(coef.data(), count, quant, k.table, a.data(), stride);
        for (u32 v = 0; v < 2; v++) {
            if (v == 1 && !avx2) continue;
            std::fill(b.begin(), b.end(), 0x5A);
            variants[v](coef.data(), count, quant, k.table, b.data(), stride);
            ASSERT_EQ(memcmp(a.data(), b.data(), a.size()), 0) << "variant " << v << " trial " << trial;
            compared++;
        }
        for (u32 y = 0; y < 8; y++) ASSERT_EQ(a[y * stride + 8 * count], 0x5A);  // nothing past the row
    }
    EXPECT_GE(compared, 4000u);
    if (!avx2) printf("JpegKernels: no AVX2 on this machine; the AVX2 row kernel was not run\n");
}

// Blocks whose dequantised AC terms are all zero (some only because their
// products wrap to 0) take the flat shortcut: both variants agree, every
// sample is the same, and it is within one of x0 / 8 + 128.
TEST(JpegKernels, FlatBlocksAgreeAndMatchTheDcTerm) {
    Constants k;
    alignas(16) i16 coef[64], quant[64];
    u8 a[8 * 16], b[8 * 16];
    u32 checked = 0;
    for (i32 dc = -32768; dc <= 32767; dc += 7) {
        for (u32 variant = 0; variant < 3; variant++) {
            memset(coef, 0, sizeof coef);
            for (u32 i = 0; i < 64; i++) quant[i] = (i16)(1 + (i * 5 + variant) % 40);
            coef[0] = (i16)dc;
            quant[0] = variant == 2 ? 3 : 1;
            if (variant == 1) {
                coef[9] = 256;  // 256 * 256 wraps to 0
                quant[9] = 256;
                coef[63] = -512;
                quant[63] = 128;
            }
            memset(a, 0xEE, sizeof a);
            memset(b, 0x11, sizeof b);
            jpeg_idct_scalar(coef, quant, k.table, a, 16);
            jpeg_idct_sse2(coef, quant, k.table, b, 16);
            for (u32 y = 0; y < 8; y++) {
                ASSERT_EQ(memcmp(a + 16 * y, b + 16 * y, 8), 0) << dc << " " << variant;
                for (u32 x = 0; x < 8; x++) ASSERT_EQ(a[16 * y + x], a[0]);
                ASSERT_EQ(a[16 * y + 8], 0xEE);  // nothing past the block's row
            }
            double x0 = (double)(i16)(u16)((u32)(u16)coef[0] * (u32)(u16)quant[0]);
            double exact = std::min(255.0, std::max(0.0, x0 / 8 + 128));
            if (std::fabs(x0 * 4) < 32767) {
                ASSERT_LE(std::fabs(a[0] - exact), 1.0) << dc << " " << variant;
            }
            checked++;
        }
    }
    EXPECT_GT(checked, 20000u);
}

// Forward DCT of a pixel block in double precision, rounded to integers.
void forward_dct(const double* px, i16* coef) {
    for (u32 v = 0; v < 8; v++) {
        for (u32 u = 0; u < 8; u++) {
            double s = 0;
            for (u32 y = 0; y < 8; y++)
                for (u32 x = 0; x < 8; x++)
                    s += (px[y * 8 + x] - 128) * cos((2 * x + 1) * u * kPi / 16) * cos((2 * y + 1) * v * kPi / 16);
            double cu = u ? 1 : kSqrtHalf, cv = v ? 1 : kSqrtHalf;
            coef[v * 8 + u] = (i16)lround(s * cu * cv / 4);
        }
    }
}

void inverse_dct(const i16* coef, double* out) {
    for (u32 y = 0; y < 8; y++) {
        for (u32 x = 0; x < 8; x++) {
            double s = 0;
            for (u32 v = 0; v < 8; v++)
                for (u32 u = 0; u < 8; u++) {
                    double cu = u ? 1 : kSqrtHalf, cv = v ? 1 : kSqrtHalf;
                    s += cu * cv * coef[v * 8 + u] * cos((2 * x + 1) * u * kPi / 16) * cos((2 * y + 1) * v * kPi / 16);
                }
            out[y * 8 + x] = s / 4 + 128;
        }
    }
}

TEST(JpegKernels, IdctStaysWithinOneOfTheExactTransform) {
    Constants k;
    std::mt19937 rng(11);
    i16 quant[64];
    for (auto& q : quant) q = 1;
    int peak = 0;
    double sum = 0;
    u64 count = 0;
    for (u32 trial = 0; trial < 3000; trial++) {
        double px[64];
        u32 style = trial % 3;
        for (u32 i = 0; i < 64; i++) {
            if (style == 0) px[i] = rng() % 256;
            if (style == 1) px[i] = 128 + 100 * sin((i % 8) * 0.3 + trial) * cos((i / 8) * 0.2);
            if (style == 2) px[i] = 16 + rng() % 224;
        }
        i16 coef[64];
        forward_dct(px, coef);
        double exact[64];
        inverse_dct(coef, exact);
        u8 out[64];
        jpeg_idct_sse2(coef, quant, k.table, out, 8);
        for (u32 i = 0; i < 64; i++) {
            double e = std::min(255.0, std::max(0.0, exact[i]));
            double err = std::fabs(out[i] - e);
            int rounded = std::abs((int)out[i] - (int)lround(e));
            peak = std::max(peak, rounded);
            sum += err;
            count++;
        }
    }
    printf("inverse DCT against double precision: peak %d, mean %.4f\n", peak, sum / count);
    EXPECT_LE(peak, 1);
    EXPECT_LT(sum / count, 0.3);
}

TEST(JpegKernels, ColourConversionVariantsAgreeOnEveryTriple) {
    bool avx2 = __builtin_cpu_supports("avx2");
    std::vector<u8> y(256 + 8), cb(256 + 8), cr(256 + 8);
    std::vector<u8> a(4 * 264), b(4 * 264);
    for (u32 i = 0; i < 256; i++) y[i] = (u8)i;
    for (u32 u = 0; u < 256; u++) {
        for (u32 v = 0; v < 256; v++) {
            memset(cb.data(), (int)u, 256);
            memset(cr.data(), (int)v, 256);
            jpeg_ycc_row_scalar(y.data(), cb.data(), cr.data(), a.data(), 256);
            jpeg_ycc_row_sse2(y.data(), cb.data(), cr.data(), b.data(), 256);
            ASSERT_EQ(memcmp(a.data(), b.data(), 1024), 0) << "cb " << u << " cr " << v;
            if (!avx2) continue;
            jpeg_ycc_row_avx2(y.data(), cb.data(), cr.data(), b.data(), 256);
            ASSERT_EQ(memcmp(a.data(), b.data(), 1024), 0) << "AVX2 cb " << u << " cr " << v;
        }
    }
    // Every count: the AVX2 kernel's 16-pixel steps and its 8-pixel tail
    // write exactly the pixels of the count rounded up to 8.
    if (avx2) {
        std::mt19937 rng(5);
        for (u32 i = 0; i < 264; i++) cb[i] = (u8)rng(), cr[i] = (u8)rng();
        for (u32 n = 1; n <= 256; n++) {
            std::fill(a.begin(), a.end(), 0x33);
            std::fill(b.begin(), b.end(), 0x33);
            jpeg_ycc_row_scalar(y.data(), cb.data(), cr.data(), a.data(), n);
            jpeg_ycc_row_avx2(y.data(), cb.data(), cr.data(), b.data(), n);
            ASSERT_EQ(memcmp(a.data(), b.data(), a.size()), 0) << "count " << n;
            ASSERT_EQ(b[4 * ((n + 7) & ~7u)], 0x33) << "count " << n;
        }
    } else {
        printf("JpegKernels: no AVX2 on this machine; the AVX2 colour rows were not run\n");
    }
    // Neutral chroma leaves grey unchanged; the extremes clamp.
    u8 l[8] = {0, 50, 128, 255, 10, 20, 30, 40}, mid[8], lo[8], hi[8], px[32];
    memset(mid, 128, 8);
    memset(lo, 0, 8);
    memset(hi, 255, 8);
    jpeg_ycc_row_scalar(l, mid, mid, px, 8);
    for (u32 i = 0; i < 8; i++) EXPECT_TRUE(px[4 * i] == l[i] && px[4 * i + 1] == l[i] && px[4 * i + 2] == l[i] && px[4 * i + 3] == 255);
    jpeg_ycc_row_scalar(l, lo, hi, px, 8);
    EXPECT_EQ(px[3 * 4 + 0], 255);  // Y 255 with Cr 255: red saturates
    EXPECT_EQ(px[0 * 4 + 2], 0);    // Y 0 with Cb 0: blue clamps at 0
}

TEST(JpegKernels, GreyAndRgbRowsAgree) {
    std::mt19937 rng(3);
    u8 r[136], g[136], bl[136], a[4 * 136], b[4 * 136];
    for (u32 i = 0; i < 136; i++) r[i] = (u8)rng(), g[i] = (u8)rng(), bl[i] = (u8)rng();
    for (u32 n : {1u, 7u, 8u, 9u, 128u}) {
        memset(a, 1, sizeof a);
        memset(b, 1, sizeof b);
        jpeg_rgb_row_scalar(r, g, bl, a, n);
        jpeg_rgb_row_sse2(r, g, bl, b, n);
        ASSERT_EQ(memcmp(a, b, sizeof a), 0);
        EXPECT_EQ(a[4], r[1]);
        EXPECT_EQ(a[6], bl[1]);
        jpeg_grey_row_scalar(g, a, n);
        jpeg_grey_row_sse2(g, b, n);
        ASSERT_EQ(memcmp(a, b, sizeof a), 0);
    }
}

TEST(JpegKernels, UpsamplingVariantsAgree) {
    std::mt19937 rng(5);
    bool avx2 = __builtin_cpu_supports("avx2");
    for (u32 trial = 0; trial < 2000; trial++) {
        u32 n = 1 + rng() % 130;
        u8 in[160], near[160], far[160];
        for (u32 i = 0; i < 160; i++) in[i] = (u8)rng(), near[i] = (u8)rng(), far[i] = (u8)rng();
        u8 a[320] = {}, b[320] = {};
        jpeg_upsample_h2_scalar(in, a, n);
        jpeg_upsample_h2_sse2(in, b, n);
        ASSERT_EQ(memcmp(a, b, 2 * n), 0);
        // The triangular rule on a sample in the middle.
        EXPECT_EQ(a[0], (3 * in[1] + in[0] + 1) >> 2);
        u16 ta[170] = {}, tb[170] = {};
        jpeg_column_sum_scalar(near, far, ta, n);
        jpeg_column_sum_sse2(near, far, tb, n);
        ASSERT_EQ(memcmp(ta + 1, tb + 1, 2 * n), 0);
        if (avx2) {
            // The AVX2 twin writes exactly the entries the SSE2 one does.
            u16 tc[170], td[170];
            memset(tc, 0x5A, sizeof tc);
            memset(td, 0x5A, sizeof td);
            jpeg_column_sum_sse2(near, far, tc, n);
            jpeg_column_sum_avx2(near, far, td, n);
            ASSERT_EQ(memcmp(tc, td, sizeof tc), 0) << trial;
        }
        ta[0] = ta[1];
        ta[n + 1] = ta[n];
        memcpy(tb, ta, sizeof ta);
        jpeg_upsample_h2v2_scalar(ta, a, n);
        jpeg_upsample_h2v2_sse2(tb, b, n);
        ASSERT_EQ(memcmp(a, b, 2 * n), 0);
        EXPECT_EQ(a[2 * n - 1], (4 * ta[n] + 7) >> 4);
        if (avx2) {
            u8 c[320], d[320];
            memset(c, 0x5A, sizeof c);
            memset(d, 0x5A, sizeof d);
            jpeg_upsample_h2v2_sse2(tb, c, n);
            jpeg_upsample_h2v2_avx2(tb, d, n);
            ASSERT_EQ(memcmp(c, d, sizeof c), 0) << trial;
            ASSERT_EQ(memcmp(a, d, 2 * n), 0) << trial;
        }
    }
}

// Preview samples from DC terms over every DC value, with quantisers from 1
// to the 16-bit extremes (products far outside 0..255 both ways).
TEST(JpegKernels, PreviewRowVariantsAgree) {
    std::vector<i16> dc(65536);
    for (u32 i = 0; i < 65536; i++) dc[i] = (i16)(u16)i;
    std::vector<u8> a(65536), b(65536);
    for (i32 q : {1, 2, 8, 99, 255, 1000, 32767, -32768, -1}) {
        std::fill(a.begin(), a.end(), 1);
        std::fill(b.begin(), b.end(), 2);
        jpeg_preview_row_scalar(dc.data(), q, a.data(), 65536);
        jpeg_preview_row_sse2(dc.data(), q, b.data(), 65536);
        ASSERT_EQ(a, b) << q;
        // DC 0 is mid-grey; 8 / q steps above it is one level brighter.
        EXPECT_EQ(a[0], 128);
        if (q > 0 && q <= 8) {
            EXPECT_EQ(a[8 / q], 129);
        }
    }
}

TEST(JpegKernels, WidenRowVariantsAgree) {
    std::mt19937 rng(13);
    u8 in[80];
    for (u8& v : in) v = (u8)rng();
    for (u32 shift : {1u, 2u}) {
        for (u32 n = 16; n <= 160; n += 16) {
            u8 a[176], b[176];
            memset(a, 1, sizeof a);
            memset(b, 2, sizeof b);
            jpeg_widen_row_scalar(in, a, n, shift);
            jpeg_widen_row_sse2(in, b, n, shift);
            ASSERT_EQ(memcmp(a, b, n), 0) << shift << " " << n;
            EXPECT_EQ(a[n - 1], in[(n - 1) >> shift]);
            EXPECT_EQ(b[n], 2);  // nothing written past the count
        }
    }
}

// The 0xFF search: every start, every place of the first 0xFF (or none)
// and every length up to 100, with 0xFE and 0x7F decoys around it.
TEST(JpegKernels, FindFfVariantsAgree) {
    std::mt19937 rng(11);
    std::vector<u8> buf(100);
    for (u32 trial = 0; trial < 300; trial++) {
        for (u8& b : buf) {
            b = (u8)(rng() % 254);
            if (rng() % 8 == 0) b = rng() % 2 ? 0xFE : 0x7F;
        }
        u32 at = trial % 101;  // 100: no 0xFF at all
        if (at < 100) buf[at] = 0xFF;
        if (at + 5 < 100 && trial % 3 == 0) buf[at + 5] = 0xFF;
        for (u64 length = 0; length <= 100; length++) {
            for (u64 pos = 0; pos <= length; pos += 1 + (trial % 3)) {
                u64 a = jpeg_find_ff_scalar(buf.data(), pos, length);
                u64 b = jpeg_find_ff_sse2(buf.data(), pos, length);
                ASSERT_EQ(a, b) << trial << " " << pos << " " << length;
                u64 expect = pos;
                while (expect < length && buf[expect] != 0xFF) expect++;
                ASSERT_EQ(a, expect);
            }
        }
    }
}

// The non-zero mask of a block: every single coefficient alone (either
// sign, the extremes included), then random sparse blocks.
TEST(JpegKernels, NonzeroMaskVariantsAgree) {
    alignas(16) i16 block[64];
    for (u32 i = 0; i < 64; i++) {
        for (i16 v : {(i16)1, (i16)-1, (i16)-32768, (i16)32767, (i16)256}) {
            memset(block, 0, sizeof block);
            block[i] = v;
            ASSERT_EQ(jpeg_nonzero_mask_scalar(block), 1ull << i);
            ASSERT_EQ(jpeg_nonzero_mask_sse2(block), 1ull << i);
        }
    }
    std::mt19937 rng(13);
    for (u32 trial = 0; trial < 20000; trial++) {
        for (u32 i = 0; i < 64; i++) block[i] = rng() % (1 + trial % 8) == 0 ? (i16)rng() : 0;
        ASSERT_EQ(jpeg_nonzero_mask_scalar(block), jpeg_nonzero_mask_sse2(block)) << trial;
    }
}

TEST(JpegKernels, EveryVariantCanBeForced) {
    EXPECT_TRUE(jpeg_force_kernels(JPEG_KERNELS_SCALAR));
    EXPECT_EQ(jpeg_kernels()->idct, &jpeg_idct_scalar);
    EXPECT_TRUE(jpeg_force_kernels(JPEG_KERNELS_SSE2));
    EXPECT_EQ(jpeg_kernels()->idct, &jpeg_idct_sse2);
    EXPECT_EQ(jpeg_kernels()->idct_row, &jpeg_idct_row_sse2);
    if (jpeg_force_kernels(JPEG_KERNELS_AVX2)) {
        EXPECT_EQ(jpeg_kernels()->idct_row, &jpeg_idct_row_avx2);
        EXPECT_EQ(jpeg_kernels()->upsample_h2v2, &jpeg_upsample_h2v2_avx2);
        EXPECT_EQ(jpeg_kernels()->column_sum, &jpeg_column_sum_avx2);
    } else {
        EXPECT_FALSE(__builtin_cpu_supports("avx2"));
    }
    EXPECT_FALSE(jpeg_force_kernels(99));
    EXPECT_TRUE(jpeg_force_kernels(JPEG_KERNELS_BEST));
}

}  // namespace
