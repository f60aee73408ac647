// The lossy decoder's kernels against their scalar twins (the loop filters
// and the single-block inverse DCT are in webp_kernels_test.cpp): the
// inverse DCT of two blocks side by side and its short forms, on random
// coefficients of every size (overflowing ones included); the intra
// predictions of every mode, and the 4 x 4 ones with their residue in one
// step; the fused upsampling and conversion, SSE2 and AVX2, one row or two
// at a time, over random rows and every (y, u, v); alpha from green; and
// the kernel dispatch; the token parser's AVX2 build.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "codec/webp/vp8.h"

namespace {

void random_coeffs(std::mt19937& rng, int round, i16* c, u32 n) {
    int range = round % 4 == 0 ? 65536 : round % 4 == 1 ? 4096 : round % 4 == 2 ? 256 : 16;
    for (u32 i = 0; i < n; i++) c[i] = (i16)((int)(rng() % range) - range / 2);
}

}  // namespace

TEST(Vp8Kernels, InverseDctPairMatchesScalar) {
    std::mt19937 rng(17);
    for (int round = 0; round < 20000; round++) {
        i16 in[32];
        random_coeffs(rng, round, in, 32);
        u8 a[4 * 16], b[4 * 16];
        for (u32 i = 0; i < sizeof a; i++) a[i] = b[i] = (u8)rng();
        vp8_idct_add2(in, a + 2, 16);
        vp8_idct_add2_sse2(in, b + 2, 16);
        ASSERT_EQ(memcmp(a, b, sizeof a), 0) << "round " << round;
    }
}

// The short forms: coefficients 0, 1 and 4 only (every size, overflowing
// sums included, where the saturating steps decide), and coefficient 0 only.
TEST(Vp8Kernels, ShortInverseDctsMatchScalar) {
    std::mt19937 rng(19);
    for (int round = 0; round < 40000; round++) {
        i16 in[16] = {0};
        i16 some[3];
        random_coeffs(rng, round, some, 3);
        in[0] = some[0];
        in[1] = some[1];
        in[4] = some[2];
        if (round % 7 == 0) in[0] = round % 2 ? 32767 : -32768;
        u8 a[4 * 12], b[4 * 12];
        for (u32 i = 0; i < sizeof a; i++) a[i] = b[i] = (u8)rng();
        vp8_idct_add_ac3(in, a + 3, 12);
        vp8_idct_add_ac3_sse2(in, b + 3, 12);
        ASSERT_EQ(memcmp(a, b, sizeof a), 0) << "ac3, round " << round;
        vp8_idct_add_dc(in, a + 5, 12);
        vp8_idct_add_dc_sse2(in, b + 5, 12);
        ASSERT_EQ(memcmp(a, b, sizeof a), 0) << "dc, round " << round;
    }
}

// 4 x 4 prediction: every mode at every block position of the work area,
// on random edges (and flat ones, where the averages' rounding shows).
TEST(Vp8Kernels, Luma4PredictionMatchesScalar) {
    std::mt19937 rng(23);
    for (int round = 0; round < 400; round++) {
        u8 work[VP8_WORK_BYTES];
        u8 base = (u8)rng();
        for (auto& p : work) p = round % 3 == 0 ? (u8)(base + (rng() & 1)) : (u8)rng();
        for (u32 mode = 0; mode < 10; mode++) {
            for (u32 n = 0; n < 16; n++) {
                u8 a[VP8_WORK_BYTES], b[VP8_WORK_BYTES];
                memcpy(a, work, sizeof a);
                memcpy(b, work, sizeof b);
                u32 at = VP8_WORK_STRIDE + 4 + (n >> 2) * 4 * VP8_WORK_STRIDE + (n & 3) * 4;
                vp8_predict_luma4(a + at, mode);
                vp8_predict_luma4_sse2(b + at, mode);
                ASSERT_EQ(memcmp(a, b, sizeof a), 0) << "mode " << mode << ", block " << n << ", round " << round;
            }
        }
    }
}

