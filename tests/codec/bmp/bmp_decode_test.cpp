// BMP decoding on files written by the test: every header size and depth,
// masks of every width, alpha rules, short palettes, hand-made RLE streams,
// the embedded JPEG/PNG span, bad inputs with their codes and offsets, every
// prefix of a file, and the SSE2 kernels against their scalar twins.
#include <gtest/gtest.h>

#include <random>

#include "bmp_support.h"

using namespace bmptest;

static std::vector<u32> pattern(u32 w, u32 h, u32 range, u32 seed) {
    std::vector<u32> v((size_t)w * h);
    std::mt19937 rng(seed);
    for (auto& x : v) x = range ? rng() % range : rng();
    return v;
}

static std::vector<u32> ramp_palette(u32 n) {
    std::vector<u32> p(n);
    for (u32 i = 0; i < n; i++) p[i] = ((i * 37 + 11) & 255) << 16 | ((255 - i * 3) & 255) << 8 | ((i * 101) & 255);
    return p;
}

static void expect_decodes(const Spec& s, u32 w, u32 h, const std::vector<u32>& values, const char* what) {
    SCOPED_TRACE(testing::Message() << what << " header " << s.header_size << " bits " << s.bits << " comp "
                                    << s.compression << " " << w << "x" << h << (s.top_down ? " top-down" : ""));
    Bytes f = write_bmp(s, w, h, values);
    Decoded d = decode_bmp(f);
    ASSERT_TRUE(d.ok) << "code " << d.err.code << " at " << d.err.offset;
    EXPECT_TRUE(d.canary_intact);
    EXPECT_EQ(d.info.decoder, DECODER_BMP);
    EXPECT_EQ(d.info.scratch_bytes, 0u);
    EXPECT_EQ(d.info.pixel_bytes, row_stride(w) * h + 32);
    std::vector<u32> want = expected(s, w, h, values);
    ASSERT_EQ(d.px.size(), want.size());
    for (size_t i = 0; i < want.size(); i++)
        ASSERT_EQ(d.px[i], want[i]) << "pixel " << i % w << "," << i / w << " value " << values[i];
}

// ---- Header sizes and depths ---------------------------------------------------------

TEST(BmpDecode, EveryHeaderSizeAndDepth) {
    const u32 widths[] = {1, 3, 5, 8, 13, 33};
    for (u32 header : {12u, 16u, 40u, 52u, 56u, 64u, 108u, 124u})
        for (u32 bits : {1u, 2u, 4u, 8u, 16u, 24u, 32u}) {
            if (header == 12 && bits == 16) continue;  // the core header has no 16-bit form
            for (u32 w : widths)
                for (bool top_down : {false, true}) {
                    if (header == 12 && top_down) continue;  // unsigned height
                    Spec s;
                    s.header_size = header, s.bits = bits, s.top_down = top_down;
                    if (bits <= 8) s.palette = ramp_palette(1u << bits);
                    u32 h = 1 + (w * 7) % 9;
                    u32 range = bits <= 8 ? 1u << bits : (bits == 16 ? 0x10000u : 0);
                    expect_decodes(s, w, h, pattern(w, h, range, w * bits + header), "plain");
                }
        }
}

TEST(BmpDecode, LastRowWithoutPadding) {
    for (u32 bits : {1u, 4u, 8u, 24u}) {
        Spec s;
        s.bits = bits, s.pad_last_row = false;
        if (bits <= 8) s.palette = ramp_palette(1u << bits);
        expect_decodes(s, 7, 5, pattern(7, 5, bits <= 8 ? 1u << bits : 0, bits), "unpadded");
    }
}

// ---- Masks and alpha ----------------------------------------------------------------

