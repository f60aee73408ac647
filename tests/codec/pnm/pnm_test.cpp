// The PNM and PAM decoder on files written by the test: every magic, plain
// and raw, maxvals from 1 to 65535, every PAM depth with and without a
// tuple type, comments wherever whitespace may go, several images in one
// file; header and raster faults with their codes and offsets; and Pillow's
// pixels for the same files where it is installed.
#include <gtest/gtest.h>

#include "codec/pnm/pnm.h"
#include "pnm_support.h"

using namespace decodetest;
using namespace pnmtest;

static Decoded decode(const Bytes& f) {
    return run(pnm_probe, pnm_decode, f);
}

// ---- Known samples ----------------------------------------------------------------

TEST(PnmDecode, EveryMagicAndMaxval) {
    const u32 w = 13, h = 5;
    for (u32 magic = 1; magic <= 6; magic++) {
        std::vector<u32> maxvals = {1};
        if (magic != 1 && magic != 4) maxvals = {1, 7, 100, 255, 256, 1000, 65535};
        for (u32 maxval : maxvals) {
            u32 channels = (magic == 3 || magic == 6) ? 3 : 1;
            std::vector<u32> s = random_samples((size_t)w * h * channels, maxval, magic * 100 + maxval);
            bool bits = magic == 1 || magic == 4;
            Bytes want = expected_rgba(s, channels, maxval, bits);
            for (bool comments : {false, true}) {
                Decoded d = decode(pnm_write(magic, w, h, maxval, s, comments));
                ASSERT_TRUE(d.ok) << "P" << magic << " maxval " << maxval << ": " << d.err.code << " at " << d.err.offset;
                EXPECT_EQ(d.w, w);
                EXPECT_EQ(d.rgba, want) << "P" << magic << " maxval " << maxval << " "
                                        << first_difference(d.rgba, want, w, 0);
            }
        }
    }
}

TEST(PnmDecode, PamEveryDepthAndTupleType) {
    struct Case {
        u32 depth;
        const char* type;
        u32 maxval;
    } cases[] = {
        {1, "BLACKANDWHITE", 1}, {1, "GRAYSCALE", 255},     {1, "", 4000},          {2, "BLACKANDWHITE_ALPHA", 1},
        {2, "GRAYSCALE_ALPHA", 255}, {2, "", 65535},        {3, "RGB", 255},        {3, "RGB", 31},
        {3, "", 300},            {4, "RGB_ALPHA", 255},     {4, "RGB_ALPHA", 65535}, {4, "", 15},
        {3, "MYSTERY_TYPE", 255},
    };
    const u32 w = 11, h = 4;
    for (const Case& c : cases) {
        std::vector<u32> s = random_samples((size_t)w * h * c.depth, c.maxval, c.depth * 7 + c.maxval);
        Decoded d = decode(pam_write(w, h, c.depth, c.maxval, c.type, s));
        ASSERT_TRUE(d.ok) << c.type << " depth " << c.depth << ": " << d.err.code << " at " << d.err.offset;
        // BLACKANDWHITE: 0 is black, 1 white, as any maxval-1 sample.
        Bytes want = expected_rgba(s, c.depth, c.maxval, false);
        EXPECT_EQ(d.rgba, want) << c.type << " depth " << c.depth << " " << first_difference(d.rgba, want, w, 0);
    }
}

TEST(PnmDecode, HeaderSyntax) {
    // Comments between every token, and one right after the maxval of a raw file.
    Bytes f;
    put_text(f, "P6#c1\n#c2\n 2#c3\r\n1 #c4\n255#c5 ends the header\n");
    f.insert(f.end(), {1, 2, 3, 4, 5, 6});
    Decoded d = decode(f);
    ASSERT_TRUE(d.ok) << d.err.code << " at " << d.err.offset;
    EXPECT_EQ(d.rgba, (Bytes{1, 2, 3, 255, 4, 5, 6, 255}));
    // A raw raster may start with bytes that look like whitespace.
    f.clear();
    put_text(f, "P5 3 1 255\n");
    f.insert(f.end(), {'\n', ' ', '#'});
    d = decode(f);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.rgba, (Bytes{10, 10, 10, 255, 32, 32, 32, 255, 35, 35, 35, 255}));
    // P1 digits need no separators.
    f.clear();
    put_text(f, "P1 5 2\n01101\n1\n0 0\n11");
    d = decode(f);
    ASSERT_TRUE(d.ok) << d.err.code << " at " << d.err.offset;
    EXPECT_EQ(d.rgba, expected_rgba({0, 1, 1, 0, 1, 1, 0, 0, 1, 1}, 1, 1, true));
    // PAM: blank lines, a comment, header lines in any order.
    f.clear();
    put_text(f, "P7\n\nMAXVAL 255\n# x\nTUPLTYPE GRAYSCALE\nHEIGHT 1\nDEPTH 1\nWIDTH 2\nENDHDR\n");
    f.insert(f.end(), {9, 200});
    d = decode(f);
    ASSERT_TRUE(d.ok) << d.err.code << " at " << d.err.offset;
    EXPECT_EQ(d.rgba, (Bytes{9, 9, 9, 255, 200, 200, 200, 255}));
}