// 4 x 4 prediction and residue in one step, scalar, SSE2 and (where the CPU
// has it) AVX2: every mode with every kind of transform (none, coefficient
// 0, the short form, the full one) on random edges (and flat ones, where
// the averages' rounding shows) and coefficients, against the scalar
// prediction and transforms; the coefficients are left cleared.
TEST(Vp8Kernels, Luma4PredictAndAddMatchScalar) {
    std::mt19937 rng(41);
    for (int round = 0; round < 1200; round++) {
        u8 work[VP8_WORK_BYTES];
        u8 base = (u8)rng();
        for (auto& p : work) p = round % 3 == 0 ? (u8)(base + (rng() & 1)) : (u8)rng();
        i16 in[16] = {0};
        u32 kind = (u32)round % 4;
        if (kind == 3) random_coeffs(rng, round / 4, in, 16);
        if (kind >= 1) random_coeffs(rng, round / 4, in, 1);
        if (kind == 2) random_coeffs(rng, round / 4 + 1, in + 1, 1), random_coeffs(rng, round / 4 + 2, in + 4, 1);
        for (u32 mode = 0; mode < 10; mode++) {
            u32 n = (u32)rng() % 16;
            u8 a[VP8_WORK_BYTES], b[VP8_WORK_BYTES];
            memcpy(a, work, sizeof a);
            memcpy(b, work, sizeof b);
            u32 at = VP8_WORK_STRIDE + 4 + (n >> 2) * 4 * VP8_WORK_STRIDE + (n & 3) * 4;
            vp8_predict_luma4(a + at, mode);
            if (kind == 3) vp8_idct_add(in, a + at, VP8_WORK_STRIDE);
            if (kind == 2) vp8_idct_add_ac3(in, a + at, VP8_WORK_STRIDE);
            if (kind == 1) vp8_idct_add_dc(in, a + at, VP8_WORK_STRIDE);
            // Each kernel clears the coefficients it used.
            const i16 zero[16] = {0};
            i16 used[16];
            memcpy(used, in, sizeof used);
            vp8_luma4_add_sse2(b + at, mode, kind, used);
            ASSERT_EQ(memcmp(a, b, sizeof a), 0) << "mode " << mode << ", kind " << kind << ", round " << round;
            ASSERT_EQ(memcmp(used, zero, sizeof used), 0) << "mode " << mode << ", kind " << kind;
            memcpy(used, in, sizeof used);
            memcpy(b, work, sizeof b);
            vp8_luma4_add(b + at, mode, kind, used);
            ASSERT_EQ(memcmp(a, b, sizeof a), 0) << "scalar, mode " << mode << ", kind " << kind << ", round " << round;
            ASSERT_EQ(memcmp(used, zero, sizeof used), 0) << "scalar, mode " << mode << ", kind " << kind;
            if (vp8_kernels_supported(VP8_KERNELS_AVX2)) {
                memcpy(used, in, sizeof used);
                memcpy(b, work, sizeof b);
                vp8_luma4_add_avx2(b + at, mode, kind, used);
                ASSERT_EQ(memcmp(a, b, sizeof a), 0) << "AVX2, mode " << mode << ", kind " << kind << ", round " << round;
                ASSERT_EQ(memcmp(used, zero, sizeof used), 0) << "AVX2, mode " << mode << ", kind " << kind;
            }
        }
    }
}

