// Pixel kernels: every variant this processor runs against a per-channel
// reference written from the rules, on random rows of every length up to 40
// (so each vector body and tail is exercised) and on the edge values.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "pixel_reference.h"
#include "view/blend.h"

static u32 ref_difference(u32 p, u32 q) {
    int m = 0;
    for (u32 c = 0; c < 3; c++) m = std::max(m, std::abs((int)channel(p, c) - (int)channel(q, c)));
    int g = 2 * m;
    int blue = m == 0 ? 0 : (g < 128 ? 128 - g : 0);
    int green = g > 255 ? g - 255 : 0;
    int red = std::min(g, 255);
    return 0xFF000000u | (u32)red << 16 | (u32)green << 8 | (u32)blue;
}

// Pixels biased towards the edge values 0 and 255 in every channel and
// towards the three alpha cases of compositing.
static u32 random_pixel(std::mt19937& rng) {
    static const u32 edges[] = {0, 1, 127, 128, 129, 254, 255};
    u32 p = 0;
    for (u32 c = 0; c < 4; c++) {
        u32 v = rng() % 3 == 0 ? edges[rng() % 7] : rng() & 0xFF;
        p |= v << (8 * c);
    }
    if (rng() % 2 == 0) p |= 0xFF000000u;  // runs of opaque pixels take the copy path
    return p;
}

struct Variants : ::testing::TestWithParam<u32> {
    void SetUp() override {
        if (!blend_force(GetParam())) GTEST_SKIP() << "variant not supported by this processor";
    }
    void TearDown() override { blend_select(); }
};

TEST_P(Variants, BlendRows) {
    std::mt19937 rng(1);
    for (u32 n = 0; n <= 40; n++) {
        for (u32 w : {0u, 1u, 77u, 128u, 255u}) {
            std::vector<u32> a(n), b(n), out(n + 1, 0xDEADBEEF);
            for (u32 i = 0; i < n; i++) a[i] = random_pixel(rng), b[i] = random_pixel(rng);
            blend_kernels.blend_rows(out.data(), a.data(), b.data(), n, w);
            for (u32 i = 0; i < n; i++) ASSERT_EQ(out[i], ref_blend(a[i], b[i], w)) << n << " " << i;
            ASSERT_EQ(out[n], 0xDEADBEEFu);  // nothing written past the row
        }
    }
}

TEST_P(Variants, BlendColumns) {
    std::mt19937 rng(2);
    std::vector<u32> row(256);
    for (u32& p : row) p = random_pixel(rng);
    for (u32 n = 0; n <= 40; n++) {
        std::vector<u8> left(n), right(n), weight(n);
        std::vector<u32> out(n + 1, 0xDEADBEEF);
        for (u32 i = 0; i < n; i++) {
            left[i] = (u8)(rng() & 0xFF);
            right[i] = (u8)(rng() & 0xFF);
            weight[i] = (u8)(i == 0 ? 255 : rng() & 0xFF);
        }
        blend_kernels.blend_columns(out.data(), row.data(), left.data(), right.data(), weight.data(), n);
        for (u32 i = 0; i < n; i++) ASSERT_EQ(out[i], ref_blend(row[left[i]], row[right[i]], weight[i]));
        ASSERT_EQ(out[n], 0xDEADBEEFu);
    }
}

// The one-pass halving equals the vertical blend of the two rows followed by
// the blend of each even and odd pixel, composited over what dst held, for
// every length (each fast loop, careful group and tail) and weight pair; its
// twin without compositing stores those samples alone. (So do the twins of
// the shifted runs and the bilinear columns below.)
TEST_P(Variants, BlendHalvesOver) {
    std::mt19937 rng(6);
    for (u32 n = 0; n <= 40; n++) {
        for (u32 wy : {0u, 1u, 128u, 200u, 255u}) {
            for (u32 wx : {0u, 64u, 128u, 255u}) {
                std::vector<u32> a(2 * n), b(2 * n), dst(n + 1, 0xDEADBEEF), bg(n);
                for (u32 i = 0; i < 2 * n; i++) a[i] = random_pixel(rng), b[i] = random_pixel(rng);
                for (u32 i = 0; i < n; i++) bg[i] = dst[i] = random_pixel(rng);
                blend_kernels.blend_halves_over(dst.data(), a.data(), b.data(), n, wy, wx);
                std::vector<u32> samples(n + 1, 0xDEADBEEF);
                blend_kernels.blend_halves(samples.data(), a.data(), b.data(), n, wy, wx);
                for (u32 i = 0; i < n; i++) {
                    u32 even = ref_blend(a[2 * i], b[2 * i], wy);
                    u32 odd = ref_blend(a[2 * i + 1], b[2 * i + 1], wy);
                    ASSERT_EQ(dst[i], ref_over(bg[i], ref_blend(even, odd, wx)))
                        << n << " " << i << " " << wy << " " << wx;
                    ASSERT_EQ(samples[i], ref_blend(even, odd, wx)) << n << " " << i << " " << wy << " " << wx;
                }
                ASSERT_EQ(dst[n], 0xDEADBEEFu);  // nothing written past the row
                ASSERT_EQ(samples[n], 0xDEADBEEFu);
            }
        }
    }
}