TEST(PnmDecode, FirstImageOfSeveral) {
    std::vector<u32> a = random_samples(4 * 3 * 3, 255, 1), b = random_samples(2 * 2 * 3, 255, 2);
    for (u32 magic : {3u, 6u}) {
        Bytes f = pnm_write(magic, 4, 3, 255, a);
        Bytes g = pnm_write(magic, 2, 2, 255, b);
        f.insert(f.end(), g.begin(), g.end());
        Decoded d = decode(f);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.w, 4u);
        EXPECT_EQ(d.rgba, expected_rgba(a, 3, 255, false));
    }
}

TEST(PnmDecode, RawSamplesAboveMaxvalAreClamped) {
    Bytes f;
    put_text(f, "P5 3 1 100\n");
    f.insert(f.end(), {50, 100, 200});
    Decoded d = decode(f);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.rgba, (Bytes{128, 128, 128, 255, 255, 255, 255, 255, 255, 255, 255, 255}));
    f.clear();
    put_text(f, "P5 2 1 1000\n");
    f.insert(f.end(), {0x01, 0xF4, 0xFF, 0xFF});  // 500, 65535
    d = decode(f);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.rgba, (Bytes{128, 128, 128, 255, 255, 255, 255, 255}));
}

// ---- Faults -------------------------------------------------------------------

static CodecError error_of(const std::string& text, size_t extra = 0) {
    Bytes f(text.begin(), text.end());
    f.resize(f.size() + extra, 7);
    Decoded d = decode(f);
    EXPECT_FALSE(d.ok) << text;
    return d.err;
}

TEST(PnmErrors, Header) {
    EXPECT_ERR(error_of("P5 2 2 0\n", 4), ERR_BAD_HEADER, 7);        // maxval 0
    EXPECT_ERR(error_of("P2 1 1\n#x\n 0\n0"), ERR_BAD_HEADER, 11);    // maxval 0, plain
    EXPECT_ERR(error_of("P6 2 2 65536\n", 24), ERR_BAD_HEADER, 7);   // maxval past 16 bits
    EXPECT_ERR(error_of("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 0\nENDHDR\n", 1), ERR_BAD_HEADER, 35);
    EXPECT_ERR(error_of("P5 0 2 255\n", 4), ERR_BAD_HEADER, 3);
    EXPECT_ERR(error_of("P5 2 0 255\n", 4), ERR_BAD_HEADER, 5);
    EXPECT_ERR(error_of("P5 268435457 1 255\n"), ERR_TOO_LARGE, 3);
    EXPECT_ERR(error_of("P5 16384 4097 255\n"), ERR_TOO_LARGE, 9);
    EXPECT_ERR(error_of("P5 99999999999999999999 1 255\n"), ERR_TOO_LARGE, 3);
    EXPECT_ERR(error_of("P5 2x 2 255\n"), ERR_BAD_HEADER, 4);
    EXPECT_ERR(error_of("P5 a 2 255\n"), ERR_BAD_HEADER, 3);
    EXPECT_ERR(error_of("P52 2 255\n"), ERR_BAD_HEADER, 2);
    EXPECT_ERR(error_of("P5 2 2"), ERR_TRUNCATED, 6);
    EXPECT_ERR(error_of("P5 2 2 # only a comment"), ERR_TRUNCATED, 23);
    EXPECT_ERR(error_of("P8 1 1 255\n"), ERR_BAD_SIGNATURE, 0);
    EXPECT_ERR(error_of("P"), ERR_TRUNCATED, 1);
    EXPECT_ERR(error_of(""), ERR_BAD_SIGNATURE, 0);
}

TEST(PnmErrors, PamHeader) {
    const std::string tail = "MAXVAL 255\nENDHDR\n";
    EXPECT_ERR(error_of("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 5\n" + tail, 5), ERR_UNSUPPORTED, 26);
    EXPECT_ERR(error_of("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 3\nTUPLTYPE GRAYSCALE\n" + tail, 3), ERR_BAD_HEADER, 37);
    EXPECT_ERR(error_of("P7\nWIDTH 1\nHEIGHT 1\nBREADTH 3\n" + tail, 3), ERR_BAD_HEADER, 20);
    EXPECT_ERR(error_of("P7\nWIDTH 1\nDEPTH 1\n" + tail, 1), ERR_BAD_HEADER, 30);  // no HEIGHT: at ENDHDR
    EXPECT_ERR(error_of("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nENDHDR"), ERR_TRUNCATED, 45);
    EXPECT_ERR(error_of("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nENDHDR x\n"), ERR_BAD_HEADER, 46);
    EXPECT_ERR(error_of("P7 332\n"), ERR_BAD_HEADER, 3);
}