// Upsampling and conversion in one pass: the SSE2 twin equals the scalar
// kernel for every count of pairs up to a few vectors, on random rows (and
// rows near the clipping limits).
TEST(Vp8Kernels, PairsToRgbaMatchScalar) {
    std::mt19937 rng(29);
    for (u32 pairs = 0; pairs <= 40; pairs++) {
        for (int round = 0; round < 30; round++) {
            std::vector<u8> y(2 * pairs + 1), un(pairs + 2), uf(pairs + 2), vn(pairs + 2), vf(pairs + 2);
            for (auto* row : {&y, &un, &uf, &vn, &vf}) {
                for (auto& p : *row) p = round % 3 == 0 ? (u8)(rng() & 1 ? 255 - (rng() & 7) : rng() & 7) : (u8)rng();
            }
            std::vector<u8> a(8 * pairs + 8, 0), b(8 * pairs + 8, 0);
            vp8_pairs_to_rgba_scalar(y.data(), un.data(), uf.data(), vn.data(), vf.data(), a.data(), pairs);
            vp8_pairs_to_rgba_sse2(y.data(), un.data(), uf.data(), vn.data(), vf.data(), b.data(), pairs);
            ASSERT_EQ(a, b) << "pairs " << pairs << ", round " << round;
        }
    }
}

// The AVX2 conversion against the scalar twin, where the CPU has AVX2.
TEST(Vp8Kernels, PairsToRgbaAvx2MatchScalar) {
    if (!vp8_kernels_supported(VP8_KERNELS_AVX2)) GTEST_SKIP() << "no AVX2 on this CPU";
    std::mt19937 rng(31);
    for (u32 pairs = 0; pairs <= 72; pairs++) {
        for (int round = 0; round < 20; round++) {
            std::vector<u8> y(2 * pairs + 1), un(pairs + 2), uf(pairs + 2), vn(pairs + 2), vf(pairs + 2);
            for (auto* row : {&y, &un, &uf, &vn, &vf}) {
                for (auto& p : *row) p = round % 3 == 0 ? (u8)(rng() & 1 ? 255 - (rng() & 7) : rng() & 7) : (u8)rng();
            }
            std::vector<u8> a(8 * pairs + 8, 0), b(8 * pairs + 8, 0);
            vp8_pairs_to_rgba_scalar(y.data(), un.data(), uf.data(), vn.data(), vf.data(), a.data(), pairs);
            vp8_pairs_to_rgba_avx2(y.data(), un.data(), uf.data(), vn.data(), vf.data(), b.data(), pairs);
            ASSERT_EQ(a, b) << "pairs " << pairs << ", round " << round;
        }
    }
}

// Alpha from the green of lossless-coded planes, with and without the row
// above (sums that wrap included): the SSE2 twin equals the scalar kernel
// for every width up to a few vectors, colour bytes untouched.
TEST(Vp8Kernels, AlphaFromGreenMatchesScalar) {
    std::mt19937 rng(43);
    for (u32 width = 0; width <= 21; width++) {
        for (int round = 0; round < 20; round++) {
            std::vector<u8> argb(4 * width + 4), above(4 * width + 4), a(4 * width + 4), b;
            for (auto* row : {&argb, &above, &a}) {
                for (auto& p : *row) p = (u8)rng();
            }
            b = a;
            const u8* up = round & 1 ? above.data() : nullptr;
            alph_green_to_alpha_scalar(argb.data(), up, a.data(), width);
            alph_green_to_alpha_sse2(argb.data(), up, b.data(), width);
            ASSERT_EQ(a, b) << "width " << width << ", round " << round;
            for (u32 x = 0; x < width; x++) {
                ASSERT_EQ(a[4 * x + 3], (u8)((up ? up[4 * x + 3] : 0) + argb[4 * x + 1])) << "width " << width;
            }
        }
    }
}