TEST_P(Variants, BlendShiftedOver) {
    std::mt19937 rng(7);
    for (u32 n = 0; n <= 70; n++) {
        for (u32 wy : {0u, 1u, 128u, 255u}) {
            for (u32 wx : {0u, 45u, 255u}) {
                // Rows exactly count + 1 pixels long, so a read past them
                // shows under AddressSanitizer.
                std::vector<u32> a(n + 1), b(n + 1), dst(n + 1, 0xDEADBEEF), bg(n);
                for (u32 i = 0; i <= n; i++) a[i] = random_pixel(rng), b[i] = random_pixel(rng);
                for (u32 i = 0; i < n; i++) bg[i] = dst[i] = random_pixel(rng);
                blend_kernels.blend_shifted_over(dst.data(), a.data(), b.data(), n, wy, wx);
                std::vector<u32> samples(n + 1, 0xDEADBEEF);
                blend_kernels.blend_shifted(samples.data(), a.data(), b.data(), n, wy, wx);
                for (u32 i = 0; i < n; i++) {
                    u32 here = ref_blend(a[i], b[i], wy);
                    u32 next = ref_blend(a[i + 1], b[i + 1], wy);
                    ASSERT_EQ(dst[i], ref_over(bg[i], ref_blend(here, next, wx)))
                        << n << " " << i << " " << wy << " " << wx;
                    ASSERT_EQ(samples[i], ref_blend(here, next, wx)) << n << " " << i << " " << wy << " " << wx;
                }
                ASSERT_EQ(dst[n], 0xDEADBEEFu);
                ASSERT_EQ(samples[n], 0xDEADBEEFu);
            }
        }
    }
}

// Every pair of channel values under every vertical weight: pixel i of the
// upper row holds (i & 255, i >> 8) in blue and green and the lower row the
// swapped pair, so the vertical blends of one row cover all 65536 pairs; the
// horizontal weight runs through its values with the vertical one.
TEST_P(Variants, BlendShiftedOverEveryChannelPair) {
    const u32 n = 65536;
    std::vector<u32> a(n + 1), b(n + 1), dst(n), expected(n);
    for (u32 i = 0; i <= n; i++) {
        u32 lo = i & 255, hi = (i >> 8) & 255;
        a[i] = 0xFF000000u | (255 - lo) << 16 | hi << 8 | lo;
        b[i] = 0xFF000000u | (255 - hi) << 16 | lo << 8 | hi;
    }
    for (u32 wy = 0; wy < 256; wy++) {
        u32 wx = (wy * 97 + 13) & 0xFF;
        std::fill(dst.begin(), dst.end(), 0u);
        blend_kernels.blend_shifted_over(dst.data(), a.data(), b.data(), n, wy, wx);
        blend_shifted_over_scalar(expected.data(), a.data(), b.data(), n, wy, wx);
        for (u32 i = 0; i < n; i++) {
            u32 here = ref_blend(a[i], b[i], wy), next = ref_blend(a[i + 1], b[i + 1], wy);
            ASSERT_EQ(dst[i], ref_blend(here, next, wx)) << wy << " " << i;
        }
        ASSERT_EQ(dst, expected) << wy;
    }
}

