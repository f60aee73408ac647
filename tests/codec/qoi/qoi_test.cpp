// The QOI decoder on streams written by the test: every op and both channel
// counts against the pixels they were made from, hand-made op sequences
// (wrap-around of the difference ops, the index, runs across rows and past
// the last pixel), header faults, the end marker, and every prefix of a
// file, each with its code and offset.
#include <gtest/gtest.h>

#include "codec/qoi/qoi.h"
#include "qoi_support.h"

using namespace decodetest;
using namespace qoitest;

static Decoded decode(const Bytes& f) {
    return run(qoi_probe, qoi_decode, f);
}

static Bytes opaque(Bytes px) {
    for (size_t i = 3; i < px.size(); i += 4) px[i] = 255;
    return px;
}

TEST(QoiDecode, WrittenPicturesRoundTrip) {
    const u32 sizes[][2] = {{1, 1}, {7, 3}, {64, 48}, {300, 2}, {1, 130}};
    for (auto& s : sizes) {
        for (u32 channels : {3u, 4u}) {
            Bytes px = test_picture(s[0], s[1], channels == 4, s[0] * 7 + s[1]);
            // Flat stretches make runs, repeats make index hits.
            for (size_t i = 0; i + 4 <= px.size() / 3; i += 4) memcpy(&px[i], &px[0], 4);
            Bytes f = qoi_write(px, s[0], s[1], channels, channels == 4);
            Decoded d = decode(f);
            ASSERT_TRUE(d.ok) << s[0] << "x" << s[1] << " err " << d.err.code << " at " << d.err.offset;
            EXPECT_EQ(d.rgba, channels == 4 ? px : opaque(px)) << s[0] << "x" << s[1] << " channels " << channels;
        }
    }
}

TEST(QoiDecode, EveryOpByHand) {
    Bytes f = qoi_header(4, 2, 4, 0);
    f.insert(f.end(), {0xFE, 10, 20, 30});          // RGB: 10 20 30 255
    f.push_back(0x40 | 0 << 4 | 3 << 2 | 2);        // DIFF -2 +1 0: 8 21 30
    f.insert(f.end(), {0x80 | 40, 0x0F << 4 | 0});  // LUMA dg +8, dr-dg +7, db-dg -8: 23 29 30
    f.insert(f.end(), {0xFF, 0, 1, 2, 3});          // RGBA
    f.push_back(0xC0 | 2);                          // RUN of 3 across the row end
    u32 h = (10 * 3 + 20 * 5 + 30 * 7 + 255 * 11) % 64;
    f.push_back((u8)h);  // INDEX: the first pixel
    qoi_end(f);
    Decoded d = decode(f);
    ASSERT_TRUE(d.ok) << d.err.code << " at " << d.err.offset;
    Bytes want = {10, 20, 30, 255, 8, 21, 30, 255, 23, 29, 30, 255, 0, 1, 2, 3,
                  0,  1,  2,  3,   0, 1,  2,  3,   0,  1,  2,  3,   10, 20, 30, 255};
    EXPECT_EQ(d.rgba, want);
}

TEST(QoiDecode, DifferencesWrapAround) {
    Bytes f = qoi_header(3, 1, 4, 0);
    f.push_back(0x40 | 0 << 4 | 0 << 2 | 3);  // from 0 0 0: -2 -2 +1
    f.insert(f.end(), {0x80 | 0, 0x00});      // dg -32, dr -40, db -40
    f.insert(f.end(), {0x80 | 63, 0xFF});     // dg +31, dr +38, db +38
    qoi_end(f);
    Decoded d = decode(f);
    ASSERT_TRUE(d.ok);
    Bytes want = {254, 254, 1, 255, 214, 222, 217, 255, 252, 253, 255, 255};
    EXPECT_EQ(d.rgba, want);
}

TEST(QoiDecode, ThreeChannelsShowOpaqueButHashTheStreamAlpha) {
    Bytes f = qoi_header(3, 1, 3, 1);
    f.insert(f.end(), {0xFF, 1, 2, 3, 0});  // alpha 0 in the stream
    f.insert(f.end(), {0xFE, 9, 9, 9});
    f.push_back((u8)((1 * 3 + 2 * 5 + 3 * 7 + 0 * 11) % 64));  // found only with alpha 0
    qoi_end(f);
    Decoded d = decode(f);
    ASSERT_TRUE(d.ok);
    Bytes want = {1, 2, 3, 255, 9, 9, 9, 255, 1, 2, 3, 255};
    EXPECT_EQ(d.rgba, want);
}