// Two rows sharing their chroma rows in one call: the SSE2 and (where the
// CPU has it) AVX2 twins equal the scalar kernel, which is the one-row
// kernel twice, the chroma rows swapped for the second row.
TEST(Vp8Kernels, PairsToRgbaTwoRowsMatchScalar) {
    std::mt19937 rng(47);
    bool avx2 = vp8_kernels_supported(VP8_KERNELS_AVX2);
    for (u32 pairs = 0; pairs <= 72; pairs++) {
        for (int round = 0; round < 10; round++) {
            std::vector<u8> y0(2 * pairs + 1), y1(2 * pairs + 1), ua(pairs + 2), ub(pairs + 2), va(pairs + 2),
                vb(pairs + 2);
            for (auto* row : {&y0, &y1, &ua, &ub, &va, &vb}) {
                for (auto& p : *row) p = round % 3 == 0 ? (u8)(rng() & 1 ? 255 - (rng() & 7) : rng() & 7) : (u8)rng();
            }
            std::vector<u8> a0(8 * pairs + 8, 0), a1 = a0, r0 = a0, r1 = a0;
            vp8_pairs_to_rgba_scalar(y0.data(), ua.data(), ub.data(), va.data(), vb.data(), r0.data(), pairs);
            vp8_pairs_to_rgba_scalar(y1.data(), ub.data(), ua.data(), vb.data(), va.data(), r1.data(), pairs);
            vp8_pairs_to_rgba2_scalar(y0.data(), y1.data(), ua.data(), ub.data(), va.data(), vb.data(), a0.data(),
                                      a1.data(), pairs);
            ASSERT_EQ(a0, r0) << "scalar, pairs " << pairs;
            ASSERT_EQ(a1, r1) << "scalar, pairs " << pairs;
            std::vector<u8> b0(8 * pairs + 8, 0), b1 = b0;
            vp8_pairs_to_rgba2_sse2(y0.data(), y1.data(), ua.data(), ub.data(), va.data(), vb.data(), b0.data(),
                                    b1.data(), pairs);
            ASSERT_EQ(b0, r0) << "SSE2, pairs " << pairs << ", round " << round;
            ASSERT_EQ(b1, r1) << "SSE2, pairs " << pairs << ", round " << round;
            if (!avx2) continue;
            std::vector<u8> c0(8 * pairs + 8, 0), c1 = c0;
            vp8_pairs_to_rgba2_avx2(y0.data(), y1.data(), ua.data(), ub.data(), va.data(), vb.data(), c0.data(),
                                    c1.data(), pairs);
            ASSERT_EQ(c0, r0) << "AVX2, pairs " << pairs << ", round " << round;
            ASSERT_EQ(c1, r1) << "AVX2, pairs " << pairs << ", round " << round;
        }
    }
}

// Every variant the CPU has can be selected, and one it lacks is refused.
TEST(Vp8Kernels, DispatchFollowsTheCpu) {
    EXPECT_TRUE(vp8_force_kernels(VP8_KERNELS_SCALAR));
    EXPECT_EQ(vp8_kernels()->pairs_to_rgba, &vp8_pairs_to_rgba_scalar);
    EXPECT_TRUE(vp8_force_kernels(VP8_KERNELS_SSE2));
    EXPECT_EQ(vp8_kernels()->pairs_to_rgba, &vp8_pairs_to_rgba_sse2);
    bool avx2 = vp8_kernels_supported(VP8_KERNELS_AVX2);
    EXPECT_EQ(vp8_force_kernels(VP8_KERNELS_AVX2), avx2);
    EXPECT_TRUE(vp8_force_kernels(VP8_KERNELS_BEST));
    EXPECT_EQ(vp8_kernels()->pairs_to_rgba, avx2 ? &vp8_pairs_to_rgba_avx2 : &vp8_pairs_to_rgba_sse2);
    EXPECT_EQ(vp8_kernels()->pairs_to_rgba2, avx2 ? &vp8_pairs_to_rgba2_avx2 : &vp8_pairs_to_rgba2_sse2);
    EXPECT_EQ(vp8_kernels()->parse_residuals, avx2 ? &vp8_parse_residuals_avx2 : &vp8_parse_residuals);
    EXPECT_FALSE(vp8_force_kernels(VP8_KERNELS_BEST + 1));
}