TEST(BmpDecode, MasksOfEveryShape) {
    struct Case {
        u32 bits;
        u32 m[4];
    } cases[] = {
        {16, {0xF800, 0x07E0, 0x001F, 0}},         // 5-6-5
        {16, {0x7C00, 0x03E0, 0x001F, 0}},         // 5-5-5
        {16, {0x7C00, 0x03E0, 0x001F, 0x8000}},    // 1-5-5-5
        {16, {0x0F00, 0x00F0, 0x000F, 0xF000}},    // 4-4-4-4
        {16, {0x001F, 0x07E0, 0xF800, 0}},         // swapped order
        {16, {0xFFFF, 0, 0, 0}},                   // one 16-bit channel
        {32, {0x3FF00000, 0x000FFC00, 0x000003FF, 0xC0000000}},  // 10-10-10-2
        {32, {0x000000FF, 0x0000FF00, 0x00FF0000, 0xFF000000}},  // R, G, B, A bytes
        {32, {0xFF000000, 0x00FF0000, 0x0000FF00, 0x000000FF}},
        {32, {0x00FF0000, 0x0000FF00, 0x000000FF, 0}},           // standard, no alpha
        {32, {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000}},  // standard with alpha
        {32, {0xFFFF0000, 0x0000FFF0, 0x0000000F, 0}},           // 16, 12 and 4 bits
        {32, {0xFFFFFFFF, 0, 0, 0}},                             // all 32 bits
    };
    for (const Case& c : cases)
        for (u32 header : {40u, 56u, 108u, 124u})
            for (u32 comp : {BMP_BITFIELDS, BMP_ALPHABITFIELDS}) {
                if (header != 40 && comp == BMP_ALPHABITFIELDS) continue;
                Spec s;
                s.header_size = header, s.bits = c.bits, s.compression = comp;
                for (int k = 0; k < 4; k++) s.masks[k] = c.m[k];
                expect_decodes(s, 11, 4, pattern(11, 4, c.bits == 16 ? 0x10000u : 0, c.m[0] + header), "masks");
            }
    // The 52-byte header holds RGB masks only.
    Spec s;
    s.header_size = 52, s.bits = 16, s.compression = BMP_BITFIELDS;
    s.masks[0] = 0xF800, s.masks[1] = 0x7E0, s.masks[2] = 0x1F;
    expect_decodes(s, 9, 3, pattern(9, 3, 0x10000, 52), "52-byte");
}

TEST(BmpDecode, ChannelScalingRoundsToNearest) {
    for (u32 bits = 1; bits <= 16; bits++)
        for (u32 v = 0; v < (1u << bits); v++)
            ASSERT_EQ(bmp_scale_channel(v, bits), (u32)std::lround(v * 255.0 / ((1u << bits) - 1))) << bits << " " << v;
    // 5-bit 3 is 24.68: 25, where truncation gives 24; 6-bit 1 is 4.05: 4.
    EXPECT_EQ(bmp_scale_channel(3, 5), 25u);
    EXPECT_EQ(bmp_scale_channel(1, 6), 4u);
    EXPECT_EQ(bmp_scale_channel(0xFFFFFFFFu, 32), 255u);
    EXPECT_EQ(bmp_scale_channel(0x80000000u, 32), 128u);
}

TEST(BmpDecode, AlphaZeroEverywhereIsOpaque) {
    for (u32 header : {56u, 108u, 124u}) {
        Spec s;
        s.header_size = header, s.bits = 32, s.compression = BMP_BITFIELDS;
        s.masks[0] = 0xFF0000, s.masks[1] = 0xFF00, s.masks[2] = 0xFF, s.masks[3] = 0xFF000000u;
        std::vector<u32> v = pattern(6, 4, 0x1000000, header);  // alpha byte 0 everywhere
        Decoded d = decode_bmp(write_bmp(s, 6, 4, v));
        ASSERT_TRUE(d.ok);
        for (size_t i = 0; i < v.size(); i++) ASSERT_EQ(d.px[i], rgba(v[i] >> 16 & 255, v[i] >> 8 & 255, v[i] & 255));
        // One pixel with alpha: every alpha as stored.
        v[5] |= 0x01000000u;
        d = decode_bmp(write_bmp(s, 6, 4, v));
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.px[5] >> 24, 1u);
        EXPECT_EQ(d.px[0] >> 24, 0u);
    }
    // 32-bit BI_RGB ignores the fourth byte, even under a V5 header.
    Spec s;
    s.header_size = 124, s.bits = 32;
    std::vector<u32> v = {0x10203040, 0x80FFFFFF, 0x00000000, 0xFF123456};
    Decoded d = decode_bmp(write_bmp(s, 2, 2, v));
    ASSERT_TRUE(d.ok);
    for (u32 p : d.px) EXPECT_EQ(p >> 24, 255u);
}

// ---- Palettes -------------------------------------------------------------------

