// The marker layer on hand-made streams: signature, segment limits, frame,
// table, restart and scan header checks with their statuses and offsets, the
// quick header's classification and the probe's rejections.
#include <gtest/gtest.h>

#include <array>

#include "jpeg_support.h"

namespace {

JpegStatus quick(const std::vector<u8>& f, JpegQuickHeader* q) {
    JpegDecoder d;
    JpegStatus st{};
    read_quick_header(f.data(), f.size(), &d, q, &st);
    return st;
}

CodecError probe(const std::vector<u8>& f, ImageInfo* info = nullptr) {
    JpegDecoder d;
    ImageInfo local;
    CodecError err{};
    jpeg_probe(f.data(), f.size(), info ? info : &local, &d, &err);
    return err;
}

#define EXPECT_STATUS(st, c, off)        \
    do {                                 \
        EXPECT_EQ((st).code, (u32)(c));  \
        EXPECT_EQ((st).offset, (u64)(off)); \
    } while (0)

std::vector<u8> frame_file(std::vector<u8> sof_payload, u8 sof = 0xC0) {
    StreamWriter w;
    w.marker(0xD8);
    w.segment(sof, sof_payload);
    w.marker(0xD9);
    return w.bytes;
}

std::vector<u8> sof(u32 w, u32 h, std::vector<std::array<u8, 3>> comps, u8 precision = 8) {
    std::vector<u8> p = {precision, (u8)(h >> 8), (u8)h, (u8)(w >> 8), (u8)w, (u8)comps.size()};
    for (auto& c : comps) p.insert(p.end(), c.begin(), c.end());
    return p;
}

TEST(JpegMarkers, Signature) {
    JpegStatus st{};
    u64 pos = 0;
    u8 ff_d8[2] = {0xFF, 0xD8}, bad[2] = {0xFF, 0xD9}, x[1] = {0x00};
    EXPECT_FALSE(check_soi(ff_d8, 0, &pos, &st));
    EXPECT_STATUS(st, JPEG_TRUNCATED, 0);
    EXPECT_FALSE(check_soi(x, 1, &pos, &st));
    EXPECT_STATUS(st, JPEG_BAD_SIGNATURE, 0);
    EXPECT_FALSE(check_soi(ff_d8, 1, &pos, &st));
    EXPECT_STATUS(st, JPEG_TRUNCATED, 1);
    EXPECT_FALSE(check_soi(bad, 2, &pos, &st));
    EXPECT_STATUS(st, JPEG_BAD_SIGNATURE, 1);
    EXPECT_TRUE(check_soi(ff_d8, 2, &pos, &st));
    EXPECT_EQ(pos, 2u);
    // SOI alone: the marker loop runs out at 2.
    JpegQuickHeader q;
    EXPECT_STATUS(quick({0xFF, 0xD8}, &q), JPEG_TRUNCATED, 2);
    // Fill bytes running into the end; a segment running past it.
    EXPECT_STATUS(quick({0xFF, 0xD8, 0xFF, 0xFF}, &q), JPEG_TRUNCATED, 4);
    EXPECT_STATUS(quick({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 1}, &q), JPEG_TRUNCATED, 7);
    EXPECT_STATUS(quick({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01}, &q), JPEG_BAD_HEADER, 4);
    EXPECT_STATUS(quick({0xFF, 0xD8, 0x12}, &q), JPEG_BAD_HEADER, 2);
}

TEST(JpegMarkers, RejectedAndUnsupportedMarkers) {
    JpegQuickHeader q;
    for (u8 code : {0xD8, 0x00, 0x01, 0xD0, 0xD7, 0xDA}) {
        EXPECT_STATUS(quick({0xFF, 0xD8, 0xFF, code, 0, 2}, &q), JPEG_BAD_HEADER, 3);
    }
    for (u8 code : {0xC3, 0xC5, 0xC8, 0xC9, 0xCC, 0xCF, 0xDC}) {
        EXPECT_STATUS(quick({0xFF, 0xD8, 0xFF, code, 0, 2}, &q), JPEG_UNSUPPORTED, 3);
    }
    // The offset is the code byte's even after fill bytes.
    EXPECT_STATUS(quick({0xFF, 0xD8, 0xFF, 0xFF, 0xFF, 0xC3, 0, 2}, &q), JPEG_UNSUPPORTED, 5);
    // End of image before any frame: "bad_header" at its code byte.
    EXPECT_STATUS(quick({0xFF, 0xD8, 0xFF, 0xE1, 0, 2, 0xFF, 0xD9}, &q), JPEG_BAD_HEADER, 7);
    EXPECT_EQ(probe({0xFF, 0xD8, 0xFF, 0xD9}).code, (u32)ERR_BAD_HEADER);
}

// n segments of the given kind (APPn cycles through APP0 to APP15) between
// SOI and the rest of `body`.
std::vector<u8> with_segments(u32 n, u8 marker, const std::vector<u8>& body) {
    StreamWriter w;
    w.marker(0xD8);
    for (u32 i = 0; i < n; i++) {
        if (marker == 0xDB) {
            std::vector<u8> dqt(65, (u8)(1 + i % 200));
            dqt[0] = 1;  // table 1: the body's own table 0 stays as it is
            w.segment(0xDB, dqt);
        } else {
            w.segment((u8)(marker + i % 16), {(u8)i});
        }
    }
    w.bytes.insert(w.bytes.end(), body.begin() + 2, body.end());
    return w.bytes;
}

TEST(JpegMarkers, SegmentLimitCountsEverySegmentExamined) {
    // A frame header right after 1024 application segments is accepted; the
    // 1025th segment passed over gives "limit" at its 0xFF.
    std::vector<u8> frame_only = frame_file(sof(16, 8, {{1, 0x11, 0}}));
    JpegQuickHeader q;
    EXPECT_STATUS(quick(with_segments(1024, 0xE0, frame_only), &q), JPEG_OK, 0);
    EXPECT_STATUS(quick(with_segments(1025, 0xE0, frame_only), &q), JPEG_LIMIT, 2u + 1024u * 5u);
    // Tables count like any other segment: 2,000 DQT segments before the scan
    // are refused by the probe and by the decoder at the 1025th.
    std::vector<u8> body = grey_file(16, 8, 1, 0, 8);
    const u64 dqt_size = 2 + 2 + 65;
    CodecError err = probe(with_segments(2000, 0xDB, body));
    EXPECT_EQ(err.code, (u32)ERR_LIMIT);
    EXPECT_EQ(err.offset, 2u + 1024u * dqt_size);
    DecodeResult r;
    EXPECT_FALSE(run_decoder(with_segments(2000, 0xDB, body), &r, true));
    EXPECT_EQ(r.error.code, (u32)ERR_LIMIT);
    // The body adds DQT, SOF and DHT before its scan: 1021 + 3 examined
    // segments decode, one more does not.
    EXPECT_TRUE(run_decoder(with_segments(1021, 0xDB, body), &r, true)) << r.stage << " " << r.error.code;
    EXPECT_FALSE(run_decoder(with_segments(1022, 0xDB, body), &r, true));
    EXPECT_EQ(r.error.code, (u32)ERR_LIMIT);
    EXPECT_EQ(r.error.offset, 2u + 1022u * dqt_size + dqt_size + (2 + 2 + 6 + 3));  // the DHT after SOF
}

TEST(JpegMarkers, FrameHeaderChecks) {
    JpegQuickHeader q;
    // Offsets count from the frame marker's 0xFF at 2.
    EXPECT_STATUS(quick(frame_file({8, 0, 1, 0, 1}), &q), JPEG_BAD_HEADER, 4);
    EXPECT_STATUS(quick(frame_file(sof(8, 8, {{1, 0x11, 0}}), 0xC0), &q), JPEG_OK, 0);
    auto p = sof(8, 8, {{1, 0x11, 0}});
    p[5] = 5;
    EXPECT_STATUS(quick(frame_file(p), &q), JPEG_BAD_HEADER, 11);  // count 5
    p[5] = 2;
    EXPECT_STATUS(quick(frame_file(p), &q), JPEG_BAD_HEADER, 4);  // length not 8 + 3 * count
    EXPECT_STATUS(quick(frame_file(sof(8, 8, {{1, 0x11, 0}}, 12), 0xC0), &q), JPEG_BAD_HEADER, 6);
    EXPECT_STATUS(quick(frame_file(sof(8, 8, {{1, 0x11, 0}}, 12), 0xC1), &q), JPEG_OK, 0);
    EXPECT_STATUS(quick(frame_file(sof(8, 8, {{1, 0x11, 0}}, 9), 0xC1), &q), JPEG_BAD_HEADER, 6);
    EXPECT_STATUS(quick(frame_file(sof(0, 8, {{1, 0x11, 0}})), &q), JPEG_BAD_HEADER, 9);
    EXPECT_STATUS(quick(frame_file(sof(8, 0, {{1, 0x11, 0}})), &q), JPEG_UNSUPPORTED, 7);
    EXPECT_STATUS(quick(frame_file(sof(8, 8, {{1, 0x51, 0}})), &q), JPEG_BAD_HEADER, 13);
    EXPECT_STATUS(quick(frame_file(sof(8, 8, {{1, 0x10, 0}})), &q), JPEG_BAD_HEADER, 13);
    EXPECT_STATUS(quick(frame_file(sof(8, 8, {{1, 0x11, 4}})), &q), JPEG_BAD_HEADER, 14);
    EXPECT_STATUS(quick(frame_file(sof(8, 8, {{1, 0x22, 0}, {1, 0x11, 0}, {3, 0x11, 0}})), &q), JPEG_BAD_HEADER, 15);
    // The coefficient store is held below 1 GiB; 4:4:4 at 65535 x 65535 is far beyond.
    EXPECT_STATUS(quick(frame_file(sof(65535, 65535, {{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}})), &q),
                  JPEG_TOO_LARGE, 7);
    // 2^28 samples in all: 16384 x 16384 grey is exactly the limit, 3 components are not.
    EXPECT_STATUS(quick(frame_file(sof(16384, 16384, {{1, 0x11, 0}})), &q), JPEG_OK, 0);
    EXPECT_STATUS(quick(frame_file(sof(16384, 16385, {{1, 0x11, 0}})), &q), JPEG_TOO_LARGE, 7);
    EXPECT_STATUS(quick(frame_file(sof(9460, 9460, {{1, 0x22, 0}, {2, 0x11, 0}, {3, 0x11, 0}})), &q), JPEG_TOO_LARGE, 7);
}

TEST(JpegMarkers, QuickHeaderClassification) {
    JpegQuickHeader q;
    ASSERT_EQ(quick(frame_file(sof(33, 17, {{1, 0x22, 0}, {2, 0x11, 1}, {3, 0x11, 1}})), &q).code, 0u);
    EXPECT_EQ(q.pixel_format, (u32)Yuv420_8);
    EXPECT_EQ(q.sampling, 0x111122u);
    EXPECT_EQ(q.width, 33u);
    EXPECT_EQ(q.flags, 4u);
    EXPECT_EQ(q.frame_count, 1u);
    ASSERT_EQ(quick(frame_file(sof(8, 8, {{1, 0x21, 0}, {2, 0x11, 1}, {3, 0x11, 1}})), &q).code, 0u);
    EXPECT_EQ(q.pixel_format, (u32)Yuv422_8);
    ASSERT_EQ(quick(frame_file(sof(8, 8, {{1, 0x22, 0}, {2, 0x22, 1}, {3, 0x22, 1}}), 0xC2), &q).code, 0u);
    EXPECT_EQ(q.pixel_format, (u32)Yuv444_8);
    EXPECT_TRUE(q.progressive);
    ASSERT_EQ(quick(frame_file(sof(8, 8, {{'R', 0x11, 0}, {'G', 0x11, 0}, {'B', 0x11, 0}})), &q).code, 0u);
    EXPECT_EQ(q.pixel_format, (u32)Rgba8Straight);
    ASSERT_EQ(quick(frame_file(sof(8, 8, {{1, 0x11, 0}}, 12), 0xC1), &q).code, 0u);
    EXPECT_EQ(q.pixel_format, (u32)Rgba16);
    EXPECT_EQ(q.precision, 12u);
    // Every layout of whole ratios is taken: subsampled RGB, mixed chroma,
    // 4:4:0, 4:1:1, thirds.
    EXPECT_STATUS(quick(frame_file(sof(8, 8, {{'R', 0x21, 0}, {'G', 0x11, 0}, {'B', 0x11, 0}})), &q), JPEG_OK, 0);
    EXPECT_STATUS(quick(frame_file(sof(8, 8, {{1, 0x22, 0}, {2, 0x11, 0}, {3, 0x12, 0}})), &q), JPEG_OK, 0);
    EXPECT_STATUS(quick(frame_file(sof(8, 8, {{1, 0x12, 0}, {2, 0x11, 0}, {3, 0x11, 0}})), &q), JPEG_OK, 0);
    EXPECT_STATUS(quick(frame_file(sof(8, 8, {{1, 0x41, 0}, {2, 0x11, 0}, {3, 0x11, 0}})), &q), JPEG_OK, 0);
    EXPECT_STATUS(quick(frame_file(sof(8, 8, {{1, 0x33, 0}, {2, 0x11, 0}, {3, 0x13, 0}})), &q), JPEG_OK, 0);
    // Fractional ratios are not: "unsupported" at +11 for three or four
    // components, +9 for two.
    EXPECT_STATUS(quick(frame_file(sof(8, 8, {{1, 0x32, 0}, {2, 0x21, 0}, {3, 0x21, 0}})), &q), JPEG_UNSUPPORTED, 13);
    EXPECT_STATUS(quick(frame_file(sof(8, 8, {{1, 0x24, 0}, {2, 0x13, 0}, {3, 0x11, 0}})), &q), JPEG_UNSUPPORTED, 13);
    EXPECT_STATUS(quick(frame_file(sof(8, 8, {{1, 0x11, 0}, {2, 0x11, 0}})), &q), JPEG_UNSUPPORTED, 11);
    // Four components (CMYK, YCCK) in the layouts full resolution rebuilds.
    EXPECT_STATUS(quick(frame_file(sof(8, 8, {{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}, {4, 0x11, 0}})), &q),
                  JPEG_OK, 0);
    EXPECT_STATUS(quick(frame_file(sof(8, 8, {{1, 0x22, 0}, {2, 0x11, 0}, {3, 0x11, 0}, {4, 0x22, 0}})), &q),
                  JPEG_OK, 0);
    EXPECT_STATUS(quick(frame_file(sof(8, 8, {{1, 0x32, 0}, {2, 0x11, 0}, {3, 0x11, 0}, {4, 0x21, 0}})), &q),
                  JPEG_UNSUPPORTED, 13);
}

TEST(JpegMarkers, ProbeRejectsTwelveBitAndSizesTheMemory) {
    CodecError err = probe(frame_file(sof(8, 8, {{1, 0x11, 0}}, 12), 0xC1));
    EXPECT_EQ(err.code, (u32)ERR_UNSUPPORTED);
    EXPECT_EQ(err.offset, 0u);

    // 4:2:0 of 33 x 17: MCUs of 16 x 16, 3 x 2 of them.
    ImageInfo info;
    u32 s[3] = {0x22, 0x11, 0x11};
    StreamWriter w = minimal_header(33, 17, 3, s, 0, 0xC0, 1);
    w.marker(0xD9);
    ASSERT_EQ(probe(w.bytes, &info).code, 0u);
    EXPECT_EQ(info.decoder, (u32)DECODER_JPEG);
    EXPECT_EQ(info.frame_count, 1u);
    EXPECT_EQ(info.play_count, 0u);
    EXPECT_EQ(info.preview_level, 3u);
    u64 luma = 6 * 4, chroma = 6;  // blocks
    u64 expected = 1331008;
    expected += luma * 128 + align64(2 * luma + 16) + align64((8 + 16) * 3);        // previews 5 x 3
    expected += 2 * (chroma * 128 + align64(2 * chroma + 16) + align64((8 + 16) * 2));  // 3 x 2
    expected += 2 * align64(((5 + 31) & ~31) | 16);
    EXPECT_EQ(info.scratch_bytes, expected);
    EXPECT_EQ(info.pixel_bytes, row_stride(5) * 3 + 32);
    EXPECT_EQ(info.extra_bytes, 384u + 73984u + 2 * 2 * 73984u + 320 + 576);
}

TEST(JpegMarkers, TablesRestartAndApplicationSegments) {
    u32 s = 0x11;
    // DRI must be exactly 4 bytes long.
    StreamWriter w = minimal_header(8, 8, 1, &s, 0, 0xC0, 1);
    w.segment(0xDD, {0, 1, 0});
    w.marker(0xD9);
    CodecError err = probe(w.bytes);
    EXPECT_EQ(err.code, (u32)ERR_BAD_HEADER);
    // DQT: precision 2, table 4, a table cut short.
    for (auto payload : {std::vector<u8>{0x20}, std::vector<u8>{0x04}, std::vector<u8>(60, 1)}) {
        StreamWriter q = minimal_header(8, 8, 1, &s, 0, 0xC0, 1);
        q.segment(0xDB, payload);
        q.marker(0xD9);
        JpegDecoder d;
        ImageInfo info;
        EXPECT_FALSE(jpeg_probe(q.bytes.data(), q.bytes.size(), &info, &d, &err));
        EXPECT_EQ(err.code, (u32)ERR_BAD_HEADER);  // "bad_table"
    }
    // DHT: 17 codes of length 4 cannot exist.
    std::vector<u8> dht = {0x10, 0, 0, 0, 17, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (u32 i = 0; i < 17; i++) dht.push_back((u8)i);
    StreamWriter h = minimal_header(8, 8, 1, &s, 0, 0xC0, 1);
    h.segment(0xC4, dht);
    h.marker(0xD9);
    JpegDecoder d;
    JpegStatus st;
    memset(&d, 0, sizeof d);
    u64 pos = 0;
    ASSERT_TRUE(check_soi(h.bytes.data(), h.bytes.size(), &pos, &st));
    reset_headers(&d);
    JpegScan scan;
    EXPECT_EQ(next_segment(h.bytes.data(), h.bytes.size(), &d, &pos, &scan, &st, false), (u32)JPEG_SEGMENT_FAILED);
    EXPECT_EQ(st.code, (u32)JPEG_BAD_TABLE);
    u64 dht_at = h.bytes.size() - 2 - dht.size() - 4;
    EXPECT_EQ(st.offset, dht_at + 5);  // the byte after the class byte

    // JFIF wins over 'R', 'G', 'B' ids; Adobe transform 0 makes RGB of any ids.
    auto mode_of = [](std::vector<u8> extra, std::array<u8, 3> ids) {
        StreamWriter f;
        f.marker(0xD8);
        f.bytes.insert(f.bytes.end(), extra.begin(), extra.end());
        f.segment(0xC0, sof(8, 8, {{ids[0], 0x11, 0}, {ids[1], 0x11, 0}, {ids[2], 0x11, 0}}));
        f.marker(0xD9);
        JpegDecoder dec;
        ImageInfo info;
        CodecError e;
        EXPECT_TRUE(jpeg_probe(f.bytes.data(), f.bytes.size(), &info, &dec, &e));
        return jpeg_color_mode(&dec);
    };
    StreamWriter jfif, adobe0, adobe1, short_adobe;
    jfif.segment(0xE0, {'J', 'F', 'I', 'F', 0, 1, 2, 0, 0, 1, 0, 1, 0, 0});
    adobe0.segment(0xEE, {'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0, 0, 0});
    adobe1.segment(0xEE, {'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0, 0, 1});
    short_adobe.segment(0xEE, {'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0, 0});
    EXPECT_EQ(mode_of(jfif.bytes, {'R', 'G', 'B'}), (u32)JPEG_COLOR_YCBCR);
    EXPECT_EQ(mode_of({}, {'R', 'G', 'B'}), (u32)JPEG_COLOR_RGB);
    EXPECT_EQ(mode_of({}, {1, 2, 3}), (u32)JPEG_COLOR_YCBCR);
    EXPECT_EQ(mode_of(adobe0.bytes, {1, 2, 3}), (u32)JPEG_COLOR_RGB);
    EXPECT_EQ(mode_of(adobe1.bytes, {'R', 'G', 'B'}), (u32)JPEG_COLOR_YCBCR);
    EXPECT_EQ(mode_of(short_adobe.bytes, {1, 2, 3}), (u32)JPEG_COLOR_YCBCR);
}

TEST(JpegMarkers, ScanHeaderChecks) {
    u32 s[3] = {0x11, 0x11, 0x11};
    auto scan_status = [&](std::vector<u8> sos, u8 sof_code) {
        StreamWriter w = minimal_header(8, 8, 3, s, 0, sof_code, 1);
        u64 at = w.bytes.size();
        w.segment(0xDA, sos);
        w.marker(0xD9);
        JpegDecoder d;
        memset(&d, 0, sizeof d);
        reset_headers(&d);
        JpegStatus st{};
        u64 pos = 2;
        JpegScan scan;
        u32 r = next_segment(w.bytes.data(), w.bytes.size(), &d, &pos, &scan, &st, false);
        return std::make_pair(r == JPEG_SEGMENT_SCAN ? 0u : st.code, r == JPEG_SEGMENT_SCAN ? 0 : st.offset - at);
    };
    using P = std::pair<u32, u64>;
    EXPECT_EQ(scan_status({1, 1, 0, 0, 63, 0}, 0xC0), P(0, 0));
    EXPECT_EQ(scan_status({0, 0, 63, 0}, 0xC0), P(JPEG_BAD_SCAN, 4));
    EXPECT_EQ(scan_status({4, 1, 0, 2, 0, 3, 0, 4, 0, 0, 63, 0}, 0xC0), P(JPEG_BAD_SCAN, 4));
    EXPECT_EQ(scan_status({1, 1, 0, 0, 63}, 0xC0), P(JPEG_BAD_HEADER, 2));
    EXPECT_EQ(scan_status({1, 9, 0, 0, 63, 0}, 0xC0), P(JPEG_BAD_SCAN, 5));
    EXPECT_EQ(scan_status({2, 1, 0, 1, 0, 0, 63, 0}, 0xC0), P(JPEG_BAD_SCAN, 7));
    EXPECT_EQ(scan_status({1, 1, 0x40, 0, 63, 0}, 0xC0), P(JPEG_BAD_SCAN, 6));
    EXPECT_EQ(scan_status({1, 1, 0, 1, 63, 0}, 0xC0), P(JPEG_BAD_SCAN, 7));
    EXPECT_EQ(scan_status({1, 1, 0, 0, 63, 0x10}, 0xC0), P(JPEG_BAD_SCAN, 9));
    // Progressive rules.
    EXPECT_EQ(scan_status({3, 1, 0, 2, 0, 3, 0, 0, 0, 0x01}, 0xC2), P(0, 0));
    EXPECT_EQ(scan_status({1, 1, 0, 5, 4, 0}, 0xC2), P(JPEG_BAD_SCAN, 7));
    EXPECT_EQ(scan_status({1, 1, 0, 1, 64, 0}, 0xC2), P(JPEG_BAD_SCAN, 7));
    EXPECT_EQ(scan_status({1, 1, 0, 0, 5, 0}, 0xC2), P(JPEG_BAD_SCAN, 8));
    EXPECT_EQ(scan_status({2, 1, 0, 2, 0, 1, 5, 0}, 0xC2), P(JPEG_BAD_SCAN, 4));
    EXPECT_EQ(scan_status({1, 1, 0, 1, 5, 0x0E}, 0xC2), P(JPEG_BAD_SCAN, 9));
    EXPECT_EQ(scan_status({1, 1, 0, 1, 5, 0x31}, 0xC2), P(JPEG_BAD_SCAN, 9));
    EXPECT_EQ(scan_status({1, 1, 0, 1, 5, 0x21}, 0xC2), P(0, 0));
    // Blocks per MCU: 4:4:4 with 2 x 2 factors for all three is 12 blocks.
    u32 big[3] = {0x22, 0x22, 0x22};
    StreamWriter w = minimal_header(8, 8, 3, big, 0, 0xC0, 1);
    w.segment(0xDA, {3, 1, 0, 2, 0, 3, 0, 0, 63, 0});
    w.marker(0xD9);
    DecodeResult r;
    EXPECT_FALSE(run_decoder(w.bytes, &r, false));
    EXPECT_EQ(r.error.code, (u32)ERR_BAD_HEADER);  // "bad_scan"
}

TEST(JpegMarkers, ScanLimit) {
    // 129 DC-first scans of a progressive grey image.
    u32 s = 0x11;
    StreamWriter w = minimal_header(8, 8, 1, &s, 0, 0xC2, 1);
    for (u32 i = 0; i < 129; i++) {
        w.segment(0xDA, {1, 1, 0, 0, 0, 0});
        w.bits(0, 1);
        w.flush_ones();
    }
    w.marker(0xD9);
    DecodeResult r;
    EXPECT_FALSE(run_decoder(w.bytes, &r, false));
    EXPECT_EQ(r.error.code, (u32)ERR_LIMIT);
}

}  // namespace
