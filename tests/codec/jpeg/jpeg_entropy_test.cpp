// Entropy decoding on hand-made streams: Huffman table building, restart
// intervals (in order, out of order, ending early), scans missing, the
// preview-only walk, truncated and damaged files, and the job stages' order.
#include <gtest/gtest.h>

#include <algorithm>

#include "jpeg_support.h"

namespace {

TEST(JpegEntropy, BuildHuffman) {
    JpegHuffman t;
    u8 counts[16] = {};
    u8 symbols[256] = {};
    counts[3] = 17;  // 17 codes of length 4 > 16
    EXPECT_EQ(build_huffman(counts, symbols, false, &t), (u32)JPEG_HUFFMAN_BAD_COUNTS);
    counts[3] = 16;
    EXPECT_EQ(build_huffman(counts, symbols, false, &t), (u32)JPEG_HUFFMAN_OK);
    counts[4] = 1;  // nothing is left for length 5
    EXPECT_EQ(build_huffman(counts, symbols, false, &t), (u32)JPEG_HUFFMAN_BAD_COUNTS);
    u8 dc_counts[16] = {0, 1};
    u8 dc_symbols[1] = {16};
    EXPECT_EQ(build_huffman(dc_counts, dc_symbols, true, &t), (u32)JPEG_HUFFMAN_BAD_DC_SYMBOL);
    dc_symbols[0] = 15;
    EXPECT_EQ(build_huffman(dc_counts, dc_symbols, true, &t), (u32)JPEG_HUFFMAN_OK);

    // Codes "0" (AC 0x23: run 2, size 3) and "10" (end of block), "110" (0x0A).
    u8 c2[16] = {1, 1, 1};
    u8 s2[3] = {0x23, 0x00, 0x0A};
    ASSERT_EQ(build_huffman(c2, s2, false, &t), (u32)JPEG_HUFFMAN_OK);
    // 0 101 xxxxx: code length 1 plus 3 magnitude bits 101 = 5, folded in.
    u32 e = t.lookup[0x0A0];
    EXPECT_EQ(e & 31, 4u);
    EXPECT_EQ((e >> 5) & 15, 2u);
    EXPECT_EQ((e >> 9) & 15, 0u);
    EXPECT_TRUE(e & (1u << 13));
    EXPECT_EQ((i32)e >> 16, 5);
    // 0 010: magnitude 2 with 3 bits extends to 2 - 8 + 1 = -5.
    EXPECT_EQ((i32)t.lookup[0x040] >> 16, -5);
    // "110" with size 10: magnitude bits do not fit, left to read; the
    // entry counts them in the symbol's 13 bits.
    e = t.lookup[0x180];
    EXPECT_EQ(e & 31, 13u);
    EXPECT_EQ((e >> 9) & 15, 10u);
    // End of block: 2 bits, no size.
    e = t.lookup[0x100];
    EXPECT_EQ(e & 31, 2u);
    EXPECT_FALSE(e & (1u << 13));
    // "111..." is no code.
    EXPECT_EQ(t.lookup[0x1FF], 0u);
    EXPECT_EQ(t.limit[3], 7u << 13);
}

TEST(JpegEntropy, DcStepsAndQuantisationReachThePreview) {
    // 4 x 1 blocks whose DC rises by one each: samples ((dc * q + 4) >> 3) + 128.
    DecodeResult r;
    ASSERT_TRUE(run_decoder(grey_file(32, 8, 1, 0, 16), &r, true)) << r.stage << r.error.code;
    ASSERT_EQ(r.preview_width, 4u);
    for (u32 i = 0; i < 4; i++) EXPECT_EQ(r.preview[4 * i], 128 + 2 * (i + 1));
    // A uniform block: the preview sample and the full-resolution pixels agree.
    for (u32 x = 0; x < 8; x++) EXPECT_EQ(r.full[4 * x], r.preview[0]);
    // A later table with the same number replaces the earlier one.
    std::vector<u8> f = grey_file(32, 8, 1, 0, 16);
    std::vector<u8> dqt = {0xFF, 0xDB, 0, 67, 0, 32};
    dqt.resize(4 + 65, 1);
    f.insert(f.begin() + 2 + 69, dqt.begin(), dqt.end());  // after the first DQT
    ASSERT_TRUE(run_decoder(f, &r, false)) << r.error.code;
    EXPECT_EQ(r.preview[0], 132);
}

TEST(JpegEntropy, RestartIntervals) {
    DecodeResult a, b;
    ASSERT_TRUE(run_decoder(grey_file(64, 16, 1, 3, 8), &a, true)) << a.stage << a.error.code;
    // Within each interval of 3 blocks the DC counts up from 1.
    for (u32 i = 0; i < 16; i++) EXPECT_EQ(a.preview[4 * i], 128 + (i % 3) + 1) << i;

    // RST1 where RST0 is due: "bad_data" at that marker.
    std::vector<u8> f = grey_file(64, 16, 1, 3, 8);
    u64 rst = 0;
    for (u64 i = 2; i + 1 < f.size(); i++)
        if (f[i] == 0xFF && f[i + 1] == 0xD0) rst = i;
    ASSERT_NE(rst, 0u);
    f[rst + 1] = 0xD1;
    EXPECT_FALSE(run_decoder(f, &b, false));
    EXPECT_EQ(b.error.code, (u32)ERR_BAD_HEADER);
    EXPECT_EQ(b.error.offset, rst);
    JpegDecoder d;
    JpegStatus st;
    f[rst + 1] = 0xD0;

    // An interval whose data ends before its blocks do: "bad_data" at its end.
    std::vector<u8> early = grey_file(64, 16, 1, 3, 8);
    u64 start = 0;
    for (u64 i = 2; i + 1 < early.size(); i++)
        if (early[i] == 0xFF && early[i + 1] == 0xDA) start = i + 2 + 8;
    // Interval 0 costs 3 * 4 bits; drop its bytes so RST0 follows the header.
    early.erase(early.begin() + (long)start, early.begin() + (long)rst);
    DecodeResult c;
    EXPECT_FALSE(run_decoder(early, &c, false));
    EXPECT_EQ(c.error.code, (u32)ERR_BAD_HEADER);
    EXPECT_EQ(c.error.offset, start);  // the interval is empty: it ends where it starts

    // Too few intervals before the end of the scan.
    std::vector<u8> cut = grey_file(64, 16, 1, 3, 8);
    cut[rst + 1] = 0xD9;
    DecodeResult e;
    EXPECT_FALSE(run_decoder(cut, &e, false));
    EXPECT_EQ(e.error.offset, rst);
    (void)d;
    (void)st;
}

TEST(JpegEntropy, EndOfImageWithoutScans) {
    u32 s = 0x11;
    StreamWriter w = minimal_header(16, 16, 1, &s, 0, 0xC0, 8);
    w.marker(0xD9);
    DecodeResult r;
    ASSERT_TRUE(run_decoder(w.bytes, &r, false)) << r.error.code;  // the preview decode succeeds
    EXPECT_EQ(r.preview[0], 128);
    EXPECT_EQ(r.preview[4 * 3], 128);
    // The full walk of a sequential file is complete after the preview, but a
    // progressive one is decoded again and needs a scan.
    StreamWriter p = minimal_header(16, 16, 1, &s, 0, 0xC2, 8);
    p.marker(0xD9);
    EXPECT_FALSE(run_decoder(p.bytes, &r, true));
    EXPECT_EQ(r.stage, "full");
    EXPECT_EQ(r.error.code, (u32)ERR_BAD_HEADER);
    EXPECT_EQ(r.error.offset, p.bytes.size());
}

TEST(JpegEntropy, MissingTablesAndBadCodes) {
    // A scan naming an undefined DC table: "bad_table" at its data.
    u32 s = 0x11;
    StreamWriter w = minimal_header(8, 8, 1, &s, 0, 0xC0, 8);
    w.segment(0xDA, {1, 1, 0x10, 0, 63, 0});
    u64 data = w.bytes.size();
    w.bits(0, 2);
    w.flush_ones();
    w.marker(0xD9);
    DecodeResult r;
    EXPECT_FALSE(run_decoder(w.bytes, &r, false));
    EXPECT_EQ(r.error.code, (u32)ERR_BAD_HEADER);
    EXPECT_EQ(r.error.offset, data);
    // Bits that form no code ("11" in the DC table): "bad_data".
    StreamWriter x = minimal_header(8, 8, 1, &s, 0, 0xC0, 8);
    sos_all(&x, 1);
    x.bits(0x3, 2);
    x.bits(0, 6);
    x.marker(0xD9);
    EXPECT_FALSE(run_decoder(x.bytes, &r, false));
    EXPECT_EQ(r.error.code, (u32)ERR_BAD_HEADER);
    // Missing quantisation table: the preview refuses with "bad_table".
    StreamWriter q;
    q.marker(0xD8);
    std::vector<u8> body = grey_file(8, 8, 0, 0, 8);
    q.bytes.insert(q.bytes.end(), body.begin() + 2 + 69, body.end());
    EXPECT_FALSE(run_decoder(q.bytes, &r, false));
    EXPECT_EQ(r.stage, "preview");
    EXPECT_EQ(r.error.code, (u32)ERR_BAD_HEADER);
}

TEST(JpegEntropy, EveryPrefixFailsCleanly) {
    u32 s[3] = {0x22, 0x11, 0x11};
    StreamWriter w = minimal_header(40, 24, 3, s, 2, 0xC0, 8);
    sos_all(&w, 3);
    for (u32 mcu = 0; mcu < 6; mcu++) {
        if (mcu && mcu % 2 == 0) {
            w.flush_ones();
            w.marker((u8)(0xD0 + (mcu / 2 - 1)));
        }
        for (u32 b = 0; b < 6; b++) w.bits(b & 1 ? 0x5 : 0x0, b & 1 ? 3 : 1), w.bits(0, 1);
    }
    w.flush_ones();
    w.marker(0xD9);
    DecodeResult whole;
    ASSERT_TRUE(run_decoder(w.bytes, &whole, true)) << whole.stage << whole.error.code << " " << whole.error.offset;
    for (size_t n = 0; n < w.bytes.size(); n++) {
        std::vector<u8> prefix(w.bytes.begin(), w.bytes.begin() + (long)n);
        DecodeResult r;
        EXPECT_FALSE(run_decoder(prefix, &r, true)) << n;
        EXPECT_NE(r.error.code, 0u);
        EXPECT_LE(r.error.offset, n);
    }
}

TEST(JpegEntropy, StagesOutOfOrderAreRefused) {
    std::vector<u8> f = grey_file(300, 20, 1, 0, 8);
    DecoderMemory mem;
    DecodeResult r;
    ASSERT_TRUE(run_decoder(f, &r, false, &mem));
    std::vector<u8> tile(1024 * 256);
    PixelBuffer t{tile.data(), 1024, 256, 256};
    CodecError err;
    // A tile before the second stage, then outside the image after it.
    EXPECT_FALSE(jpeg_render_full_tile(mem.scratch.data, mem.extra.data, 0, 0, &t, &err));
    EXPECT_EQ(err.code, (u32)ERR_BAD_TARGET);
    mem.extra.resize(r.info.extra_bytes);
    EXPECT_FALSE(jpeg_finish_full_resolution(f.data(), f.size(), mem.scratch.data, r.info.scratch_bytes,
                                             mem.extra.data, r.info.extra_bytes - 1, &err));
    EXPECT_EQ(err.code, (u32)ERR_TOO_LARGE);
    ASSERT_TRUE(jpeg_finish_full_resolution(f.data(), f.size(), mem.scratch.data, r.info.scratch_bytes,
                                            mem.extra.data, r.info.extra_bytes, &err));
    EXPECT_TRUE(jpeg_render_full_tile(mem.scratch.data, mem.extra.data, 1, 0, &t, &err));
    EXPECT_FALSE(jpeg_render_full_tile(mem.scratch.data, mem.extra.data, 2, 0, &t, &err));
    EXPECT_EQ(err.code, (u32)ERR_BAD_TARGET);
    EXPECT_FALSE(jpeg_render_full_tile(mem.scratch.data, mem.extra.data, 0, 1, &t, &err));
    // Too little scratch for the preview.
    PixelBuffer pb{mem.pixels.data, 0, 0, 0};
    EXPECT_FALSE(jpeg_decode_preview(f.data(), f.size(), mem.scratch.data, r.info.scratch_bytes - 64, &pb,
                                     r.info.pixel_bytes, &err));
    EXPECT_EQ(err.code, (u32)ERR_BAD_TARGET);
}

}  // namespace

namespace {

// DC differences of +32767 in every block: the predictor wraps to 16 bits
// like the coefficient it stores, instead of overflowing.
TEST(JpegEntropy, DcPredictorWrapsToSixteenBits) {
    u32 s = 0x11;
    StreamWriter w = minimal_header(64, 64, 1, &s, 0, 0xC0, 1);
    w.segment(0xC4, {0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 15});
    sos_all(&w, 1);
    for (u32 b = 0; b < 64; b++) {
        w.bits(0, 1);
        w.bits(0x7FFF, 15);
        w.bits(0, 1);
    }
    w.flush_ones();
    w.marker(0xD9);
    DecoderMemory mem;
    DecodeResult r;
    ASSERT_TRUE(run_decoder(w.bytes, &r, true, &mem)) << r.stage << r.error.code;
    for (u32 b = 0; b < 64; b++) {
        i32 dc = (i16)(u16)((b + 1) * 32767u);
        i32 v = std::min(255, std::max(0, ((dc + 4) >> 3) + 128));
        EXPECT_EQ(r.preview[4 * b], v) << b;
    }
}

}  // namespace