TEST(BmpDecode, ShortPalettesAndIndicesPastThem) {
    for (u32 bits : {1u, 2u, 4u, 8u})
        for (u32 entries : {1u, 2u, 3u}) {
            if (entries >= (1u << bits)) continue;
            Spec s;
            s.bits = bits;
            s.palette = ramp_palette(entries);
            s.clr_used = entries;
            expect_decodes(s, 9, 4, pattern(9, 4, 1u << bits, bits + entries), "short palette");
        }
    // The palette cut short by the pixel offset, colours-used claiming 256.
    Spec s;
    s.bits = 8;
    s.palette = ramp_palette(5);
    s.clr_used = 256;
    expect_decodes(s, 16, 16, pattern(16, 16, 256, 8), "cut palette");
    // More colours used than 2^bits: only 2^bits are indices.
    s.bits = 1;
    s.palette = ramp_palette(4);
    s.clr_used = 4;
    expect_decodes(s, 12, 3, pattern(12, 3, 2, 1), "long palette");
}

TEST(BmpDecode, IndexedImageOfEveryIndex) {
    Spec s;
    s.bits = 8;
    s.palette = ramp_palette(256);
    std::vector<u32> v(256);
    for (u32 i = 0; i < 256; i++) v[i] = i;
    expect_decodes(s, 16, 16, v, "all indices");
}

// ---- RLE ------------------------------------------------------------------------

// A file around a hand-made RLE stream: 40-byte header, palette of `colours`.
static Bytes rle_file(u32 comp, i32 w, i32 h, const Bytes& stream, u32 colours = 16) {
    Bytes b = {'B', 'M'};
    put32(b, 0), put32(b, 0), put32(b, 14 + 40 + 4 * colours);
    put32(b, 40), put32(b, (u32)w), put32(b, (u32)h), put16(b, 1), put16(b, comp == BMP_RLE8 ? 8 : 4);
    put32(b, comp), put32(b, (u32)stream.size()), put32(b, 0), put32(b, 0), put32(b, colours), put32(b, 0);
    for (u32 p : ramp_palette(colours)) put32(b, p);
    b.insert(b.end(), stream.begin(), stream.end());
    return b;
}

static u32 pal(u32 i) {
    u32 p = ramp_palette(256)[i];
    return rgba(p >> 16 & 255, p >> 8 & 255, p & 255);
}

TEST(BmpDecode, Rle8RunsLiteralsDeltasAndEnds) {
    // 6 x 4, rows from the bottom.
    Bytes stream = {
        3, 1, 0, 3, 2, 3, 4, 0,  // row 0: 1 1 1 then literal 2 3 4 (+ pad)
        0, 0,                    // end of row
        0, 2, 2, 1,              // delta: x 2, y 2 (row 1 left empty from x 0, row 2 from x 0..1)
        2, 5,                    // row 2: x 2..3 = 5
        0, 0,                    // end of row
        1, 7, 0, 4, 8, 9, 10, 11, // row 3: 7, then literal 8 9 10 11 (no pad needed)
        0, 1,                    // end of bitmap
    };
    Decoded d = decode_bmp(rle_file(BMP_RLE8, 6, 4, stream, 16));
    ASSERT_TRUE(d.ok) << d.err.code << " at " << d.err.offset;
    const u32 T = 0;  // never written: transparent
    std::vector<u32> want = {
        pal(7), pal(8), pal(9), pal(10), pal(11), T,    // row 3 (top)
        T, T, pal(5), pal(5), T, T,                     // row 2
        T, T, T, T, T, T,                               // row 1
        pal(1), pal(1), pal(1), pal(2), pal(3), pal(4)  // row 0
    };
    EXPECT_EQ(d.px, want);
    EXPECT_TRUE(d.canary_intact);
}

TEST(BmpDecode, Rle4NibblesAndOddLiterals) {
    Bytes stream = {
        5, 0x12,           // 1 2 1 2 1
        0, 0,              // end of row
        0, 3, 0x34, 0x50,  // literal 3 4 5, two bytes: already even
        0, 2, 1, 0,        // delta x 1
        1, 0xF0,           // one 15
        0, 0,
        0, 5, 0x67, 0x89, 0xA0, 0,  // literal of 5: three bytes plus pad
        0, 1,
    };
    Decoded d = decode_bmp(rle_file(BMP_RLE4, 5, 3, stream, 16));
    ASSERT_TRUE(d.ok) << d.err.code << " at " << d.err.offset;
    std::vector<u32> want = {
        pal(6), pal(7), pal(8), pal(9), pal(10),
        pal(3), pal(4), pal(5), 0, pal(15),
        pal(1), pal(2), pal(1), pal(2), pal(1),
    };
    EXPECT_EQ(d.px, want);
}

