// The TGA decoder on files written by the test: every image type, pixel
// depth and colour-map entry size, with a first index and indices outside
// the map, all four origins, an ID field, a colour map on a true-colour
// image and a TGA 2.0 footer, RLE packets that cross row ends; the alpha
// rules; header checks and data faults with their codes and offsets; and
// Pillow's pixels for the variants it reads.
#include <gtest/gtest.h>

#include <random>

#include "codec/pnm/expand.h"
#include "codec/tga/tga.h"
#include "tga_support.h"

using namespace decodetest;
using namespace tgatest;

namespace {

Decoded decode(const Bytes& f) {
    return run(tga_probe, tga_decode, f);
}

}  // namespace

TEST(TgaDecode, EveryVariantWithKnownPixels) {
    u32 n = 0;
    for (const Variant& v : every_variant()) {
        for (u32 wh : {0u, 1u}) {
            u32 w = wh ? 1 : 37, h = wh ? 3 : 9;
            Written t = write_tga(v, w, h, n++);
            ASSERT_TRUE(tga_sniff(t.file.data(), t.file.size())) << describe(v);
            Decoded d = decode(t.file);
            ASSERT_TRUE(d.ok) << describe(v) << ": " << d.err.code << " at " << d.err.offset;
            ASSERT_EQ(d.rgba, t.want) << describe(v) << " " << w << "x" << h << " "
                                      << first_difference(d.rgba, t.want, w, 0);
        }
    }
}

TEST(TgaDecode, ScalarKernelsGiveTheSamePixels) {
    for (const Variant& v : every_variant()) {
        Written t = write_tga(v, 45, 4, 5);
        expand_kernels_force(EXPAND_KERNELS_SCALAR);
        Decoded a = decode(t.file);
        ASSERT_TRUE(a.ok);
        for (u32 variant : {EXPAND_KERNELS_SSE2, EXPAND_KERNELS_AVX2}) {
            if (!expand_kernels_force(variant)) continue;
            Decoded b = decode(t.file);
            ASSERT_TRUE(b.ok);
            ASSERT_EQ(a.rgba, b.rgba) << describe(v) << " kernels " << variant;
        }
    }
}

TEST(TgaDecode, AlphaRules) {
    // 32-bit with alpha zero everywhere: opaque, whatever the attribute bits.
    for (u32 attr : {0u, 8u}) {
        Bytes f = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 1, 0, 32, (u8)(attr | 0x20), 1, 2, 3, 0, 4, 5, 6, 0};
        Decoded d = decode(f);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.rgba, (Bytes{3, 2, 1, 255, 6, 5, 4, 255}));
        f[21] = 9;
        d = decode(f);
        EXPECT_EQ(d.rgba, (Bytes{3, 2, 1, 9, 6, 5, 4, 0}));
    }
    // 16-bit: the top bit is alpha only with one attribute bit.
    Bytes f = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 1, 0, 16, 0x21, 0xFF, 0x7F, 0x00, 0x80};
    Decoded d = decode(f);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.rgba, (Bytes{255, 255, 255, 0, 0, 0, 0, 255}));
    f[17] = 0x20;
    d = decode(f);
    EXPECT_EQ(d.rgba, (Bytes{255, 255, 255, 255, 0, 0, 0, 255}));
}

// ---- Faults -------------------------------------------------------------------

static Bytes small_rle() {
    // 4 x 2, 24-bit RLE: a run of 3, 5 literals crossing the row end.
    Bytes f = {0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 2, 0, 24, 0x20, 0x82, 1, 2, 3, 0x04};
    for (u8 i = 0; i < 15; i++) f.push_back(i);
    return f;
}

TEST(TgaErrors, HeaderChecks) {
    Bytes good = small_rle();
    ASSERT_TRUE(decode(good).ok);
    struct Case {
        u32 at;
        u8 value;
        u32 code, offset;
    } cases[] = {
        {2, 0, ERR_UNSUPPORTED, 2},  {2, 4, ERR_BAD_HEADER, 2},  {2, 32, ERR_BAD_HEADER, 2},
        {1, 2, ERR_BAD_HEADER, 1},   {16, 12, ERR_BAD_HEADER, 16}, {16, 8, ERR_BAD_HEADER, 16},
        {17, 0x60, ERR_BAD_HEADER, 17}, {17, 0x89, ERR_BAD_HEADER, 17}, {12, 0, ERR_BAD_HEADER, 12},
        {5, 1, ERR_BAD_HEADER, 5},   {7, 17, ERR_BAD_HEADER, 7},
    };
    for (const Case& c : cases) {
        Bytes f = good;
        f[c.at] = c.value;
        EXPECT_FALSE(tga_sniff(f.data(), f.size())) << "byte " << c.at << " = " << (int)c.value;
        EXPECT_ERR(decode(f).err, c.code, c.offset);
    }
    // Colour-mapped without a map; a map of 0 entries; a map past index 65535.
    Bytes f = {0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 8, 0, 0};
    EXPECT_ERR(decode(f).err, ERR_BAD_HEADER, 1);
    f[1] = 1, f[7] = 24;
    EXPECT_ERR(decode(f).err, ERR_BAD_HEADER, 5);
    f[3] = 0xFF, f[4] = 0xFF, f[5] = 2;
    EXPECT_ERR(decode(f).err, ERR_BAD_HEADER, 5);
    // Width 65535 by 1025 is above the pixel cap.
    f = good;
    f[12] = f[13] = 0xFF, f[14] = 0x01, f[15] = 0x04;
    EXPECT_ERR(decode(f).err, ERR_TOO_LARGE, 14);
    EXPECT_ERR(decode(Bytes(good.begin(), good.begin() + 17)).err, ERR_TRUNCATED, 17);
    EXPECT_FALSE(tga_sniff(good.data(), 17));
}

