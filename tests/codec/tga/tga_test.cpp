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
#include "../decode_support.h"

using namespace decodetest;

namespace {

struct Variant {
    u32 type;       // 1, 2, 3, 9, 10, 11
    u32 depth;      // bits per stored pixel
    u32 attr;       // descriptor attribute bits
    u32 map_bits;   // 0: no colour map
    u32 map_first;
    u32 map_length;
    u32 origin;     // descriptor bits 4 and 5
    u32 id_length;
    bool footer;
    bool in_map;    // colour indices only inside the map (Pillow reads those alike)
    bool row_packets = false;  // RLE packets end at row ends (Pillow needs that)
};

u32 widen5(u32 v) {
    return v << 3 | v >> 2;
}

// The RGBA of a stored value, as the format rules say.
struct Rules {
    const Variant& v;
    const std::vector<u32>& map;  // RGBA of each entry, map_first first
    u32 rgba(u32 s) const {
        u32 base = v.type & 7;
        if (base == 1) {
            if (s < v.map_first || s >= v.map_first + v.map_length) return 0xFF000000u;
            return map[s - v.map_first];
        }
        if (base == 3) return v.depth == 8 ? (s & 255) * 0x010101u | 0xFF000000u : (s & 255) * 0x010101u | (s >> 8) << 24;
        switch (v.depth) {
        case 15:
        case 16: {
            u32 c = widen5((s >> 10) & 31) | widen5((s >> 5) & 31) << 8 | widen5(s & 31) << 16;
            bool alpha = v.depth == 16 && v.attr == 1;
            return c | (alpha ? ((s >> 15) ? 0xFF000000u : 0) : 0xFF000000u);
        }
        case 24: return (s >> 16 & 255) | (s & 0xFF00) | (s & 255) << 16 | 0xFF000000u;
        default: return (s >> 16 & 255) | (s & 0xFF00) | (s & 255) << 16 | (s & 0xFF000000u);
        }
    }
};

void put_le(Bytes& f, u32 v, u32 bytes) {
    for (u32 i = 0; i < bytes; i++) f.push_back((u8)(v >> (8 * i)));
}

u32 bytes_of(u32 bits) {
    return bits == 15 ? 2 : bits / 8;
}

struct Written {
    Bytes file;
    Bytes want;  // RGBA, rows top-down
};

// Stored values in file order, runs of repeats included, RLE packets
// allowed across row ends; `want` applies the origin.
Written write_tga(const Variant& v, u32 w, u32 h, u32 seed) {
    std::mt19937 rng(seed);
    u32 size = bytes_of(v.depth);
    std::vector<u32> map;
    Bytes map_bytes;
    for (u32 i = 0; i < v.map_length; i++) {
        u32 e = rng();
        u32 eb = bytes_of(v.map_bits);
        if (eb == 2) e &= 0xFFFF;
        if (eb == 3) e &= 0xFFFFFF;
        put_le(map_bytes, e, eb);
        u32 c;
        if (eb == 2)
            c = widen5((e >> 10) & 31) | widen5((e >> 5) & 31) << 8 | widen5(e & 31) << 16 | 0xFF000000u;
        else if (eb == 3)
            c = (e >> 16 & 255) | (e & 0xFF00) | (e & 255) << 16 | 0xFF000000u;
        else
            c = (e >> 16 & 255) | (e & 0xFF00) | (e & 255) << 16 | (e & 0xFF000000u);
        map.push_back(c);
    }
    Rules rules{v, map};
    std::vector<u32> stored((size_t)w * h);
    for (size_t i = 0; i < stored.size(); i++) {
        if (i > 0 && rng() % 3 == 0) {
            stored[i] = stored[i - 1];
            continue;
        }
        u32 s = rng();
        if ((v.type & 7) == 1) {
            u32 range = v.depth == 8 ? 256 : 70000;
            s = v.in_map ? v.map_first + s % v.map_length : s % range;
            if (v.depth == 8) s &= 255;
        }
        if (size < 4) s &= (1u << (8 * size)) - 1;
        stored[i] = s;
    }
    Written out;
    Bytes& f = out.file;
    f.push_back((u8)v.id_length);
    f.push_back(v.map_bits ? 1 : 0);
    f.push_back((u8)v.type);
    put_le(f, v.map_first, 2);
    put_le(f, v.map_length, 2);
    f.push_back((u8)v.map_bits);
    put_le(f, 0, 4);
    put_le(f, w, 2);
    put_le(f, h, 2);
    f.push_back((u8)v.depth);
    f.push_back((u8)(v.attr | v.origin));
    for (u32 i = 0; i < v.id_length; i++) f.push_back((u8)('a' + i));
    f.insert(f.end(), map_bytes.begin(), map_bytes.end());
    if (v.type < 9) {
        for (u32 s : stored) put_le(f, s, size);
    } else {
        size_t i = 0;
        while (i < stored.size()) {
            // Where the packet must end: the image's end, or the row's.
            size_t end = v.row_packets ? (i / w + 1) * w : stored.size();
            size_t run = 1;
            while (i + run < end && run < 128 && stored[i + run] == stored[i]) run++;
            if (run >= 2) {
                f.push_back((u8)(0x80 | (run - 1)));
                put_le(f, stored[i], size);
                i += run;
                continue;
            }
            size_t lit = 1;
            while (i + lit < end && lit < 128 && !(i + lit + 1 < end && stored[i + lit] == stored[i + lit + 1]))
                lit++;
            f.push_back((u8)(lit - 1));
            for (size_t k = 0; k < lit; k++) put_le(f, stored[i + k], size);
            i += lit;
        }
    }
    if (v.footer) {
        put_le(f, 0, 8);
        const char sig[] = "TRUEVISION-XFILE.";
        f.insert(f.end(), sig, sig + 18);
    }
    out.want.assign((size_t)w * h * 4, 0);
    bool top = v.origin & 0x20, rtl = v.origin & 0x10;
    bool any_alpha = false;
    for (u32 r = 0; r < h; r++)
        for (u32 c = 0; c < w; c++) {
            u32 px = rules.rgba(stored[(size_t)r * w + c]);
            u32 y = top ? r : h - 1 - r, x = rtl ? w - 1 - c : c;
            memcpy(&out.want[((size_t)y * w + x) * 4], &px, 4);
            any_alpha |= (px >> 24) != 0;
        }
    if (!any_alpha)
        for (size_t i = 3; i < out.want.size(); i += 4) out.want[i] = 255;
    return out;
}

Decoded decode(const Bytes& f) {
    return run(tga_probe, tga_decode, f);
}

std::string describe(const Variant& v) {
    char buf[128];
    snprintf(buf, sizeof buf, "type %u depth %u attr %u map %u@%u+%u origin 0x%x", v.type, v.depth, v.attr, v.map_bits,
             v.map_first, v.map_length, v.origin);
    return buf;
}

std::vector<Variant> every_variant() {
    std::vector<Variant> all;
    for (u32 rle : {0u, 8u}) {
        for (u32 origin : {0x00u, 0x10u, 0x20u, 0x30u}) {
            u32 id = origin == 0x10 ? 7 : 0;
            bool footer = origin == 0x20;
            // True colour, with a colour map that is present but unused on one.
            all.push_back({2 + rle, 24, 0, 0, 0, 0, origin, id, footer, true});
            all.push_back({2 + rle, 32, 8, 0, 0, 0, origin, id, footer, true});
            all.push_back({2 + rle, 32, 0, 0, 0, 0, origin, id, footer, true});
            all.push_back({2 + rle, 16, 1, 0, 0, 0, origin, id, footer, true});
            all.push_back({2 + rle, 16, 0, 24, 0, 3, origin, id, footer, true});
            all.push_back({2 + rle, 15, 0, 0, 0, 0, origin, id, footer, true});
            all.push_back({3 + rle, 8, 0, 0, 0, 0, origin, id, footer, true});
            all.push_back({3 + rle, 16, 8, 0, 0, 0, origin, id, footer, true});
            for (u32 bits : {15u, 16u, 24u, 32u}) {
                all.push_back({1 + rle, 8, 0, bits, 0, 256, origin, id, footer, true});
                all.push_back({1 + rle, 8, 0, bits, 17, 100, origin, id, footer, false});
            }
            all.push_back({1 + rle, 16, 0, 24, 300, 600, origin, id, footer, false});
        }
    }
    return all;
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
        expand_kernels_force(EXPAND_KERNELS_SSE2);
        Decoded b = decode(t.file);
        ASSERT_TRUE(a.ok && b.ok);
        ASSERT_EQ(a.rgba, b.rgba) << describe(v);
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