TEST(BmpDecode, RleIndicesPastThePaletteAreBlack) {
    Bytes stream = {2, 200, 0, 1};
    Decoded d = decode_bmp(rle_file(BMP_RLE8, 2, 1, stream, 4));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.px, (std::vector<u32>{rgba(0, 0, 0), rgba(0, 0, 0)}));
}

TEST(BmpDecode, RleEndsWithoutMarkerOnlyAfterTheLastRow) {
    Decoded d = decode_bmp(rle_file(BMP_RLE8, 2, 2, Bytes{2, 1, 0, 0, 2, 2, 0, 0}));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.px[0], pal(2));
    Bytes partial = rle_file(BMP_RLE8, 2, 2, Bytes{2, 1, 0, 0, 2, 2});
    d = decode_bmp(partial);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.err.code, ERR_TRUNCATED);
    EXPECT_EQ(d.err.offset, partial.size());
}

TEST(BmpDecode, RleFaults) {
    const u64 data = 14 + 40 + 64;
    struct Case {
        u32 comp;
        Bytes stream;
        u32 code;
        u64 offset;
    } cases[] = {
        {BMP_RLE8, {5, 1, 0, 1}, ERR_BAD_HEADER, data},                    // run past the row
        {BMP_RLE8, {2, 1, 0, 0, 2, 1, 0, 0, 1, 1, 0, 1}, ERR_BAD_HEADER, data + 8},  // run below the last row
        {BMP_RLE8, {0, 2, 5, 0, 0, 1}, ERR_BAD_HEADER, data},              // delta past the row
        {BMP_RLE8, {0, 2, 0, 3, 0, 1}, ERR_BAD_HEADER, data},              // delta past the picture
        {BMP_RLE8, {0, 5, 1, 2, 3, 4, 5, 0}, ERR_BAD_HEADER, data},        // literal past the row
        {BMP_RLE8, {0, 3, 1, 2}, ERR_TRUNCATED, data + 4},                 // literal cut short
        {BMP_RLE8, {0, 2, 1}, ERR_TRUNCATED, data + 3},                    // delta cut short
        {BMP_RLE8, {2, 1}, ERR_TRUNCATED, data + 2},                       // stream ends mid-picture
        {BMP_RLE4, {0, 7, 0x11, 0x11, 0x11, 0x10}, ERR_BAD_HEADER, data},  // literal of 7 in a row of 4
        {BMP_RLE4, {6, 0x11, 0, 1}, ERR_BAD_HEADER, data},
    };
    for (const Case& c : cases) {
        Bytes f = rle_file(c.comp, 4, 2, c.stream);
        Decoded d = decode_bmp(f);
        EXPECT_FALSE(d.ok);
        EXPECT_EQ(d.err.code, c.code) << "stream at " << c.offset;
        EXPECT_EQ(d.err.offset, c.offset);
        EXPECT_TRUE(d.canary_intact);
    }
    // RLE with top-down rows is refused at the height field.
    Decoded d = decode_bmp(rle_file(BMP_RLE8, 4, -2, Bytes{0, 1}));
    EXPECT_EQ(d.err.code, ERR_BAD_HEADER);
    EXPECT_EQ(d.err.offset, 22u);
}

// ---- Embedded streams ----------------------------------------------------------

TEST(BmpDecode, EmbeddedPngAndJpegSpans) {
    for (u32 comp : {BMP_JPEG, BMP_PNG}) {
        Bytes inner = {0x89, 'P', 'N', 'G', 1, 2, 3, 4, 5, 6};
        Bytes b = {'B', 'M'};
        put32(b, 0), put32(b, 0), put32(b, 14 + 40);
        put32(b, 40), put32(b, 3), put32(b, 2), put16(b, 1), put16(b, 0);
        put32(b, comp), put32(b, 8), put32(b, 0), put32(b, 0), put32(b, 0), put32(b, 0);
        b.insert(b.end(), inner.begin(), inner.end());
        ByteSpan span;
        CodecError err;
        ASSERT_TRUE(bmp_embedded(b.data(), b.size(), &span, &err));
        EXPECT_EQ(span.data, b.data() + 54);
        EXPECT_EQ(span.size, 8u);  // the image size field, shorter than the rest
        set32(b, 34, 0);
        ASSERT_TRUE(bmp_embedded(b.data(), b.size(), &span, &err));
        EXPECT_EQ(span.size, inner.size());
        ImageInfo info;
        EXPECT_FALSE(bmp_probe(b.data(), b.size(), &info, &err));
        EXPECT_EQ(err.code, ERR_UNSUPPORTED);
        EXPECT_EQ(err.offset, 30u);
    }
    Spec s;
    Bytes plain = write_bmp(s, 2, 2, pattern(2, 2, 0, 1));
    ByteSpan span;
    CodecError err;
    ASSERT_TRUE(bmp_embedded(plain.data(), plain.size(), &span, &err));
    EXPECT_EQ(span.size, 0u);
}