TEST(TgaErrors, RandomHeadersRarelyPass) {
    std::mt19937 rng(11);
    u32 passed = 0;
    for (u32 i = 0; i < 200000; i++) {
        u8 h[18];
        for (u8& b : h) b = (u8)rng();
        passed += tga_sniff(h, 18);
    }
    EXPECT_LE(passed, 2u);
}

// A header that claims more pixels than the file holds.
TEST(TgaErrors, DataShorterThanTheHeaderClaims) {
    Variant v = {2, 24, 0, 0, 0, 0, 0, 0, false, true};
    Written t = write_tga(v, 9, 5, 1);
    Bytes f(t.file.begin(), t.file.end() - 1);
    ImageInfo info;
    CodecError err;
    EXPECT_FALSE(tga_probe(f.data(), f.size(), &info, &err));
    EXPECT_ERR(err, ERR_TRUNCATED, f.size());
    // The ID field and colour map must be there too.
    Variant m = {1, 8, 0, 24, 0, 200, 0, 30, false, true};
    t = write_tga(m, 2, 2, 1);
    for (size_t n : {19u, 47u, 48u, 647u}) {
        Bytes g(t.file.begin(), t.file.begin() + (long)n);
        EXPECT_ERR(decode(g).err, ERR_TRUNCATED, n);
    }
    // RLE data cut anywhere: truncated at the length given.
    Bytes rle = small_rle();
    for (size_t n = 18; n < rle.size(); n++) {
        Bytes g(rle.begin(), rle.begin() + (long)n);
        EXPECT_ERR(decode(g).err, ERR_TRUNCATED, n);
    }
}

TEST(TgaErrors, RlePacketPastTheImage) {
    Bytes f = small_rle();
    f[22] = 0x05;  // 6 literals where 5 pixels are left
    f.insert(f.end(), {7, 7, 7});
    EXPECT_ERR(decode(f).err, ERR_BAD_HEADER, 22);
    f = small_rle();
    f[18] = 0x88;  // a run of 9 in an image of 8
    EXPECT_ERR(decode(f).err, ERR_BAD_HEADER, 18);
}

TEST(TgaErrors, IndexOutsideTheMapIsOpaqueBlack) {
    // Map of 2 entries starting at index 5; indices 4, 5, 6, 7.
    Bytes f = {0, 1, 1, 5, 0, 2, 0, 32, 0, 0, 0, 0, 4, 0, 1, 0, 8, 0x20, 1, 2, 3, 4, 5, 6, 7, 8, 4, 5, 6, 7};
    Decoded d = decode(f);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.rgba, (Bytes{0, 0, 0, 255, 3, 2, 1, 4, 7, 6, 5, 8, 0, 0, 0, 255}));
}

// ---- Pillow ---------------------------------------------------------------------

// Pillow reads 8-bit indices into 24-bit maps, 16-bit colour
// without alpha, 24 and 32-bit colour and 8/16-bit grey, and RLE packets
// only when they end at row ends. It widens 5-bit channels with another
// rounding, so those compare within one step.
TEST(TgaReference, PillowAgrees) {
    std::vector<Variant> variants;
    for (const Variant& v : every_variant()) {
        bool index = (v.type & 7) == 1;
        if (index && (v.depth != 8 || v.map_bits != 24 || !v.in_map || v.map_first != 0)) continue;
        if (!index && v.map_bits) continue;  // a map on a true-colour image
        if (v.depth == 15 || ((v.type & 7) == 2 && v.depth == 16 && v.attr == 1)) continue;
        variants.push_back(v);
        variants.back().row_packets = true;
    }
    std::vector<Bytes> files, ours;
    const u32 w = 29, h = 7;
    for (size_t i = 0; i < variants.size(); i++) {
        Written t = write_tga(variants[i], w, h, (u32)i + 100);
        files.push_back(t.file);
        ours.push_back(t.want);
    }
    std::vector<PillowImage> theirs;
    if (!pillow_decode(files, "tga", &theirs) && theirs.empty())
        GTEST_SKIP() << "Pillow is not available (/usr/bin/python3 with python3-pil; scripts/setup installs it)";
    for (size_t i = 0; i < files.size(); i++) {
        const Variant& v = variants[i];
        Decoded d = decode(files[i]);
        ASSERT_TRUE(d.ok);
        ASSERT_TRUE(theirs[i].ok) << "Pillow could not read " << describe(v);
        bool five = v.depth == 15 || (v.depth == 16 && (v.type & 7) == 2) || v.map_bits == 16;
        int tolerance = five ? 8 : 0;
        EXPECT_LE(max_diff(d.rgba, theirs[i].rgba), tolerance)
            << describe(v) << ": " << first_difference(d.rgba, theirs[i].rgba, w, tolerance);
    }
}