// The one-pass bilinear columns (and their two-row form) equal the
// vertical blend, the gathered column blend and compositing, on the tables
// of every ratio a level is shown at between 50 % and 100 % (and some
// upsampled fallbacks), clamped at both ends of the row, for rows of every
// length and the weights that take special paths (0 vertically and per
// column).
TEST_P(Variants, BlendPairsOver) {
    std::mt19937 rng(10);
    for (u32 width : {1u, 5u, 8u, 9u, 40u, 256u}) {
        std::vector<u32> a(width), b(width);  // exactly the rows, for AddressSanitizer
        for (u32 step : {33000u, 43691u, 65535u, 99000u, 131071u}) {
            for (u32 wy : {0u, 1u, 128u, 255u}) {
                for (u32& p : a) p = random_pixel(rng);
                for (u32& p : b) p = random_pixel(rng);
                std::vector<u8> left, right, weight;
                // Positions from before the row's start to past its end.
                for (i64 t = -(i64)2 << 16; t < ((i64)width + 2) << 16; t += step) {
                    i64 s = (t + (i64)(rng() & 0xFFFF)) >> 16;
                    left.push_back((u8)std::clamp<i64>(s - 1, 0, width - 1));
                    right.push_back((u8)std::clamp<i64>(s, 0, width - 1));
                    weight.push_back((u8)(rng() % 4 == 0 ? 0 : rng() & 0xFF));
                }
                // Ascending as the real tables: the fraction above only jitters.
                for (size_t i = 1; i < left.size(); i++) {
                    left[i] = std::max(left[i], left[i - 1]);
                    right[i] = std::max({right[i], right[i - 1], left[i]});
                    right[i] = std::min<u8>(right[i], (u8)std::min<u32>(left[i] + 1, width - 1));
                }
                u32 n = (u32)left.size();
                std::vector<u32> bg(n), dst(n + 1, 0xDEADBEEF);
                for (u32 i = 0; i < n; i++) bg[i] = dst[i] = random_pixel(rng);
                std::vector<u16> base(n + 4);
                std::vector<u8> offsets(2 * n), pairs(2 * n);
                pair_plan(base.data(), offsets.data(), pairs.data(), left.data(), right.data(), weight.data(), n,
                          width);
                // Every other table asks for the rows' lines (and some past
                // them) as it goes: hints that change nothing.
                bool hinted = (wy + step) % 2 == 0;
                PairColumns columns = {left.data(),  right.data(),   weight.data(), width,
                                       base.data(), offsets.data(), pairs.data(),
                                       hinted ? (const u8*)a.data() : nullptr, hinted ? width / 16 + n / 4 : 0};
                blend_kernels.blend_pairs_over(dst.data(), a.data(), b.data(), &columns, n, wy);
                std::vector<u32> samples(n + 1, 0xDEADBEEF);
                blend_kernels.blend_pairs(samples.data(), a.data(), b.data(), &columns, n, wy);
                for (u32 i = 0; i < n; i++) {
                    u32 s = ref_blend(ref_blend(a[left[i]], b[left[i]], wy), ref_blend(a[right[i]], b[right[i]], wy),
                                      weight[i]);
                    ASSERT_EQ(dst[i], ref_over(bg[i], s)) << width << " " << step << " " << wy << " " << i;
                    ASSERT_EQ(samples[i], s) << width << " " << step << " " << wy << " " << i;
                }
                ASSERT_EQ(dst[n], 0xDEADBEEFu);
                ASSERT_EQ(samples[n], 0xDEADBEEFu);
                // Two rows at once: the rows swapped for the second, with
                // another weight (every pairing of 0 and not 0 among them).
                u32 wy2 = (wy * 7 + step) & 0xFF;
                std::vector<u32> first(n + 1, 0xDEADBEEF), second(n + 1, 0xDEADBEEF);
                blend_kernels.blend_pairs2(first.data(), second.data(), a.data(), b.data(), wy, b.data(), a.data(),
                                           wy2, &columns, n);
                for (u32 i = 0; i < n; i++) {
                    ASSERT_EQ(first[i], samples[i]) << width << " " << step << " " << wy << " " << i;
                    u32 s = ref_blend(ref_blend(b[left[i]], a[left[i]], wy2), ref_blend(b[right[i]], a[right[i]], wy2),
                                      weight[i]);
                    ASSERT_EQ(second[i], s) << width << " " << step << " " << wy2 << " " << i;
                }
                ASSERT_EQ(first[n], 0xDEADBEEFu);
                ASSERT_EQ(second[n], 0xDEADBEEFu);
            }
        }
    }
}