// A header that claims more pixels than the file holds: the probe finds it
// for raw rasters, the decode at the end of a plain one.
TEST(PnmErrors, RasterShorterThanTheHeaderClaims) {
    Bytes f = pnm_write(6, 5, 4, 255, random_samples(60, 255, 3));
    for (size_t cut : {1u, 7u, 59u}) {
        Bytes g(f.begin(), f.end() - (long)cut);
        ImageInfo info;
        CodecError err;
        EXPECT_FALSE(pnm_probe(g.data(), g.size(), &info, &err));
        EXPECT_ERR(err, ERR_TRUNCATED, g.size());
    }
    Bytes wide = pnm_write(5, 3, 2, 1000, random_samples(6, 1000, 4));
    wide.pop_back();
    EXPECT_ERR(decode(wide).err, ERR_TRUNCATED, wide.size());
    Bytes pam = pam_write(3, 3, 4, 255, "RGB_ALPHA", random_samples(36, 255, 5));
    pam.resize(pam.size() - 4);
    EXPECT_ERR(decode(pam).err, ERR_TRUNCATED, pam.size());
    Bytes plain = pnm_write(3, 5, 4, 255, random_samples(60, 255, 3));
    while (plain.back() == '\n' || plain.back() == ' ') plain.pop_back();
    while (plain.back() != ' ') plain.pop_back();  // the last sample gone
    ImageInfo info;
    CodecError err;
    EXPECT_TRUE(pnm_probe(plain.data(), plain.size(), &info, &err));
    EXPECT_ERR(decode(plain).err, ERR_TRUNCATED, plain.size());
}

TEST(PnmErrors, PlainRaster) {
    EXPECT_ERR(error_of("P2 2 1 100\n5 101\n"), ERR_BAD_HEADER, 13);  // above maxval
    EXPECT_ERR(error_of("P2 2 1 100\n5 x\n"), ERR_BAD_HEADER, 13);
    EXPECT_ERR(error_of("P2 2 1 100\n5 7x\n"), ERR_BAD_HEADER, 14);
    EXPECT_ERR(error_of("P3 1 1 65535\n1 2 99999999\n"), ERR_BAD_HEADER, 17);
    EXPECT_ERR(error_of("P1 3 1\n012\n"), ERR_BAD_HEADER, 9);
    EXPECT_ERR(error_of("P1 3 1\n01"), ERR_TRUNCATED, 9);
}

// ---- Pillow ---------------------------------------------------------------------

// Pillow rounds halves to even where we round them up, so maxvals other
// than 1 and 255 may differ by one.
TEST(PnmReference, PillowAgrees) {
    struct Variant {
        u32 magic, maxval;
    };
    std::vector<Variant> variants = {{1, 1},   {4, 1},   {2, 255}, {5, 255}, {3, 255}, {6, 255},  {2, 100},
                                     {5, 100}, {3, 37},  {6, 37},  {5, 1000}, {6, 1000}, {5, 65535}, {6, 65535},
                                     {2, 65535}};
    std::vector<Bytes> files;
    std::vector<Bytes> ours;
    const u32 w = 37, h = 21;
    for (const Variant& v : variants) {
        u32 channels = (v.magic == 3 || v.magic == 6) ? 3 : 1;
        files.push_back(pnm_write(v.magic, w, h, v.maxval, random_samples((size_t)w * h * channels, v.maxval, v.magic),
                                  v.magic <= 3));
        Decoded d = decode(files.back());
        ASSERT_TRUE(d.ok) << "P" << v.magic << " maxval " << v.maxval;
        ours.push_back(d.rgba);
    }
    std::vector<PillowImage> theirs;
    if (!pillow_decode(files, "pnm", &theirs) && theirs.empty())
        GTEST_SKIP() << "Pillow is not available (/usr/bin/python3 with python3-pil; scripts/setup installs it)";
    for (size_t i = 0; i < files.size(); i++) {
        const Variant& v = variants[i];
        ASSERT_TRUE(theirs[i].ok) << "Pillow could not read P" << v.magic << " maxval " << v.maxval;
        int tolerance = v.maxval == 1 || v.maxval == 255 ? 0 : 1;
        EXPECT_LE(max_diff(ours[i], theirs[i].rgba), tolerance)
            << "P" << v.magic << " maxval " << v.maxval << ": " << first_difference(ours[i], theirs[i].rgba, w, tolerance);
    }
}