// ---- Bad input ---------------------------------------------------------------------

static void expect_error(const Bytes& f, u32 code, u64 offset, const char* what) {
    ImageInfo info;
    CodecError err;
    EXPECT_FALSE(bmp_probe(f.data(), f.size(), &info, &err)) << what;
    EXPECT_EQ(err.code, code) << what;
    EXPECT_EQ(err.offset, offset) << what;
}

TEST(BmpDecode, BadHeadersNameTheirField) {
    Spec s;
    const Bytes good = write_bmp(s, 4, 3, pattern(4, 3, 0, 5));
    auto with32 = [&](size_t at, u32 v) {
        Bytes b = good;
        set32(b, at, v);
        return b;
    };
    auto with16 = [&](size_t at, u32 v) {
        Bytes b = good;
        b[at] = (u8)v, b[at + 1] = (u8)(v >> 8);
        return b;
    };
    expect_error(Bytes{'B', 'A', 0, 0}, ERR_BAD_SIGNATURE, 0, "signature");
    expect_error(Bytes{'B', 'M', 0, 0, 0}, ERR_TRUNCATED, 5, "short file header");
    expect_error(Bytes(good.begin(), good.begin() + 30), ERR_TRUNCATED, 30, "short info header");
    expect_error(with32(14, 100), ERR_UNSUPPORTED, 14, "header size 100");
    expect_error(with32(14, 8), ERR_BAD_HEADER, 14, "header size 8");
    expect_error(with32(14, 200), ERR_BAD_HEADER, 14, "header size 200");
    expect_error(with32(18, 0), ERR_BAD_HEADER, 18, "zero width");
    expect_error(with32(18, 0x80000000u), ERR_BAD_HEADER, 18, "negative width");
    expect_error(with32(22, 0), ERR_BAD_HEADER, 22, "zero height");
    expect_error(with32(18, 0x10000001), ERR_TOO_LARGE, 18, "wide");
    expect_error(with32(22, 0x10000001), ERR_TOO_LARGE, 22, "tall");
    expect_error(with32(22, 0x80000000u), ERR_TOO_LARGE, 22, "most negative height");
    Bytes big = with32(18, 0x4001);
    set32(big, 22, 0x1000);
    expect_error(big, ERR_TOO_LARGE, 22, "2^26 pixels and more");
    expect_error(with16(28, 7), ERR_BAD_HEADER, 28, "7 bits");
    expect_error(with32(30, 9), ERR_UNSUPPORTED, 30, "CMYK compression");
    expect_error(with32(30, BMP_RLE8), ERR_BAD_HEADER, 28, "RLE8 at 24 bits");
    expect_error(with32(30, BMP_BITFIELDS), ERR_BAD_HEADER, 28, "masks at 24 bits");
    expect_error(with32(10, 20), ERR_BAD_HEADER, 10, "pixels inside the header");
    expect_error(with32(10, 0), ERR_BAD_HEADER, 10, "pixel offset 0");
    expect_error(with32(10, (u32)good.size() + 1), ERR_TRUNCATED, good.size(), "pixels past the end");
    // A header that claims more rows than the file holds.
    expect_error(with32(22, 40), ERR_TRUNCATED, good.size(), "more rows than stored");

    Spec m;
    m.bits = 16, m.compression = BMP_BITFIELDS;
    m.masks[0] = 0xF00F, m.masks[1] = 0x7E0, m.masks[2] = 0x1F;
    expect_error(write_bmp(m, 2, 2, pattern(2, 2, 0x10000, 1)), ERR_BAD_HEADER, 54, "split mask");
    m.masks[0] = 0x1F, m.masks[2] = 0x10000;
    expect_error(write_bmp(m, 2, 2, pattern(2, 2, 0x10000, 1)), ERR_BAD_HEADER, 62, "mask past 16 bits");
    Spec os2;
    os2.header_size = 64, os2.compression = 3, os2.bits = 24;
    expect_error(write_bmp(os2, 2, 2, pattern(2, 2, 0, 1)), ERR_UNSUPPORTED, 30, "OS/2 Huffman");
}