// Long opaque runs take the stored path of every group; one translucent
// pixel anywhere sends its group through compositing, the others unchanged.
TEST_P(Variants, BilinearRunsOpaqueAndOneTranslucent) {
    std::mt19937 rng(8);
    const u32 n = 255;  // a tile's run: its last column is clamped
    std::vector<u32> a(2 * n + 2), b(2 * n + 2), bg(n), dst(n);
    for (u32 round = 0; round < 64; round++) {
        for (u32& p : a) p = random_pixel(rng) | 0xFF000000u;
        for (u32& p : b) p = random_pixel(rng) | 0xFF000000u;
        u32 hole = rng() % (n + 1);
        a[hole] &= 0x00FFFFFFu;  // transparent in the upper row only: alpha 0 blended with 255
        for (u32 i = 0; i < n; i++) bg[i] = random_pixel(rng);
        u32 wy = rng() & 0xFF, wx = rng() & 0xFF;
        dst = bg;
        blend_kernels.blend_shifted_over(dst.data(), a.data(), b.data(), n, wy, wx);
        for (u32 i = 0; i < n; i++) {
            u32 s = ref_blend(ref_blend(a[i], b[i], wy), ref_blend(a[i + 1], b[i + 1], wy), wx);
            ASSERT_EQ(dst[i], ref_over(bg[i], s)) << "shifted " << round << " " << i;
        }
        dst = bg;
        blend_kernels.blend_halves_over(dst.data(), a.data(), b.data(), n, wy, wx);
        for (u32 i = 0; i < n; i++) {
            u32 s = ref_blend(ref_blend(a[2 * i], b[2 * i], wy), ref_blend(a[2 * i + 1], b[2 * i + 1], wy), wx);
            ASSERT_EQ(dst[i], ref_over(bg[i], s)) << "halves " << round << " " << i;
        }
    }
}

// The 2:1 reduction against the per-channel rule, for every length, and
// with every channel at its extremes (sums of 0 and 4 x 255 + 2).
TEST_P(Variants, ReduceRow) {
    std::mt19937 rng(9);
    auto ref_reduce = [](u32 p, u32 q, u32 r, u32 t) {
        u32 out = 0;
        for (u32 c = 0; c < 4; c++)
            out |= ((channel(p, c) + channel(q, c) + channel(r, c) + channel(t, c) + 2) >> 2) << (8 * c);
        return out;
    };
    for (u32 n = 0; n <= 40; n++) {
        for (u32 round = 0; round < 4; round++) {
            std::vector<u32> a(2 * n), b(2 * n), out(n + 1, 0xDEADBEEF);
            for (u32 i = 0; i < 2 * n; i++) {
                a[i] = round == 0 ? 0xFFFFFFFFu : random_pixel(rng);
                b[i] = round == 0 ? 0xFFFFFFFFu : (round == 1 ? 0u : random_pixel(rng));
            }
            blend_kernels.reduce_row(out.data(), a.data(), b.data(), n);
            for (u32 i = 0; i < n; i++) {
                ASSERT_EQ(out[i], ref_reduce(a[2 * i], a[2 * i + 1], b[2 * i], b[2 * i + 1])) << n << " " << i;
            }
            ASSERT_EQ(out[n], 0xDEADBEEFu);
        }
    }
}

TEST_P(Variants, Composite) {
    std::mt19937 rng(3);
    for (u32 n = 0; n <= 40; n++) {
        for (u32 round = 0; round < 8; round++) {
            std::vector<u32> src(n), dst(n + 1, 0xDEADBEEF), bg(n);
            for (u32 i = 0; i < n; i++) src[i] = random_pixel(rng), bg[i] = dst[i] = random_pixel(rng);
            blend_kernels.composite_row(dst.data(), src.data(), n);
            for (u32 i = 0; i < n; i++) ASSERT_EQ(dst[i], ref_over(bg[i], src[i])) << n << " " << i;
            ASSERT_EQ(dst[n], 0xDEADBEEFu);
        }
    }
    // The three alpha cases in a full group and in a tail: transparent keeps
    // the background, 128 blends with a = 129, opaque replaces it.
    for (u32 n : {3u, 8u, 11u}) {
        std::vector<u32> src(n), dst(n, 0x00363636);
        for (u32 i = 0; i < n; i++) src[i] = (i % 3 == 0 ? 0x00u : (i % 3 == 1 ? 0x80u : 0xFFu)) << 24 | 0xC86420;
        blend_kernels.composite_row(dst.data(), src.data(), n);
        for (u32 i = 0; i < n; i++) {
            // Red 0x36 * 127 + 0xC8 * 129 = 32658 -> 127, green 19758 -> 77,
            // blue 10986 -> 42, alpha 128 * 129 >> 8 = 64.
            u32 expected = i % 3 == 0 ? 0x00363636u : (i % 3 == 1 ? 0x407F4D2Au : 0xFFC86420u);
            EXPECT_EQ(dst[i], expected) << i;
        }
    }
}