TEST(QoiDecode, RunPastTheLastPixelIsClippedAndTheMarkerMustFollow) {
    Bytes f = qoi_header(2, 1, 4, 0);
    f.insert(f.end(), {0xFE, 5, 6, 7});
    f.push_back(0xC0 | 40);
    qoi_end(f);
    Decoded d = decode(f);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.rgba, (Bytes{5, 6, 7, 255, 5, 6, 7, 255}));
    // Ops after the last pixel where the marker belongs.
    Bytes g = qoi_header(2, 1, 4, 0);
    g.insert(g.end(), {0xFE, 5, 6, 7, 0xC0, 0xC0});
    qoi_end(g);
    EXPECT_ERR(decode(g).err, ERR_BAD_HEADER, 19);
}

TEST(QoiErrors, HeaderFields) {
    Bytes good = qoi_write(test_picture(2, 2, true), 2, 2, 4);
    Bytes f = good;
    f[12] = 5;
    EXPECT_ERR(decode(f).err, ERR_BAD_HEADER, 12);
    f = good;
    f[13] = 2;
    EXPECT_ERR(decode(f).err, ERR_BAD_HEADER, 13);
    f = good;
    f[4] = f[5] = f[6] = f[7] = 0;
    EXPECT_ERR(decode(f).err, ERR_BAD_HEADER, 4);
    f = good;
    f[4] = 0x10, f[5] = 0, f[6] = 0, f[7] = 1;  // 0x10000001 wide
    EXPECT_ERR(decode(f).err, ERR_TOO_LARGE, 4);
    f = qoi_header(0x4000, 0x1001, 4, 0);       // 2^26 + 2^14 pixels
    EXPECT_ERR(decode(f).err, ERR_TOO_LARGE, 8);
    f = good;
    f[0] = 'Q';
    EXPECT_ERR(decode(f).err, ERR_BAD_SIGNATURE, 0);
    EXPECT_TRUE(qoi_sniff(good.data(), good.size()));
    EXPECT_FALSE(qoi_sniff(good.data(), 3));
}

TEST(QoiErrors, EndMarker) {
    Bytes good = qoi_write(test_picture(5, 3, true), 5, 3, 4);
    Bytes f = good;
    f.back() = 2;
    EXPECT_ERR(decode(f).err, ERR_BAD_HEADER, f.size() - 1);
    f = good;
    f[f.size() - 8] = 0x80;
    EXPECT_ERR(decode(f).err, ERR_BAD_HEADER, f.size() - 8);
    // Bytes after the marker are ignored.
    f = good;
    f.push_back(0x42);
    EXPECT_TRUE(decode(f).ok);
}

// A header that claims more pixels than the stream can hold fails in the
// probe; a stream cut anywhere fails as truncated at the length given.
TEST(QoiErrors, EveryPrefixIsTruncated) {
    Bytes good = qoi_write(test_picture(9, 7, true), 9, 7, 4);
    for (size_t n = 0; n < good.size(); n++) {
        Bytes f(good.begin(), good.begin() + (long)n);
        Decoded d = decode(f);
        EXPECT_FALSE(d.ok);
        EXPECT_ERR(d.err, ERR_TRUNCATED, n);
    }
    Bytes big = qoi_header(1000, 1000, 4, 0);
    big.insert(big.end(), {0xFE, 1, 2, 3, 0xC0 | 61});
    qoi_end(big);
    EXPECT_ERR(decode(big).err, ERR_TRUNCATED, big.size());
}

// An op cut short near the end of the input, where the checked loop runs.
TEST(QoiErrors, OpCutAtTheEnd) {
    Bytes f = qoi_header(40, 1, 4, 0);
    for (int i = 0; i < 6; i++) f.insert(f.end(), {0xFE, (u8)i, 2, 3});
    f.insert(f.end(), {0xFF, 1, 2});
    Decoded d = decode(f);
    EXPECT_FALSE(d.ok);
    EXPECT_ERR(d.err, ERR_TRUNCATED, f.size());
}
