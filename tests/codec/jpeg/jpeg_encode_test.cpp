// Encoder rules that need no reference library: validation order and codes,
// the sizing functions against what the encoder touches, the quantisation
// tables and the reciprocal quantiser, the file's segment structure, edge
// cases of size and output capacity, the Annex K.2 table builder, and every
// vector kernel against its scalar twin.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "jpeg_encode_support.h"
#include "jpeg_support.h"

namespace {

const double k_pi = 3.14159265358979323846;

std::string text(ByteSpan s) {
    return std::string((const char*)s.data, s.size);
}

struct Call {
    JpegEncodeSettings settings{75, 0, 0};
    u64 workspace_size = 0;
    u64 capacity = 0;
    std::vector<u8> workspace, output;
    JpegEncodeResult result{};
    bool ok = false;
};

// One call with the workspace and output followed by guard bytes that must
// survive, and an output pre-filled with a pattern.
Call call(const RgbaImage& img, JpegEncodeSettings settings, i64 workspace_delta = 0, i64 capacity = -1,
          u64 stride = 0, i64 pixel_delta = 0, u32 width = 0, u32 height = 0) {
    Call c;
    c.settings = settings;
    u32 w = width ? width : img.width, h = height ? height : img.height;
    c.workspace_size = (u64)((i64)jpeg_encode_workspace_bytes(&settings, w, h) + workspace_delta);
    c.capacity = capacity >= 0 ? (u64)capacity : jpeg_encode_output_bound(&settings, w, h);
    c.workspace.assign(c.workspace_size + 256, 0xA5);
    c.output.assign(c.capacity + 256, 0xC3);
    u64 size = (u64)((i64)img.pixels.size() + pixel_delta);
    c.ok = jpeg_encode(ByteSpan{(u8*)img.pixels.data(), size}, stride ? stride : img.stride, w, h, &settings,
                       c.workspace.data(), c.workspace_size, c.output.data(), c.capacity, &c.result);
    return c;
}

bool untouched(const std::vector<u8>& v, u64 from, u8 value) {
    for (u64 i = from; i < v.size(); i++) {
        if (v[i] != value) return false;
    }
    return true;
}

// ---- Validation and messages ---------------------------------------------------

TEST(JpegEncode, RefusesBadArgumentsInOrderBeforeWriting) {
    RgbaImage img = make_image(20, 10, 1, 1);
    JpegEncodeSettings ok{75, 0, 0}, q0{0, 0, 0};
    // (call, expected code): each fault alone, then with a later fault added,
    // so the order shows: size, quality, workspace, stride, pixel length.
    std::pair<Call, u32> cases[] = {
        {call(img, ok), JPEG_ENCODE_OK},
        {call(img, q0, 0, -1, 0, 0, 70000, 10), JPEG_ENCODE_BAD_WIDTH},
        {call(img, q0, 0, -1, 0, 0, 20, 70000), JPEG_ENCODE_BAD_HEIGHT},
        {call(img, q0, -1), JPEG_ENCODE_BAD_QUALITY},
        {call(img, {101, 1, 1}), JPEG_ENCODE_BAD_QUALITY},
        {call(img, ok, -1, -1, 79), JPEG_ENCODE_SMALL_WORKSPACE},
        {call(img, ok, 0, -1, 79, -1), JPEG_ENCODE_BAD_STRIDE},
        {call(img, ok, 0, -1, 0, -1), JPEG_ENCODE_SHORT_PIXELS},
        {call(img, ok, 0, -1, 84), JPEG_ENCODE_SHORT_PIXELS},
    };
    for (const auto& [c, code] : cases) {
        EXPECT_EQ(c.ok, code == JPEG_ENCODE_OK);
        EXPECT_EQ(c.result.code, code);
        if (code != JPEG_ENCODE_OK) {
            EXPECT_TRUE(untouched(c.output, 0, 0xC3)) << "code " << code;
            EXPECT_EQ(c.result.bytes, 0u);
        }
    }
    // A null workspace counts as too small.
    JpegEncodeResult r;
    u8 out[4096];
    EXPECT_FALSE(jpeg_encode(ByteSpan{img.pixels.data(), img.pixels.size()}, img.stride, 20, 10, &ok, nullptr, 0,
                             out, sizeof out, &r));
    EXPECT_EQ(r.code, JPEG_ENCODE_SMALL_WORKSPACE);
}

TEST(JpegEncode, SideLimits) {
    JpegEncodeSettings s{75, 0, 0};
    RgbaImage wide = make_image(65535, 1, 1, 2);
    Call a = call(wide, s);
    EXPECT_TRUE(a.ok) << a.result.code;
    DecodeResult dec;
    std::vector<u8> file(a.output.begin(), a.output.begin() + (long)a.result.bytes);
    ASSERT_TRUE(run_decoder(file, &dec, false)) << dec.stage;
    EXPECT_EQ(dec.info.width, 65535u);
    EXPECT_EQ(dec.info.height, 1u);

    RgbaImage wider = make_image(100, 1, 1, 2);
    Call b = call(wider, s, 0, 4096, 0, 0, 65536, 1);
    EXPECT_FALSE(b.ok);
    EXPECT_EQ(b.result.code, JPEG_ENCODE_BAD_WIDTH);
    EXPECT_EQ(text(jpeg_encode_message(b.result.code)),
              "The image is too large for JPEG (65535 pixels at most per side).");
    Call c = call(wider, s, 0, 4096, 0, 0, 1, 65536);
    EXPECT_EQ(c.result.code, JPEG_ENCODE_BAD_HEIGHT);
    JpegEncodeResult r;
    u8 out[64];
    EXPECT_FALSE(jpeg_encode(ByteSpan{wider.pixels.data(), wider.pixels.size()}, 400, 100, 0, &s, nullptr, 0, out,
                             sizeof out, &r));
    EXPECT_EQ(r.code, JPEG_ENCODE_BAD_HEIGHT);
    EXPECT_EQ(jpeg_encode_workspace_bytes(&s, 65536, 1), 0u);
    EXPECT_EQ(jpeg_encode_output_bound(&s, 1, 65536), 0u);
}

TEST(JpegEncode, Messages) {
    EXPECT_EQ(text(jpeg_encode_message(1)), "The image is too large for JPEG (65535 pixels at most per side).");
    EXPECT_EQ(text(jpeg_encode_message(2)), "The image is too large for JPEG (65535 pixels at most per side).");
    EXPECT_EQ(text(jpeg_encode_message(4)), "Quality must be 1 to 100.");
    EXPECT_EQ(text(jpeg_encode_message(10)), "The encoded file did not fit its buffer.");
    for (u32 code : {7u, 8u, 9u, 11u}) EXPECT_EQ(text(jpeg_encode_message(code)), "The encoder rejected the image.");
}

// ---- Sizing ----------------------------------------------------------------------

TEST(JpegEncode, SizingFunctions) {
    JpegEncodeSettings base{75, 0, 0}, s444{75, 1, 0}, prog{75, 0, 1};
    // 17 x 9 at 4:2:0: 2 x 1 MCUs, luma 4 x 2 blocks, chroma 2 x 1 each: 12 blocks.
    EXPECT_EQ(jpeg_encode_output_bound(&base, 17, 9), 12u * 640 + 4096);
    EXPECT_EQ(jpeg_encode_output_bound(&prog, 17, 9), 12u * 7680 + 49152);
    // At 4:4:4: 3 x 2 blocks per component.
    EXPECT_EQ(jpeg_encode_output_bound(&s444, 17, 9), 18u * 640 + 4096);
    // The progressive flag does not change the workspace.
    EXPECT_EQ(jpeg_encode_workspace_bytes(&base, 300, 200), jpeg_encode_workspace_bytes(&prog, 300, 200));
    EXPECT_EQ(jpeg_encode_workspace_bytes(&base, 300, 200) % 64, 0u);
    // 1 x 1 at 4:2:0: row 64 + 64; planes 16 rows of 16 + 64; downsampled planes
    // of 16 or 8 rows of 128; coefficients of 8 x 2 and 8 x 1 blocks; masks.
    u64 expect = 128 + 3 * align64(16 * 80) + align64(16 * 128) + 2 * align64(8 * 128) + 16 * 128 + 2 * 8 * 128 +
                 align64(16 * 8) + 2 * align64(8 * 8);
    EXPECT_EQ(jpeg_encode_workspace_bytes(&base, 1, 1), expect);
}

// The encoder stays inside the workspace it asked for and the output it
// was given, at every sampling and mode and for awkward sizes.
TEST(JpegEncode, StaysInsideItsMemory) {
    for (u32 mode = 0; mode < 4; mode++) {
        JpegEncodeSettings s{90, mode & 1, mode >> 1};
        for (u32 w : {1u, 7u, 8u, 9u, 16u, 17u, 65u, 129u}) {
            for (u32 h : {1u, 8u, 15u, 33u}) {
                RgbaImage img = make_image(w, h, 0, w * 31 + h);
                Call c = call(img, s);
                ASSERT_TRUE(c.ok) << w << " x " << h << " code " << c.result.code;
                EXPECT_TRUE(untouched(c.workspace, c.workspace_size, 0xA5)) << w << " x " << h;
                EXPECT_TRUE(untouched(c.output, c.capacity, 0xC3)) << w << " x " << h;
                EXPECT_LE(c.result.bytes, c.capacity);
            }
        }
    }
}

// ---- Output capacity ------------------------------------------------------------

TEST(JpegEncode, OutputThatDoesNotFit) {
    RgbaImage img = make_image(64, 48, 0, 3);
    for (u32 prog = 0; prog < 2; prog++) {
        JpegEncodeSettings s{90, 0, prog};
        Call full = call(img, s);
        ASSERT_TRUE(full.ok);
        // Smaller than the headers (SOI, APP0, two DQT and the frame header
        // take 2 + 18 + 138 + 19 bytes).
        for (i64 cap : {0, 1, 100, 176}) {
            Call c = call(img, s, 0, cap);
            EXPECT_FALSE(c.ok);
            EXPECT_EQ(c.result.code, JPEG_ENCODE_OUTPUT_FULL) << cap;
            EXPECT_TRUE(untouched(c.output, (u64)cap, 0xC3));
        }
        // Short by one byte, and short inside the entropy data.
        for (u64 cap : {full.result.bytes - 1, full.result.bytes / 2}) {
            Call c = call(img, s, 0, (i64)cap);
            EXPECT_FALSE(c.ok);
            EXPECT_EQ(c.result.code, JPEG_ENCODE_OUTPUT_FULL) << cap;
            EXPECT_TRUE(untouched(c.output, cap, 0xC3));
        }
        EXPECT_EQ(text(jpeg_encode_message(JPEG_ENCODE_OUTPUT_FULL)), "The encoded file did not fit its buffer.");
    }
}

// Every capacity short of the file fails with code 10 and writes nothing
// past the capacity; the exact capacity gives the same file. The baseline
// coder switches to a scratch buffer for MCUs near the end of the output, so
// every cut point inside the entropy data is tried.
TEST(JpegEncode, EveryShortCapacityFailsCleanly) {
    for (u32 mode = 0; mode < 4; mode++) {
        JpegEncodeSettings s{95, mode & 1, mode >> 1};
        RgbaImage img = make_image(40, 24, 0, 11 + mode);
        Call full = call(img, s);
        ASSERT_TRUE(full.ok);
        u64 bytes = full.result.bytes;
        // Baseline: every capacity; progressive: a stride through the file.
        u64 step = mode >> 1 ? 37 : 1;
        for (u64 cap = 150; cap < bytes; cap += step) {
            Call c = call(img, s, 0, (i64)cap);
            ASSERT_FALSE(c.ok) << "mode " << mode << " capacity " << cap;
            ASSERT_EQ(c.result.code, JPEG_ENCODE_OUTPUT_FULL) << cap;
            ASSERT_TRUE(untouched(c.output, cap, 0xC3)) << cap;
        }
        Call exact = call(img, s, 0, (i64)bytes);
        ASSERT_TRUE(exact.ok) << "mode " << mode;
        EXPECT_EQ(exact.result.bytes, bytes);
        EXPECT_EQ(memcmp(exact.output.data(), full.output.data(), bytes), 0);
        EXPECT_TRUE(untouched(exact.output, bytes, 0xC3));
    }
}

// A file whose entropy data is full of 0xFF bytes (each followed by a
// stuffed 0) decodes back to the image: noise at quality 100 gives long
// codes of all ones.
TEST(JpegEncode, StuffedBytesRoundTrip) {
    RgbaImage img = make_image(96, 64, 0, 21);
    for (u32 s444 = 0; s444 < 2; s444++) {
        OurEncode ours = our_encode(img, 100, s444, false);
        ASSERT_TRUE(ours.ok);
        u32 stuffed = 0;
        size_t sos = 0;
        for (const Segment& seg : segments(ours.file)) {
            if (seg.marker == 0xDA) sos = seg.offset + 2 + 12;
        }
        ASSERT_GT(sos, 0u);
        for (size_t i = sos; i + 2 < ours.file.size(); i++) {
            if (ours.file[i] == 0xFF) {
                EXPECT_EQ(ours.file[i + 1], 0) << i;
                stuffed++;
                i++;
            }
        }
        EXPECT_GT(stuffed, 50u);
        DecodeResult dec;
        ASSERT_TRUE(run_decoder(ours.file, &dec, true)) << dec.stage;
        std::vector<u8> packed((size_t)img.width * img.height * 4);
        for (u32 y = 0; y < img.height; y++) {
            memcpy(&packed[(size_t)y * img.width * 4], &img.pixels[y * img.stride], img.width * 4);
        }
        // Averaging the chroma of noise costs 4:2:0 most of its fidelity;
        // a misread stuffed byte would leave nothing but garbage (under 9).
        EXPECT_GT(psnr(dec.full, packed, img.width * img.height, 4, 4), s444 ? 45.0 : 11.0);
    }
}

// ---- Sequential coder tables --------------------------------------------------------

// The sequential coder's table turns a symbol and value into the code
// followed by the value's extra bits with one add: checked against the
// plain construction for every symbol of the standard tables and every
// value of its size.
TEST(JpegEncode, SequentialCodesAddUpToCodeAndExtraBits) {
    for (u32 slot = 0; slot < 4; slot++) {
        const u8* dht = jpeg_std_huffman[slot];
        u32 codes[256];
        jpeg_huffman_codes(dht, codes);
        JpegBaselineCodes t;
        jpeg_baseline_codes(codes, &t);
        u32 k = 0;
        u32 checked = 0;
        for (u32 len = 1; len <= 16; len++) {
            for (u32 i = 0; i < dht[len - 1]; i++, k++) {
                u32 symbol = dht[16 + k];
                u32 code = codes[symbol] & 0xFFFF;
                ASSERT_EQ(codes[symbol] >> 16, len);
                u32 size = symbol & 15;
                if (size == 0) {
                    EXPECT_EQ(t.shifted[symbol], code);
                    EXPECT_EQ(t.length[symbol], len);
                    continue;
                }
                for (i32 mag = 1 << (size - 1); mag < (1 << size); mag++) {
                    for (i32 v : {mag, -mag}) {
                        i32 sign = v >> 31;
                        u32 extra = v > 0 ? (u32)v : (u32)(v - 1) & ((1u << size) - 1);
                        u32 want = (code << size) | extra;
                        u32 at = symbol | (v < 0 ? 256u : 0u);
                        ASSERT_EQ(t.shifted[at] + (u32)(v + sign), want) << slot << " " << symbol << " " << v;
                        ASSERT_EQ(t.length[at], len + size);
                        checked++;
                    }
                }
            }
        }
        EXPECT_GT(checked, 1000u);
    }
}

// ---- Quantisation -------------------------------------------------------------------

TEST(JpegEncode, QuantisationTables) {
    u8 t[64];
    for (u32 table = 0; table < 2; table++) {
        jpeg_quant_table(50, table, t);
        EXPECT_EQ(memcmp(t, jpeg_base_quant[table], 64), 0);
        jpeg_quant_table(100, table, t);
        for (u8 v : t) EXPECT_EQ(v, 1);
        jpeg_quant_table(1, table, t);
        for (u32 i = 0; i < 64; i++) EXPECT_EQ(t[i], std::min(255u, jpeg_base_quant[table][i] * 50u));
    }
    jpeg_quant_table(75, 0, t);
    EXPECT_EQ(t[0], 8);   // (16 * 50 + 50) / 100
    EXPECT_EQ(t[1], 6);   // (11 * 50 + 50) / 100 = 6
    jpeg_quant_table(10, 1, t);
    EXPECT_EQ(t[0], 85);  // 17 * 500 / 100
    EXPECT_EQ(t[63], 255);
}

// The reciprocal quantiser rounds every magnitude the transform can produce
// to the nearest multiple, halves upwards, for every table value.
TEST(JpegEncode, ReciprocalQuantiserRoundsToNearest) {
    u8 table[64];
    for (u32 q = 1; q <= 255; q += 64) {
        for (u32 i = 0; i < 64; i++) table[i] = (u8)std::min(255u, q + i);
        JpegQuantDivisors d;
        jpeg_quant_divisors(table, &d);
        for (u32 i = 0; i < 64; i++) {
            u32 div = 8u * table[i];
            for (u32 m = 0; m <= 16384; m++) {
                u32 got = (u32)(((u64)(m + d.correction[i]) * d.reciprocal[i]) >> d.shift[i]);
                ASSERT_EQ(got, (m + div / 2) / div) << "value " << (int)table[i] << " magnitude " << m;
            }
            EXPECT_EQ((u32)d.scale[i] << (d.shift[i] - 16), 65536u);
        }
    }
}

// ---- File structure ------------------------------------------------------------------

TEST(JpegEncode, BaselineLayout) {
    RgbaImage img = make_image(40, 24, 1, 4);
    OurEncode e = our_encode(img, 75, false, false);
    ASSERT_TRUE(e.ok);
    std::vector<Segment> segs = segments(e.file);
    std::string order;
    for (const Segment& s : segs) {
        char b[8];
        snprintf(b, sizeof b, "%02X ", s.marker);
        order += b;
    }
    EXPECT_EQ(order, "D8 E0 DB DB C0 C4 C4 C4 C4 DA D9 ");
    const u8 app0[14] = {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
    EXPECT_EQ(std::vector<u8>(app0, app0 + 14), segs[1].body);
    const u8 sof[15] = {8, 0, 24, 0, 40, 3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1};
    EXPECT_EQ(std::vector<u8>(sof, sof + 15), segs[4].body);
    // DHT class/id in order: luminance DC, luminance AC, chrominance DC and AC,
    // each the standard table.
    const u8 tcth[4] = {0x00, 0x10, 0x01, 0x11};
    const u32 slot[4] = {0, 1, 2, 3};
    for (u32 i = 0; i < 4; i++) {
        const std::vector<u8>& b = segs[5 + i].body;
        EXPECT_EQ(b[0], tcth[i]);
        u32 n = 0;
        for (u32 k = 0; k < 16; k++) n += jpeg_std_huffman[slot[i]][k];
        ASSERT_EQ(b.size(), 17u + n);
        EXPECT_EQ(memcmp(&b[1], jpeg_std_huffman[slot[i]], 16 + n), 0);
    }
    const u8 sos[10] = {3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0};
    EXPECT_EQ(std::vector<u8>(sos, sos + 10), segs[9].body);
    // Quality 75 luminance table in zigzag order.
    u8 q[64];
    jpeg_quant_table(75, 0, q);
    EXPECT_EQ(segs[2].body[0], 0);
    for (u32 k = 0; k < 64; k++) EXPECT_EQ(segs[2].body[1 + k], q[jpeg_zigzag[k]]);
    EXPECT_EQ(segs[3].body[0], 1);
}

TEST(JpegEncode, ProgressiveLayout) {
    RgbaImage img = make_image(90, 70, 1, 5);
    OurEncode e = our_encode(img, 80, false, true);
    ASSERT_TRUE(e.ok);
    std::vector<Segment> segs = segments(e.file);
    EXPECT_EQ(segs[4].marker, 0xC2);
    // Per scan: the Tc/Th bytes of the DHT segments before it, then the SOS body.
    struct Expected {
        std::vector<u8> tables;
        std::vector<u8> sos;
    } expected[10] = {
        {{0x00, 0x01}, {3, 1, 0x00, 2, 0x10, 3, 0x10, 0, 0, 0x01}},
        {{0x10}, {1, 1, 0x00, 1, 5, 0x02}},
        {{0x11}, {1, 3, 0x01, 1, 63, 0x01}},
        {{0x11}, {1, 2, 0x01, 1, 63, 0x01}},
        {{0x10}, {1, 1, 0x00, 6, 63, 0x02}},
        {{0x10}, {1, 1, 0x00, 1, 63, 0x21}},
        {{}, {3, 1, 0x00, 2, 0x00, 3, 0x00, 0, 0, 0x10}},
        {{0x11}, {1, 3, 0x01, 1, 63, 0x10}},
        {{0x11}, {1, 2, 0x01, 1, 63, 0x10}},
        {{0x10}, {1, 1, 0x00, 1, 63, 0x10}},
    };
    u32 scan = 0;
    std::vector<u8> tables;
    for (size_t i = 5; i < segs.size(); i++) {
        if (segs[i].marker == 0xC4) {
            tables.push_back(segs[i].body[0]);
        } else if (segs[i].marker == 0xDA) {
            ASSERT_LT(scan, 10u);
            EXPECT_EQ(tables, expected[scan].tables) << "scan " << scan;
            EXPECT_EQ(segs[i].body, expected[scan].sos) << "scan " << scan;
            tables.clear();
            scan++;
        }
    }
    EXPECT_EQ(scan, 10u);
    EXPECT_EQ(segs.back().marker, 0xD9);
}

TEST(JpegEncode, AlphaIsIgnored) {
    for (u32 mode = 0; mode < 4; mode++) {
        RgbaImage a = make_image(37, 29, 1, 6);
        RgbaImage b = a;
        for (u64 i = 3; i < b.pixels.size(); i += 4) b.pixels[i] ^= 0xFF;
        OurEncode ea = our_encode(a, 85, mode & 1, mode >> 1);
        OurEncode eb = our_encode(b, 85, mode & 1, mode >> 1);
        ASSERT_TRUE(ea.ok && eb.ok);
        EXPECT_EQ(ea.file, eb.file);
    }
}

// Bytes between rows (stride above the row size) are never read.
TEST(JpegEncode, StrideGapsAreIgnored) {
    RgbaImage a = make_image(33, 17, 1, 7);
    RgbaImage b = make_image(33, 17, 1, 7, 24);
    for (u32 i = 0; i < b.height - 1; i++) memset(&b.pixels[i * b.stride + 33 * 4], i, 24);
    for (u32 mode = 0; mode < 4; mode++) {
        OurEncode ea = our_encode(a, 60, mode & 1, mode >> 1);
        OurEncode eb = our_encode(b, 60, mode & 1, mode >> 1);
        ASSERT_TRUE(ea.ok && eb.ok);
        EXPECT_EQ(ea.file, eb.file);
    }
}

// Files of every kind decode with our own decoder, close to the source.
TEST(JpegEncode, RoundTripThroughOurDecoder) {
    for (u32 mode = 0; mode < 4; mode++) {
        for (u32 size : {1u, 13u, 64u, 301u}) {
            RgbaImage img = make_image(size, size * 2 / 3 + 1, 1, size);
            OurEncode e = our_encode(img, 95, mode & 1, mode >> 1);
            ASSERT_TRUE(e.ok);
            DecodeResult dec;
            ASSERT_TRUE(run_decoder(e.file, &dec, true)) << dec.stage << " code " << dec.error.code;
            ASSERT_EQ(dec.info.width, img.width);
            ASSERT_EQ(dec.info.height, img.height);
            std::vector<u8> packed;
            for (u32 y = 0; y < img.height; y++) {
                packed.insert(packed.end(), &img.pixels[y * img.stride], &img.pixels[y * img.stride] + 4 * img.width);
            }
            EXPECT_GT(psnr(dec.full, packed, img.width * img.height, 4, 4), (mode & 1) ? 38.0 : 28.0)
                << size << " mode " << mode;
        }
    }
}

// ---- Huffman tables --------------------------------------------------------------------

u32 kraft_check(const u8* dht, u32* symbols) {
    // Sum of 2^(16 - length) over the codes; a complete prefix code gives 65536.
    u32 sum = 0;
    *symbols = 0;
    for (u32 len = 1; len <= 16; len++) {
        sum += (u32)dht[len - 1] << (16 - len);
        *symbols += dht[len - 1];
    }
    return sum;
}

TEST(JpegEncode, OptimalHuffmanTables) {
    u64 freq[256] = {};
    u8 dht[16 + 256];
    // Two symbols and the reserved one: lengths 1, 2 (and 2 for the reserved
    // code, dropped).
    freq[0] = 10;
    freq[5] = 3;
    ASSERT_TRUE(jpeg_optimal_huffman(freq, dht));
    EXPECT_EQ(dht[0], 1);
    EXPECT_EQ(dht[1], 1);
    EXPECT_EQ(dht[16], 0);
    EXPECT_EQ(dht[17], 5);
    // Equal frequencies: the reserved symbol merges with 3 (the larger of
    // the equals counts as smaller), then 2 with 1: all get 2-bit codes.
    memset(freq, 0, sizeof freq);
    freq[1] = freq[2] = freq[3] = 4;
    ASSERT_TRUE(jpeg_optimal_huffman(freq, dht));
    u32 n;
    EXPECT_LT(kraft_check(dht, &n), 65536u);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(dht[16], 1);
    EXPECT_EQ(dht[17], 2);
    EXPECT_EQ(dht[18], 3);

    // Frequencies 3^i make every merge take the tree built so far and the
    // next symbol, so 24 symbols give codes up to 24 bits, which the length
    // limit folds back; the table stays a prefix code.
    memset(freq, 0, sizeof freq);
    u64 p = 1;
    for (u32 i = 0; i < 24; i++, p *= 3) freq[i * 10] = p;
    ASSERT_TRUE(jpeg_optimal_huffman(freq, dht));
    EXPECT_LT(kraft_check(dht, &n), 65536u);
    EXPECT_EQ(n, 24u);
    EXPECT_EQ(dht[16], 230);  // the most frequent symbol first
    for (u32 i = 1; i < 24; i++) EXPECT_EQ(dht[16 + i], 230 - 10 * i);

    // With 39 symbols the merged codes pass 32 bits: refused.
    memset(freq, 0, sizeof freq);
    p = 1;
    for (u32 i = 0; i < 39; i++, p *= 3) freq[i] = p;
    EXPECT_FALSE(jpeg_optimal_huffman(freq, dht));
}

TEST(JpegEncode, CanonicalCodes) {
    u32 codes[256];
    jpeg_huffman_codes(jpeg_std_huffman[0], codes);
    // Luminance DC: category 0 is 00 (2 bits), category 11 is 111111110 (9 bits).
    EXPECT_EQ(codes[0], 0u | (2u << 16));
    EXPECT_EQ(codes[11], 0x1FEu | (9u << 16));
    jpeg_huffman_codes(jpeg_std_huffman[1], codes);
    EXPECT_EQ(codes[0x00], 0xAu | (4u << 16));     // EOB 1010
    EXPECT_EQ(codes[0xF0], 0x7F9u | (11u << 16));  // ZRL 11111111001
}

// ---- Kernels against their scalar twins ---------------------------------------------------

TEST(JpegEncodeKernels, ColourConversionEveryColour) {
    bool avx2 = jpeg_encode_force_kernels(JPEG_ENCODE_AVX2);
    jpeg_encode_force_kernels(JPEG_ENCODE_BEST);
    // All 2^24 colours, 4096 at a time, with random alpha.
    std::vector<u8> rgba(4096 * 4 + 64);
    std::vector<u8> a(3 * 4096 + 64), b(3 * 4096 + 64);
    u32 s = 9;
    for (u32 block = 0; block < 4096; block++) {
        for (u32 i = 0; i < 4096; i++) {
            u32 c = block * 4096 + i;
            rgba[4 * i] = (u8)(c >> 16);
            rgba[4 * i + 1] = (u8)(c >> 8);
            rgba[4 * i + 2] = (u8)c;
            rgba[4 * i + 3] = (u8)lcg(&s);
        }
        jpeg_rgba_to_ycc_scalar(rgba.data(), &a[0], &a[4096], &a[8192], 4096);
        jpeg_rgba_to_ycc_sse2(rgba.data(), &b[0], &b[4096], &b[8192], 4096);
        ASSERT_EQ(memcmp(a.data(), b.data(), 3 * 4096), 0) << "block " << block;
        if (!avx2) continue;
        // An odd count of 8-pixel groups exercises the AVX2 kernel's tail.
        jpeg_rgba_to_ycc_avx2(rgba.data(), &b[0], &b[4096], &b[8192], 4088);
        ASSERT_EQ(memcmp(a.data(), b.data(), 4088), 0) << "block " << block;
        ASSERT_EQ(memcmp(&a[4096], &b[4096], 4088), 0) << "block " << block;
        ASSERT_EQ(memcmp(&a[8192], &b[8192], 4088), 0) << "block " << block;
    }
    // Spot values: white, black, pure red.
    u8 px[32] = {255, 255, 255, 0, 0, 0, 0, 0, 255, 0, 0, 0};
    u8 y[8], cb[8], cr[8];
    jpeg_rgba_to_ycc_scalar(px, y, cb, cr, 3);
    EXPECT_EQ(y[0], 255);
    EXPECT_EQ(cb[0], 128);
    EXPECT_EQ(cr[0], 128);
    EXPECT_EQ(y[1], 0);
    EXPECT_EQ(y[2], 76);
    EXPECT_EQ(cr[2], 255);
    EXPECT_EQ(cb[2], 85);
}

TEST(JpegEncodeKernels, Downsample) {
    std::vector<u8> r0(512 + 64), r1(512 + 64), a(256 + 32), b(256 + 32);
    u32 s = 3;
    for (u32 round = 0; round < 200; round++) {
        for (auto& v : r0) v = (u8)lcg(&s);
        for (auto& v : r1) v = (u8)(round < 100 ? lcg(&s) : 255);
        u32 count = 1 + lcg(&s) % 256;
        jpeg_downsample_scalar(r0.data(), r1.data(), a.data(), count);
        jpeg_downsample_sse2(r0.data(), r1.data(), b.data(), count);
        ASSERT_EQ(memcmp(a.data(), b.data(), count), 0);
        EXPECT_EQ(a[0], (r0[0] + r0[1] + r1[0] + r1[1] + 1) >> 2);
        EXPECT_EQ(a[1], (r0[2] + r0[3] + r1[2] + r1[3] + 2) >> 2);
    }
}

// Sample patterns: random, extremes, checkerboards and stripes that drive
// the transform's intermediates to their limits.
void fill_pattern(std::vector<u8>& p, u64 stride, u32 kind, u32* s) {
    for (u32 r = 0; r < 8; r++) {
        for (u32 c = 0; c < 64; c++) {
            u8 v;
            u32 col = c & 7;
            switch (kind % 7) {
                case 0: v = (u8)lcg(s); break;
                case 1: v = 0; break;
                case 2: v = 255; break;
                case 3: v = ((r + col) & 1) ? 255 : 0; break;
                case 4: v = (col < 4) ^ (r < 4) ? 255 : 0; break;
                case 5: v = (u8)((((r >> 1) + (col >> 1)) & 1) ? 255 : 0); break;
                default: v = (u8)(((c / 8) & 1) ? lcg(s) : (r * 37 + col * 11)); break;
            }
            p[r * stride + c] = v;
        }
    }
}

TEST(JpegEncodeKernels, ForwardTransformMatchesScalarAndTheTrueDct) {
    bool avx2 = jpeg_encode_force_kernels(JPEG_ENCODE_AVX2);
    jpeg_encode_force_kernels(JPEG_ENCODE_BEST);
    const u64 stride = 80;
    std::vector<u8> samples(8 * stride);
    u32 s = 11;
    for (u32 quality : {1u, 50u, 75u, 100u}) {
        u8 table[64];
        jpeg_quant_table(quality, quality & 1, table);
        JpegQuantDivisors q;
        jpeg_quant_divisors(table, &q);
        for (u32 round = 0; round < 700; round++) {
            fill_pattern(samples, stride, round, &s);
            i16 a[512], b[512];
            u64 ma[8], mb[8];
            jpeg_fdct_scalar(samples.data(), stride, &q, a, ma);
            jpeg_fdct_sse2(samples.data(), stride, &q, b, mb);
            ASSERT_EQ(memcmp(a, b, sizeof a), 0) << "pattern " << round % 7 << " quality " << quality;
            ASSERT_EQ(memcmp(ma, mb, sizeof ma), 0);
            if (avx2) {
                jpeg_fdct_avx2(samples.data(), stride, &q, b, mb);
                ASSERT_EQ(memcmp(a, b, sizeof a), 0) << "AVX2, pattern " << round % 7 << " quality " << quality;
                ASSERT_EQ(memcmp(ma, mb, sizeof ma), 0);
            }
            for (u32 blk = 0; blk < 8; blk++) {
                u64 m = 0;
                for (u32 k = 0; k < 64; k++) m |= (u64)(a[64 * blk + k] != 0) << k;
                ASSERT_EQ(m, ma[blk]);
            }
            if (quality != 100 || round % 7 != 0) continue;
            // Quality 100 divides by 8 only: compare with the exact DCT.
            for (u32 blk = 0; blk < 8; blk++) {
                for (u32 k = 0; k < 64; k++) {
                    u32 n = jpeg_zigzag[k], v = n / 8, u = n % 8;
                    double sum = 0;
                    for (u32 y = 0; y < 8; y++) {
                        for (u32 x = 0; x < 8; x++) {
                            sum += (samples[y * stride + 8 * blk + x] - 128.0) * std::cos((2 * x + 1) * u * k_pi / 16) *
                                   std::cos((2 * y + 1) * v * k_pi / 16);
                        }
                    }
                    sum *= (u ? 0.5 : std::sqrt(0.125)) * (v ? 0.5 : std::sqrt(0.125));
                    ASSERT_NEAR(a[64 * blk + k], sum, 1.01) << "coefficient " << n;
                }
            }
        }
    }
}

// The whole encoder gives the same file with every kernel variant.
TEST(JpegEncodeKernels, EveryVariantWritesTheSameFile) {
    RgbaImage img = make_image(203, 77, 1, 12);
    for (u32 mode = 0; mode < 4; mode++) {
        ASSERT_TRUE(jpeg_encode_force_kernels(JPEG_ENCODE_SCALAR));
        OurEncode a = our_encode(img, 70, mode & 1, mode >> 1);
        for (u32 variant : {JPEG_ENCODE_SSE2, JPEG_ENCODE_AVX2}) {
            if (!jpeg_encode_force_kernels(variant)) continue;
            OurEncode b = our_encode(img, 70, mode & 1, mode >> 1);
            ASSERT_TRUE(a.ok && b.ok);
            EXPECT_EQ(a.file, b.file) << "variant " << variant;
        }
    }
    EXPECT_FALSE(jpeg_encode_force_kernels(4));
    ASSERT_TRUE(jpeg_encode_force_kernels(JPEG_ENCODE_BEST));
}

}  // namespace