// The streaming twin of compositing and the difference colour of two
// samples over black: the rules' pixels at every alignment of the row (each
// vector boundary its head stops at), for every length.
TEST_P(Variants, StreamingRows) {
    std::mt19937 rng(11);
    alignas(64) static u32 dst[64 + 48];
    for (u32 offset = 0; offset < 8; offset++) {
        for (u32 n = 0; n <= 40; n++) {
            std::vector<u32> src(n), bg(n), a(n), b(n);
            for (u32 i = 0; i < n; i++) {
                src[i] = random_pixel(rng), bg[i] = random_pixel(rng);
                a[i] = random_pixel(rng), b[i] = i % 5 == 0 ? a[i] ^ 0xFF000000u : random_pixel(rng);
            }
            std::fill(std::begin(dst), std::end(dst), 0xDEADBEEFu);
            std::copy(bg.begin(), bg.end(), dst + offset);
            blend_kernels.composite_row_stream(dst + offset, src.data(), n);
            stream_fence();
            for (u32 i = 0; i < n; i++) ASSERT_EQ(dst[offset + i], ref_over(bg[i], src[i])) << offset << " " << n;
            ASSERT_EQ(dst[offset + n], 0xDEADBEEFu);
            for (u32 i = 0; i < offset; i++) ASSERT_EQ(dst[i], 0xDEADBEEFu);  // nor before it
            blend_kernels.difference_over_black(dst + offset, a.data(), b.data(), n);
            stream_fence();
            for (u32 i = 0; i < n; i++) {
                u32 expected = ref_difference(ref_over(0xFF000000u, a[i]), ref_over(0xFF000000u, b[i]));
                ASSERT_EQ(dst[offset + i], expected) << offset << " " << n;
            }
            ASSERT_EQ(dst[offset + n], 0xDEADBEEFu);
        }
    }
}

TEST_P(Variants, Difference) {
    std::mt19937 rng(4);
    for (u32 n = 0; n <= 40; n++) {
        std::vector<u32> a(n), b(n), out(n + 1, 0xDEADBEEF);
        for (u32 i = 0; i < n; i++) a[i] = random_pixel(rng), b[i] = i % 5 == 0 ? a[i] ^ 0xFF000000u : random_pixel(rng);
        blend_kernels.difference_row(out.data(), a.data(), b.data(), n);
        for (u32 i = 0; i < n; i++) ASSERT_EQ(out[i], ref_difference(a[i], b[i]));
        ASSERT_EQ(out[n], 0xDEADBEEFu);
    }
    // Every distance m from 0 to 255, in the blue, green or red byte.
    std::vector<u32> a(256 * 3), b(256 * 3, 0xFF000000u), out(256 * 3);
    for (u32 m = 0; m < 256; m++)
        for (u32 c = 0; c < 3; c++) a[m * 3 + c] = 0xFF000000u | m << (8 * c);
    blend_kernels.difference_row(out.data(), a.data(), b.data(), 256 * 3);
    for (u32 i = 0; i < 256 * 3; i++) ASSERT_EQ(out[i], ref_difference(a[i], b[i]));
    EXPECT_EQ(out[0], 0xFF000000u);              // identical: black
    EXPECT_EQ(out[1 * 3], 0xFF02007Eu);          // m = 1: blue 126, red 2
    EXPECT_EQ(out[64 * 3 + 1], 0xFF800000u);     // g = 128: blue gone, red 128
    EXPECT_EQ(out[255 * 3 + 2], 0xFFFFFF00u);    // pure red against black: red and green 255
}

INSTANTIATE_TEST_SUITE_P(All, Variants, ::testing::Values(KERNELS_SCALAR, KERNELS_SSE2, KERNELS_AVX2),
                         [](const ::testing::TestParamInfo<u32>& i) {
                             return std::string(i.param == 0 ? "scalar" : (i.param == 1 ? "sse2" : "avx2"));
                         });