// The OS/2 2.x header at a size between 16 and 64 other than the Windows ones.
TEST(BmpDecode, Os2HeaderOfOddSize) {
    Spec s;
    s.header_size = 20;
    s.bits = 8;
    s.palette = ramp_palette(256);
    expect_decodes(s, 5, 5, pattern(5, 5, 256, 20), "OS/2 20-byte");
}

// Every prefix of a few files: a clean error inside the file, or a decode.
TEST(BmpDecode, EveryPrefixFailsCleanly) {
    std::vector<Bytes> files;
    Spec s8;
    s8.bits = 8, s8.palette = ramp_palette(7);
    files.push_back(write_bmp(s8, 5, 3, pattern(5, 3, 9, 1)));
    Spec s32;
    s32.header_size = 124, s32.bits = 32, s32.compression = BMP_BITFIELDS;
    s32.masks[0] = 0xFF0000, s32.masks[1] = 0xFF00, s32.masks[2] = 0xFF, s32.masks[3] = 0xFF000000u;
    files.push_back(write_bmp(s32, 9, 2, pattern(9, 2, 0, 2)));
    files.push_back(rle_file(BMP_RLE4, 5, 3, Bytes{5, 0x12, 0, 0, 0, 3, 0x34, 0x50, 0, 2, 1, 1, 1, 0xF0, 0, 1}));
    for (const Bytes& f : files)
        for (size_t n = 0; n < f.size(); n++) {
            Bytes cut(f.begin(), f.begin() + n);
            Decoded d = decode_bmp(cut);
            if (d.ok) continue;
            EXPECT_NE(d.err.code, ERR_OK);
            EXPECT_LE(d.err.offset, n);
            EXPECT_TRUE(d.canary_intact);
        }
}

// ---- Kernels ------------------------------------------------------------------------

TEST(BmpKernels, Sse2MatchesScalar) {
    std::mt19937 rng(7);
    std::vector<u8> src(4 * 300);
    for (auto& b : src) b = (u8)rng();
    for (u32 count = 0; count <= 300; count++) {
        // The source ends exactly where the kernel may read.
        std::vector<u8> s3(src.begin(), src.begin() + 3 * count), s4(src.begin(), src.begin() + 4 * count);
        std::vector<u8> a(4 * count + 16, 0x11), b(4 * count + 16, 0x11);
        bmp_bgr_scalar(s3.data(), count, a.data());
        bmp_bgr_sse2(s3.data(), count, b.data());
        ASSERT_EQ(a, b) << "bgr " << count;
        bmp_bgrx_scalar(s4.data(), count, a.data());
        bmp_bgrx_sse2(s4.data(), count, b.data());
        ASSERT_EQ(a, b) << "bgrx " << count;
        bmp_bgra_scalar(s4.data(), count, a.data());
        bmp_bgra_sse2(s4.data(), count, b.data());
        ASSERT_EQ(a, b) << "bgra " << count;
        EXPECT_EQ(a[4 * count], 0x11);  // nothing past the row
    }
    u8 px[4] = {1, 2, 3, 4};
    u8 out[4];
    bmp_bgra_sse2(px, 1, out);
    EXPECT_EQ(rgba(3, 2, 1, 4), (u32)out[0] | out[1] << 8 | out[2] << 16 | (u32)out[3] << 24);
}

TEST(BmpKernels, WholeFilesDecodeAlikeWithEitherVariant) {
    for (u32 bits : {24u, 32u}) {
        Spec s;
        s.bits = bits;
        std::vector<u32> v = pattern(37, 9, 0, bits);
        Bytes f = write_bmp(s, 37, 9, v);
        ASSERT_TRUE(bmp_kernels_force(BMP_KERNELS_SCALAR));
        Decoded a = decode_bmp(f);
        ASSERT_TRUE(bmp_kernels_force(BMP_KERNELS_SSE2));
        Decoded b = decode_bmp(f);
        ASSERT_TRUE(a.ok && b.ok);
        EXPECT_EQ(a.px, b.px);
        EXPECT_EQ(a.px, expected(s, 37, 9, v));
    }
    EXPECT_FALSE(bmp_kernels_force(9));
}