// 16 x 16 and 8 x 8 prediction: every mode, with and without the row above
// and the column to the left, on random edges.
TEST(Vp8Kernels, WholeBlockPredictionMatchesScalar) {
    std::mt19937 rng(37);
    for (int round = 0; round < 300; round++) {
        u8 work[VP8_WORK_BYTES];
        for (auto& p : work) p = (u8)rng();
        for (u32 mode = 0; mode < 4; mode++) {
            for (u32 edges = 0; edges < 4; edges++) {
                bool top = edges & 1, left = edges & 2;
                u8 a[VP8_WORK_BYTES], b[VP8_WORK_BYTES];
                memcpy(a, work, sizeof a);
                memcpy(b, work, sizeof b);
                vp8_predict_luma16(a + VP8_WORK_STRIDE + 4, mode, top, left);
                vp8_predict_luma16_sse2(b + VP8_WORK_STRIDE + 4, mode, top, left);
                ASSERT_EQ(memcmp(a, b, sizeof a), 0) << "luma, mode " << mode << ", round " << round;
                vp8_predict_chroma8(a + 18 * VP8_WORK_STRIDE + 20, mode, top, left);
                vp8_predict_chroma8_sse2(b + 18 * VP8_WORK_STRIDE + 20, mode, top, left);
                ASSERT_EQ(memcmp(a, b, sizeof a), 0) << "chroma, mode " << mode << ", round " << round;
            }
        }
    }
}

// Every (y, u, v): with constant chroma rows the upsampling gives the
// chroma back unchanged, so 128 pairs over y = 0..255 per (u, v) convert
// every triple; each variant the CPU has equals the scalar kernel, and
// black, white and the alpha land where BT.601 puts them.
TEST(Vp8Kernels, PairsToRgbaEveryTriple) {
    std::vector<u8> y(256);
    for (u32 i = 0; i < 256; i++) y[i] = (u8)i;
    std::vector<u8> u(129), v(129), a(4 * 256), b(4 * 256);
    bool avx2 = vp8_kernels_supported(VP8_KERNELS_AVX2);
    for (u32 uu = 0; uu < 256; uu++) {
        std::fill(u.begin(), u.end(), (u8)uu);
        for (u32 vv = 0; vv < 256; vv++) {
            std::fill(v.begin(), v.end(), (u8)vv);
            vp8_pairs_to_rgba_scalar(y.data(), u.data(), u.data(), v.data(), v.data(), a.data(), 128);
            vp8_pairs_to_rgba_sse2(y.data(), u.data(), u.data(), v.data(), v.data(), b.data(), 128);
            ASSERT_EQ(a, b) << "u " << uu << " v " << vv;
            if (avx2) {
                vp8_pairs_to_rgba_avx2(y.data(), u.data(), u.data(), v.data(), v.data(), b.data(), 128);
                ASSERT_EQ(a, b) << "avx2, u " << uu << " v " << vv;
            }
            if (uu == 128 && vv == 128) {
                EXPECT_EQ(a[4 * 16], 0);         // y 16: black
                EXPECT_EQ(a[4 * 235 + 1], 255);  // y 235: white
                EXPECT_EQ(a[4 * 100 + 3], 255);
            }
        }
    }
}

