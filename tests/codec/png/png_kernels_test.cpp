// Row kernels: every vector variant the machine runs against the scalar
// twin, Paeth over all 2^24 (left, up, upleft) triples, the other filters on
// random rows of every pixel distance and many lengths, with a check that
// nothing is written past the 31 bytes of slack; the conversions and the
// display conversion of every kind; the over blend's exact results.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "codec/png/png_rows.h"
#include "png_support.h"

using namespace pngtest;

static std::vector<u32> variants() {
    std::vector<u32> v;
    for (u32 k = 0; k < 3; k++)
        if (png_kernels_supported(k)) v.push_back(k);
    return v;
}

static PngUnfilterFn unfilter_of(u32 variant) {
    return variant == 0 ? unfilter_row_scalar : variant == 1 ? unfilter_row_sse2 : unfilter_row_avx2;
}
static PngConvertFn convert_of(u32 variant) {
    return variant == 0 ? convert_run_scalar : variant == 1 ? convert_run_sse2 : convert_run_avx2;
}
static PngDisplayFn display_of(u32 variant) {
    return variant == 0 ? to_display_scalar : to_display_sse2;
}

static u8 paeth_ref(int a, int b, int c) {
    int p = a + b - c, pa = abs(p - a), pb = abs(p - b), pc = abs(p - c);
    return (u8)(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Every (left, up, upleft) triple, for 1-, 3- and 4-byte pixels (the vector
// kernel handles a whole pixel per step, so each width is its own path).
// Each pair of pixels (2k, 2k + 1) sets up `bpp` triples, one per channel, at
// pixel 2k + 1: left = out of pixel 2k, up = prev of pixel 2k + 1, upleft =
// prev of pixel 2k. The filtered bytes are made so that the output must equal
// `want`.
TEST(PngKernels, PaethEveryTriple) {
    const std::vector<u32> all = variants();
    for (u32 bpp : {1u, 3u, 4u}) {
        const u32 pairs = 65536 / bpp + 1;
        const u32 n = 2 * pairs * bpp;
        Bytes prev(n + 64), want(n), raw(n + 64), out(n + 64);
        for (u32 c = 0; c < 256; c++) {
            for (u32 k = 0; k < pairs; k++) {
                for (u32 ch = 0; ch < bpp; ch++) {
                    const u32 t = (k * bpp + ch) & 65535;
                    const u32 first = 2 * k * bpp + ch, second = first + bpp;
                    want[first] = (u8)(t >> 8);
                    prev[first] = (u8)c;
                    prev[second] = (u8)t;
                    want[second] = (u8)(t * 31 + c);
                }
            }
            for (u32 i = 0; i < n; i++) {
                u32 left = i >= bpp ? want[i - bpp] : 0, upleft = i >= bpp ? prev[i - bpp] : 0;
                raw[i] = (u8)(want[i] - paeth_ref(left, prev[i], upleft));
            }
            for (u32 variant : all) {
                unfilter_of(variant)(4, raw.data(), out.data(), prev.data(), n, bpp);
                ASSERT_EQ(memcmp(out.data(), want.data(), n), 0)
                    << "variant " << variant << " bpp " << bpp << " upleft " << c;
            }
        }
    }
}

// Average for every (left, up) pair of bytes: the first byte sets the left
// value (nothing to its left, zero above), the second averages it with up.
TEST(PngKernels, AverageEveryPair) {
    for (u32 variant : variants()) {
        PngUnfilterFn fn = unfilter_of(variant);
        for (u32 left = 0; left < 256; left++) {
            for (u32 up = 0; up < 256; up++) {
                const u8 x = (u8)(left * 7 + up * 13);
                u8 prev[64] = {0, (u8)up}, raw[64] = {(u8)left, x}, out[64] = {};
                fn(3, raw, out, prev, 2, 1);
                ASSERT_EQ(out[0], left);
                ASSERT_EQ(out[1], (u8)(x + (left + up) / 2)) << "variant " << variant << " " << left << " " << up;
            }
        }
    }
}

TEST(PngKernels, FilterTiesAndOverflow) {
    for (u32 variant : variants()) {
        PngUnfilterFn fn = unfilter_of(variant);
        // Left 10, up 40, upleft 20: up and upleft are equally far from
        // the estimate 30; the tie order picks up.
        u8 prev[64] = {20, 40}, raw[64] = {246, 1}, out[64] = {};
        fn(4, raw, out, prev, 2, 1);
        EXPECT_EQ(out[0], 10);
        EXPECT_EQ(out[1], 41) << variant;
        // Average of 255 and 255 is 255, not 127.
        u8 prev2[64] = {255, 255}, raw2[64] = {0, 0}, out2[64] = {};
        raw2[0] = (u8)(255 - 127);  // first byte: left 0, up 255 -> 127; out 255
        fn(3, raw2, out2, prev2, 2, 1);
        EXPECT_EQ(out2[0], 255);
        EXPECT_EQ(out2[1], 255) << variant;
    }
}

TEST(PngKernels, EveryFilterDistanceAndLengthMatchesScalar) {
    std::mt19937 rng(3);
    const u32 bpps[] = {1, 2, 3, 4, 6, 8};
    for (u32 variant : variants()) {
        PngUnfilterFn fn = unfilter_of(variant);
        for (u32 type = 0; type < 5; type++) {
            for (u32 bpp : bpps) {
                for (u32 n = bpp; n < 300; n += bpp * (1 + rng() % 3)) {
                    Bytes raw(n + 32), prev(n + 32), want(n + 32, 0xCC), out(n + 96, 0xCC);
                    for (auto& b : raw) b = (u8)rng();
                    for (auto& b : prev) b = (u8)rng();
                    unfilter_row_scalar(type, raw.data(), want.data(), prev.data(), n, bpp);
                    fn(type, raw.data(), out.data(), prev.data(), n, bpp);
                    ASSERT_EQ(memcmp(out.data(), want.data(), n), 0)
                        << "variant " << variant << " type " << type << " bpp " << bpp << " n " << n;
                    for (u32 i = n + 31; i < n + 96; i++) ASSERT_EQ(out[i], 0xCC) << "wrote past the slack";
                }
            }
        }
    }
}

static PngTables random_tables(std::mt19937& rng, u32 palette_count, u32 depth, u32 type, bool trns) {
    PngPlan p = {};
    p.colour_type = type;
    p.bit_depth = depth;
    Bytes file(2048);
    for (auto& b : file) b = (u8)rng();
    p.plte_data = 100;
    p.palette_entries = palette_count;
    if (trns) {
        p.trns_data = 1000;
        p.trns_length = type == 3 ? palette_count / 2 + 1 : type == 0 ? 2 : 6;
        file[1000] = 0;
        file[1001] = (u8)(rng() % 4);
    }
    PngTables t;
    build_tables(&p, file.data(), file.size(), &t);
    return t;
}

TEST(PngKernels, ConversionsMatchScalar) {
    std::mt19937 rng(4);
    struct K {
        u32 kind, type, depth;
        bool trns;
    };
    const K kinds[] = {{0, 0, 1, false}, {0, 0, 2, false}, {0, 0, 4, false}, {1, 0, 2, true}, {2, 0, 8, false},
                       {3, 0, 8, true},  {4, 0, 16, true}, {5, 3, 4, true},  {6, 3, 8, false}, {7, 2, 8, true},
                       {8, 2, 16, true}, {9, 4, 8, false}, {10, 4, 16, false}, {11, 6, 8, false}, {12, 6, 16, false}};
    for (u32 variant : variants()) {
        PngConvertFn fn = convert_of(variant);
        for (const K& k : kinds) {
            PngTables t = random_tables(rng, 256, k.depth, k.type, k.trns);
            t.rgb_key8 = 0x030201;
            for (u32 count = 1; count <= 64; count += 1 + rng() % 9) {
                u32 padded = (count + 15) & ~15u;
                Bytes src(padded * 8 + 32), a(padded * 8 + 64), b(padded * 8 + 64);
                for (auto& v : src) v = (u8)(rng() % 5 == 0 ? 1 + rng() % 3 : rng());
                bool fa = convert_run_scalar(k.kind, &t, src.data(), a.data(), padded, k.depth, count);
                bool fb = fn(k.kind, &t, src.data(), b.data(), padded, k.depth, count);
                u32 out_size = k.kind <= 1 || k.kind == 2 || k.kind == 3 || k.kind == 9 ? (k.kind == 0 || k.kind == 2 ? 1 : 2)
                               : (k.kind == 4 || k.kind == 8 || k.kind == 10 || k.kind == 12) ? 8 : 4;
                EXPECT_EQ(fa, fb);
                ASSERT_EQ(memcmp(a.data(), b.data(), count * out_size), 0) << "variant " << variant << " kind " << k.kind;
            }
        }
        PngDisplayFn dfn = display_of(variant);
        for (PixelFormat f : {Mono8, MonoA8, Rgba16, Rgba8Straight}) {
            Bytes src(64 * 8 + 32), a(64 * 4 + 32), b(64 * 4 + 32);
            for (auto& v : src) v = (u8)rng();
            to_display_scalar(f, src.data(), a.data(), 64);
            dfn(f, src.data(), b.data(), 64);
            ASSERT_EQ(a, b) << "display format " << f << " variant " << variant;
        }
    }
}

// Palette lookups with short palettes: the fault flag (an index at or past
// the palette's end among the first `count` pixels, never in the padding)
// and the pixels of every variant equal the scalar twin's, for 8-bit and
// packed indices and every run length.
TEST(PngKernels, PaletteFaultsMatchScalar) {
    std::mt19937 rng(7);
    for (u32 variant : variants()) {
        PngConvertFn fn = convert_of(variant);
        for (u32 depth : {8u, 4u, 2u, 1u}) {
            bool seen[2] = {false, false};
            const u32 kind = depth == 8 ? PNG_CONVERT_PALETTE8 : PNG_CONVERT_PALETTE_LOW;
            for (u32 round = 0; round < 200; round++) {
                const u32 entries = 1 + rng() % (1u << depth);
                PngTables t = random_tables(rng, entries, depth, 3, false);
                const u32 count = 1 + rng() % 64, padded = (count + 15) & ~15u;
                Bytes src(padded + 32), a(padded * 4 + 64), b(padded * 4 + 64);
                // 8-bit: mostly valid indices, now and then one past the end.
                // Packed: random bytes, valid when the palette is full.
                for (auto& v : src) v = (u8)(depth < 8 ? rng() : rng() % 64 != 0 ? rng() % entries : 255);
                const bool fa = convert_run_scalar(kind, &t, src.data(), a.data(), padded, depth, count);
                const bool fb = fn(kind, &t, src.data(), b.data(), padded, depth, count);
                ASSERT_EQ(fa, fb) << "variant " << variant << " depth " << depth << " count " << count;
                ASSERT_EQ(memcmp(a.data(), b.data(), padded * 4), 0) << "variant " << variant << " depth " << depth;
                seen[fa] = true;
            }
            EXPECT_TRUE(seen[0] && seen[1]) << "depth " << depth << ": both outcomes should occur";
        }
    }
}

// Samples through build_tables and the scalar definition.
TEST(PngKernels, SampleRules) {
    PngPlan p = {};
    Bytes file(64, 0);
    PngTables t;
    p.colour_type = 0;
    p.bit_depth = 1;
    build_tables(&p, file.data(), file.size(), &t);
    u8 src[32] = {0x80}, out[64] = {};
    convert_run_scalar(PNG_CONVERT_GREY_LOW, &t, src, out, 16, 1, 2);
    EXPECT_EQ(out[0], 255);
    EXPECT_EQ(out[1], 0);
    p.bit_depth = 2;
    build_tables(&p, file.data(), file.size(), &t);
    src[0] = 0x80;  // samples 2, 0, 0, 0
    convert_run_scalar(PNG_CONVERT_GREY_LOW, &t, src, out, 16, 2, 1);
    EXPECT_EQ(out[0], 170);
    p.bit_depth = 4;
    build_tables(&p, file.data(), file.size(), &t);
    src[0] = 0xF0;
    convert_run_scalar(PNG_CONVERT_GREY_LOW, &t, src, out, 16, 4, 1);
    EXPECT_EQ(out[0], 255);
    // 2-bit grey with key 1: (0, 0) for samples of 1, (v * 85, 255) else.
    p.bit_depth = 2;
    p.trns_data = 10;
    p.trns_length = 2;
    file[10] = 0;
    file[11] = 1;
    build_tables(&p, file.data(), file.size(), &t);
    src[0] = 0x1B;  // 0, 1, 2, 3
    convert_run_scalar(PNG_CONVERT_GREY_LOW_TRNS, &t, src, out, 16, 2, 4);
    const u8 want[8] = {0, 255, 0, 0, 170, 255, 255, 255};
    EXPECT_EQ(memcmp(out, want, 8), 0);
    // An 8-bit key of 300 never matches.
    file[10] = 1;
    file[11] = 44;
    p.bit_depth = 8;
    build_tables(&p, file.data(), file.size(), &t);
    for (u32 i = 0; i < 16; i++) src[i] = (u8)(i * 17 + 44);
    convert_run_scalar(PNG_CONVERT_GREY8_TRNS, &t, src, out, 16, 8, 16);
    for (u32 i = 0; i < 16; i++) EXPECT_EQ(out[2 * i + 1], 255);
    // A 16-bit RGB pixel equal to the key becomes all zero.
    p.colour_type = 2;
    p.bit_depth = 16;
    p.trns_length = 6;
    const u8 key[6] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    memcpy(&file[10], key, 6);
    build_tables(&p, file.data(), file.size(), &t);
    u8 rgb[16 * 6 + 32] = {};
    memcpy(rgb, key, 6);
    rgb[6] = 0x12;
    rgb[7] = 0xFF;
    u8 wide[16 * 8 + 32];
    convert_run_scalar(PNG_CONVERT_RGB16, &t, rgb, wide, 16, 16, 2);
    for (u32 i = 0; i < 8; i++) EXPECT_EQ(wide[i], 0);
    u8 disp[64 + 32];
    to_display_scalar(Rgba16, wide, disp, 16);
    EXPECT_EQ(disp[4], 0x12);  // 0x12FF shows as 0x12
    EXPECT_EQ(disp[7], 0xFF);
    // Palette: index 5 of 4 entries is a fault; the same index in padding is not.
    p = {};
    p.colour_type = 3;
    p.bit_depth = 8;
    p.palette_entries = 4;
    p.plte_data = 20;
    build_tables(&p, file.data(), file.size(), &t);
    u8 idx[48] = {0, 1, 2, 3, 5};
    u8 rgba[16 * 4 + 32];
    EXPECT_TRUE(convert_run_scalar(PNG_CONVERT_PALETTE8, &t, idx, rgba, 16, 8, 5));
    EXPECT_FALSE(convert_run_scalar(PNG_CONVERT_PALETTE8, &t, idx, rgba, 16, 8, 4));
}

TEST(PngKernels, OverBlendExact) {
    u8 d[4] = {0, 0, 200, 255};
    const u8 s[4] = {200, 0, 0, 128};
    over_pixel8(s, d, 3);
    EXPECT_EQ(d[0], 100);
    EXPECT_EQ(d[1], 0);
    EXPECT_EQ(d[2], 100);
    EXPECT_EQ(d[3], 255);
    // Alpha 0 keeps the canvas, alpha 255 replaces it, both widths.
    std::mt19937 rng(5);
    for (u32 i = 0; i < 10000; i++) {
        u8 dst[4] = {(u8)rng(), (u8)rng(), (u8)rng(), (u8)rng()}, keep[4];
        memcpy(keep, dst, 4);
        u8 src[4] = {(u8)rng(), (u8)rng(), (u8)rng(), 0};
        over_pixel8(src, dst, 3);
        if (keep[3] != 0) {
            ASSERT_EQ(memcmp(dst, keep, 4), 0);
        }
        src[3] = 255;
        over_pixel8(src, dst, 3);
        ASSERT_EQ(memcmp(dst, src, 4), 0);
        u16 dw[4] = {(u16)rng(), (u16)rng(), (u16)rng(), (u16)(rng() | 1)}, kw[4];
        memcpy(kw, dw, 8);
        u16 sw[4] = {(u16)rng(), (u16)rng(), (u16)rng(), 0};
        over_pixel16(sw, dw);
        ASSERT_EQ(memcmp(dw, kw, 8), 0);
        sw[3] = 65535;
        over_pixel16(sw, dw);
        ASSERT_EQ(memcmp(dw, sw, 8), 0);
    }
    // Every 8-bit grey+alpha pair against a rational reference: the result
    // is the nearest integer to the exact weighted mean (ties up).
    for (u32 sa = 0; sa < 256; sa += 5) {
        for (u32 da = 0; da < 256; da += 3) {
            for (u32 sc = 0; sc < 256; sc += 17) {
                for (u32 dc = 0; dc < 256; dc += 13) {
                    u8 dd[2] = {(u8)dc, (u8)da};
                    const u8 ss[2] = {(u8)sc, (u8)sa};
                    over_pixel8(ss, dd, 1);
                    double f = sa * 255.0 + da * (255.0 - sa);
                    double colour = f ? (sc * sa * 255.0 + dc * da * (255.0 - sa)) / f : 0;
                    ASSERT_LE(std::abs(dd[0] - colour), 0.5 + 1e-9);
                    ASSERT_LE(std::abs(dd[1] - f / 255.0), 0.5 + 1e-9);
                }
            }
        }
    }
}

TEST(PngKernels, AdamGeometry) {
    // A 1 x 1 image has only pass 0; a 5 x 5 image skips none.
    EXPECT_EQ(png_first_pass(1, 1, 1), 0u);
    EXPECT_EQ(png_next_pass(0, 1, 1, 1), 8u);
    u32 passes = 0;
    for (u32 p = png_first_pass(5, 5, 1); p < 8; p = png_next_pass(p, 5, 5, 1)) passes++;
    EXPECT_EQ(passes, 7u);
    // 2 x 1: passes 0 and 5 (x start 1) only.
    EXPECT_EQ(png_next_pass(0, 2, 1, 1), 5u);
    EXPECT_EQ(png_next_pass(5, 2, 1, 1), 8u);
    EXPECT_EQ(png_next_pass(7, 9, 9, 0), 8u);
    EXPECT_EQ(packed_raw_row(1), 48u);
    EXPECT_EQ(packed_raw_row(17), 64u);
}