// The AVX2 build of the token parser (its 4 x 4 kernel inlined) against the
// baseline one with the SSE2 kernels: a row of macroblocks of every kind
// (4 x 4 and whole, skipped contexts, each segment's quantisers) read from
// random token bytes, with random contexts and work area. Coefficients,
// block kinds, contexts, predicted pixels, the bool decoder's state and
// the result must all agree.
TEST(Vp8Kernels, TokenParserAvx2MatchesBaseline) {
    if (!vp8_kernels_supported(VP8_KERNELS_AVX2)) GTEST_SKIP() << "no AVX2 on this CPU";
    std::mt19937 rng(43);
    const u32 width = 64, height = 16;
    Vp8Layout layout;
    vp8_layout(width, height, &layout);
    std::vector<u8> tokens(4096);
    for (int round = 0; round < 200; round++) {
        std::vector<u8> sa(layout.end + 64), sb;
        for (auto& t : tokens) t = (u8)rng();
        // Bytes biased towards small values read as longer blocks.
        if (round % 2) for (auto& t : tokens) t &= (u8)rng();
        Vp8Decoder* a = (Vp8Decoder*)sa.data();
        a->layout = layout;
        a->mb_w = width / 16;
        memcpy(a->probs, vp8_default_coeff_probs, sizeof a->probs);
        if (round % 3 == 1) {
            for (u32 i = 0; i < sizeof a->probs; i++) (&a->probs[0][0][0][0])[i] = (u8)(1 + rng() % 255);
        }
        for (auto& q : a->quant) {
            for (i32* v : {&q.y1[0], &q.y1[1], &q.y2[0], &q.y2[1], &q.uv[0], &q.uv[1]}) *v = (i32)(1 + rng() % 300);
        }
        for (u32 i = 0; i < a->mb_w; i++) {
            sa[layout.nz_top + i] = (u8)rng();
            sa[layout.nz_dc_top + i] = (u8)(rng() & 1);
        }
        a->nz_left = (u8)rng();
        a->nz_dc_left = (u8)(rng() & 1);
        for (auto& p : a->work) p = (u8)rng();
        vp8_bits_init(&a->parts[0], tokens.data(), round % 5 == 0 ? 40 : tokens.size());
        sb = sa;
        Vp8Decoder* b = (Vp8Decoder*)sb.data();
        ASSERT_TRUE(vp8_force_kernels(VP8_KERNELS_SSE2));
        for (u32 x = 0; x < a->mb_w; x++) {
            Vp8MbModes m = {};
            m.segment = (u8)(rng() % 4);
            m.is_i4x4 = (u8)((x + round) % 3 != 0);
            m.y_mode = (u8)(rng() % 4);
            for (auto& mode : m.modes) mode = (u8)(rng() % 10);
            u8* la = m.is_i4x4 ? a->work + VP8_WORK_STRIDE + 4 : nullptr;
            u8* lb = m.is_i4x4 ? b->work + VP8_WORK_STRIDE + 4 : nullptr;
            bool ea = vp8_parse_residuals(a, sa.data(), x, &m, &a->parts[0], la);
            bool eb = vp8_parse_residuals_avx2(b, sb.data(), x, &m, &b->parts[0], lb);
            SCOPED_TRACE(testing::Message() << "round " << round << ", macroblock " << x);
            ASSERT_EQ(ea, eb);
            ASSERT_EQ(memcmp(a->coeffs, b->coeffs, sizeof a->coeffs), 0);
            ASSERT_EQ(memcmp(a->block_kind, b->block_kind, sizeof a->block_kind), 0);
            ASSERT_EQ(memcmp(a->work, b->work, sizeof a->work), 0);
            ASSERT_EQ(a->nz_left, b->nz_left);
            ASSERT_EQ(a->nz_dc_left, b->nz_dc_left);
            ASSERT_EQ(a->parts[0].value, b->parts[0].value);
            ASSERT_EQ(a->parts[0].range, b->parts[0].range);
            ASSERT_EQ(a->parts[0].bits, b->parts[0].bits);
            ASSERT_EQ(a->parts[0].eof, b->parts[0].eof);
            ASSERT_EQ(a->parts[0].next, b->parts[0].next);  // both read `tokens`
            // As reconstruction does: the coefficients of the whole
            // macroblock are cleared before the next one.
            memset(a->coeffs, 0, sizeof a->coeffs);
            memset(b->coeffs, 0, sizeof b->coeffs);
        }
        ASSERT_EQ(memcmp(sa.data() + layout.nz_top, sb.data() + layout.nz_top, a->mb_w), 0);
        ASSERT_EQ(memcmp(sa.data() + layout.nz_dc_top, sb.data() + layout.nz_dc_top, a->mb_w), 0);
    }
    vp8_force_kernels(VP8_KERNELS_BEST);
}
