// Hand-made lossless streams for the decoder's edge cases: single-symbol
// codes that take no bits, a transform declared twice, colour cache sizes,
// palette packing, back-references at the first pixel and from the row
// above, truncation anywhere, unused Huffman groups given back to the pool
// and the pool's limit, and the order of the stages.
#include <gtest/gtest.h>

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#endif

#include "codec/webp/vp8l.h"
#include "tests/codec/webp/webp_support.h"

using namespace webp_test;

namespace {

// A canonical prefix code from its lengths, written most significant code
// bit first, as the format packs codes.
struct Code {
    std::vector<u8> lengths;
    std::vector<u32> codes;
    explicit Code(std::vector<u8> l) : lengths(std::move(l)), codes(lengths.size()) {
        u32 next = 0;
        for (u32 len = 1; len <= 15; len++) {
            for (size_t s = 0; s < lengths.size(); s++) {
                if (lengths[s] == len) codes[s] = next++;
            }
            next <<= 1;
        }
    }
    void put(BitWriter* b, u32 symbol) const {
        for (u32 i = lengths[symbol]; i-- > 0;) b->put((codes[symbol] >> i) & 1, 1);
    }
};

void put_simple(BitWriter* b, u32 s0) {
    b->put(1, 1);
    b->put(0, 1);
    b->put(1, 1);
    b->put(s0, 8);
}

void put_simple2(BitWriter* b, u32 s0, u32 s1) {
    b->put(1, 1);
    b->put(1, 1);
    b->put(1, 1);
    b->put(s0, 8);
    b->put(s1, 8);
}

// A normal code: every code length written with a 4-bit code-length code.
void put_normal(BitWriter* b, const std::vector<u8>& lengths) {
    b->put(0, 1);
    b->put(15, 4);  // 19 code-length code lengths
    static const u8 order[19] = {17, 18, 0, 1, 2, 3, 4, 5, 16, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    for (u8 sym : order) b->put(sym < 16 ? 4 : 0, 3);
    b->put(0, 1);  // no maximum symbol count
    Code cl(std::vector<u8>(16, 4));
    for (u8 len : lengths) cl.put(b, len);
}

// The four single-symbol codes of a colour and the distance code.
void put_group_color(BitWriter* b, u32 argb) {
    put_simple(b, (argb >> 8) & 0xFF);
    put_simple(b, (argb >> 16) & 0xFF);
    put_simple(b, argb & 0xFF);
    put_simple(b, argb >> 24);
    put_simple(b, 0);
}

std::vector<u8> file_of(u32 w, u32 h, const BitWriter& b) {
    return riff({chunk("VP8L", vp8l_payload(w, h, true, b.bytes))});
}

u32 px(const Decoded& d, u32 x, u32 y) {
    const u8* p = &d.rgba[((size_t)y * d.width + x) * 4];
    return ((u32)p[3] << 24) | ((u32)p[0] << 16) | ((u32)p[1] << 8) | p[2];
}

constexpr u64 PAYLOAD = 20;  // payload offset of a simple-layout file

}  // namespace

TEST(WebpStream, OnePixelOfSingleSymbolCodes) {
    BitWriter b;
    b.put(0, 3);  // no transform, no cache, no meta codes
    put_group_color(&b, 0x80112233u);
    Decoded d = decode_whole(file_of(1, 1, b));
    ASSERT_TRUE(d.ok) << d.err.code << " at " << d.err.offset;
    EXPECT_EQ(px(d, 0, 0), 0x80112233u);
    // No pixel takes a bit: a large image decodes from the same bytes.
    d = decode_whole(file_of(1000, 700, b));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(px(d, 999, 699), 0x80112233u);
}

TEST(WebpStream, TransformDeclaredTwice) {
    BitWriter b;
    b.put(1, 1);
    b.put(0, 2);  // predictor
    b.put(7, 3);  // 512-pixel blocks: a 1 x 1 sub-image
    b.put(0, 1);  // sub-image without cache
    put_group_color(&b, 0x00000100u);
    b.put(1, 1);
    b.put(0, 2);  // predictor again
    b.put(0, 64);
    Decoded d = decode_whole(file_of(4, 4, b));
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.err.code, (u32)ERR_BAD_HEADER);
    u32 bits = 1 + 2 + 3 + 1 + 5 * 11 + 1 + 2;
    EXPECT_EQ(d.err.offset, PAYLOAD + 5 + (bits + 7) / 8);
}

TEST(WebpStream, ColorCacheSizes) {
    // 12 bits are refused.
    BitWriter bad;
    bad.put(0, 1);
    bad.put(1, 1);
    bad.put(12, 4);
    bad.put(0, 64);
    Decoded d = decode_whole(file_of(2, 1, bad));
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.err.code, (u32)ERR_BAD_HEADER);
    EXPECT_EQ(d.err.offset, PAYLOAD + 5 + 1);
    // 11 bits: a literal, then the cache entry it went to.
    const u32 color = 0xFF406080u;
    u32 index = (color * 0x1E35A7BDu) >> (32 - 11);
    BitWriter b;
    b.put(0, 1);
    b.put(1, 1);
    b.put(11, 4);
    b.put(0, 1);  // no meta codes
    std::vector<u8> green(256 + 24 + 2048, 0);
    green[0x60] = 1;
    green[280 + index] = 1;
    put_normal(&b, green);
    put_simple(&b, 0x40);
    put_simple(&b, 0x80);
    put_simple(&b, 0xFF);
    put_simple(&b, 0);
    Code g(green);
    g.put(&b, 0x60);
    g.put(&b, 280 + index);
    g.put(&b, 280 + index);
    d = decode_whole(file_of(3, 1, b));
    ASSERT_TRUE(d.ok) << d.err.code << " at " << d.err.offset;
    for (u32 x = 0; x < 3; x++) EXPECT_EQ(px(d, x, 0), color);
}

// The entropy sub-image has a colour cache of its own, in the same memory as
// the main image's: the main image's cache must start empty all the same, so
// a cache code at its first pixel reads zero, not what the sub-image left.
TEST(WebpStream, MainCacheStartsEmptyAfterTheEntropyImage) {
    const u32 leftover = 0xFF0000ABu;  // red and green 0: group index 0
    const u32 slot = (leftover * 0x1E35A7BDu) >> 31;
    BitWriter b;
    b.put(0, 1);  // no transform
    b.put(1, 1);
    b.put(1, 4);  // main cache of 2 entries
    b.put(1, 1);  // meta codes
    b.put(0, 3);  // 4-pixel blocks: a 2 x 1 entropy image for 5 x 1
    b.put(1, 1);
    b.put(1, 4);  // the entropy image's own cache of 2 entries
    std::vector<u8> sub_green(256 + 24 + 2, 0);
    sub_green[0] = 1;
    sub_green[280 + slot] = 1;
    put_normal(&b, sub_green);
    put_simple(&b, 0);
    put_simple(&b, leftover & 0xFF);
    put_simple(&b, leftover >> 24);
    put_simple(&b, 0);
    Code sg(sub_green);
    sg.put(&b, 0);            // a literal: the leftover colour
    sg.put(&b, 280 + slot);   // a cache code: the literal goes into the cache
    // The main image's single group.
    std::vector<u8> green(256 + 24 + 2, 0);
    green[0x60] = 1;
    green[280 + slot] = 1;
    put_normal(&b, green);
    put_simple(&b, 0x40);
    put_simple(&b, 0x80);
    put_simple(&b, 0xFF);
    put_simple(&b, 0);
    Code g(green);
    g.put(&b, 280 + slot);
    for (u32 x = 1; x < 5; x++) g.put(&b, 0x60);
    Decoded d = decode_whole(file_of(5, 1, b));
    ASSERT_TRUE(d.ok) << d.err.code << " at " << d.err.offset;
    EXPECT_EQ(px(d, 0, 0), 0u);
    for (u32 x = 1; x < 5; x++) EXPECT_EQ(px(d, x, 0), 0xFF406080u);
}

TEST(WebpStream, TwoColourPaletteOf17Pixels) {
    // 17 pixels at 8 a byte: a working width of 3.
    BitWriter b;
    b.put(1, 1);
    b.put(3, 2);  // colour indexing
    b.put(1, 8);  // 2 colours
    // The palette image: no cache, two symbols in each of green, red, blue
    // and alpha (1-bit codes, the smaller value coded 0). Entry 0 is
    // 0xFF100020, entry 1 a delta of 0x00011102 on it.
    b.put(0, 1);
    put_simple2(&b, 0x00, 0x11);
    put_simple2(&b, 0x10, 0x01);
    put_simple2(&b, 0x20, 0x02);
    put_simple2(&b, 0xFF, 0x00);
    put_simple(&b, 0);
    for (u32 bit : {0, 1, 1, 1, 1, 0, 0, 0}) b.put(bit, 1);
    b.put(0, 1);  // no more transforms
    b.put(0, 2);  // no cache, no meta codes
    put_simple2(&b, 0xA5, 0x01);  // packed indices: 0x01 coded 0, 0xA5 coded 1
    put_simple(&b, 0);
    put_simple(&b, 0);
    put_simple(&b, 0);
    put_simple(&b, 0);
    b.put(1, 1);  // pixels 0-7: 0xA5 = 1,0,1,0,0,1,0,1 from the lowest bit
    b.put(1, 1);  // pixels 8-15 the same
    b.put(0, 1);  // pixel 16: 1
    Decoded d = decode_whole(file_of(17, 1, b));
    ASSERT_TRUE(d.ok) << d.err.code << " at " << d.err.offset;
    const u32 p0 = 0xFF100020u, p1 = 0xFF111122u;
    const u32 bits[17] = {1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0, 0, 1, 0, 1, 1};
    for (u32 x = 0; x < 17; x++) EXPECT_EQ(px(d, x, 0), bits[x] ? p1 : p0) << x;
}

// Green: literal 0x10 and 0x20, and length prefix 0 (a copy of 1 pixel).
static const std::vector<u8> kCopyGreen = [] {
    std::vector<u8> g(280, 0);
    g[0x10] = 2;
    g[0x20] = 2;
    g[256] = 1;
    return g;
}();

static void copy_stream_header(BitWriter* b) {
    b->put(0, 3);
    put_normal(b, kCopyGreen);
    put_simple(b, 0);
    put_simple(b, 0);
    put_simple(b, 0xFF);
    put_simple(b, 0);  // distance prefix 0: code 1, the pixel above
}

TEST(WebpStream, BackReferences) {
    Code g(kCopyGreen);
    // At the first pixel nothing lies behind.
    BitWriter first;
    copy_stream_header(&first);
    g.put(&first, 256);
    first.put(0, 32);
    Decoded d = decode_whole(file_of(2, 2, first));
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.err.code, (u32)ERR_BAD_HEADER);
    // Distance code 1 at (0, 1) copies the pixel straight above.
    BitWriter b;
    copy_stream_header(&b);
    g.put(&b, 0x10);
    g.put(&b, 0x20);
    g.put(&b, 256);
    g.put(&b, 0x20);
    d = decode_whole(file_of(2, 2, b));
    ASSERT_TRUE(d.ok) << d.err.code << " at " << d.err.offset;
    EXPECT_EQ(px(d, 0, 1), 0xFF001000u);
    EXPECT_EQ(px(d, 1, 1), 0xFF002000u);
    // In a 1-pixel-wide image every neighbour code reaches at least 1 back.
    BitWriter narrow;
    narrow.put(0, 3);
    put_normal(&narrow, kCopyGreen);
    put_simple(&narrow, 0);
    put_simple(&narrow, 0);
    put_simple(&narrow, 0xFF);
    put_simple(&narrow, 3);  // distance code 4: one column right, one up
    g.put(&narrow, 0x20);
    g.put(&narrow, 256);
    d = decode_whole(file_of(1, 2, narrow));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(px(d, 0, 1), 0xFF002000u);
}

// Every cut inside the stream is "truncated" at the payload's end.
TEST(WebpStream, TruncationAnywhere) {
    Code g(kCopyGreen);
    BitWriter b;
    copy_stream_header(&b);
    u32 state = 1;
    for (u32 i = 0; i < 64 * 64; i++) {
        state = state * 1103515245u + 12345u;
        u32 pick = i < 64 ? (state >> 16) & 1 : (state >> 16) % 3;
        g.put(&b, pick == 0 ? 0x10 : pick == 1 ? 0x20 : 256);
    }
    std::vector<u8> full = b.bytes;
    Decoded whole = decode_whole(file_of(64, 64, b));
    ASSERT_TRUE(whole.ok) << whole.err.code << " at " << whole.err.offset;
    for (size_t keep = 0; keep < full.size(); keep += (keep < 200 ? 1 : 97)) {
        BitWriter cut;
        cut.bytes.assign(full.begin(), full.begin() + keep);
        Decoded d = decode_whole(file_of(64, 64, cut));
        ASSERT_FALSE(d.ok) << keep;
        EXPECT_EQ(d.err.code, (u32)ERR_TRUNCATED) << keep;
        EXPECT_EQ(d.err.offset, PAYLOAD + 5 + keep) << keep;
    }
}

// Groups 0 and 100 are used: the 99 between are read and given back, so a
// pool tied to the payload size is enough; seven used groups of single-symbol codes exceed it.
TEST(WebpStream, HuffmanGroupsAndThePoolLimit) {
    BitWriter b;
    b.put(0, 2);  // no transform, no cache
    b.put(1, 1);
    b.put(0, 3);  // meta codes on 4 x 4 blocks: an entropy image of 2 x 1
    b.put(0, 1);
    put_simple2(&b, 0, 100);
    put_simple(&b, 0);
    put_simple(&b, 0);
    put_simple(&b, 0);
    put_simple(&b, 0);
    b.put(0, 1);
    b.put(1, 1);
    for (u32 g = 0; g <= 100; g++) put_group_color(&b, g == 0 ? 0xFF0000FFu : g == 100 ? 0xFFFF0000u : 0xFF00FF00u);
    Decoded d = decode_whole(file_of(8, 4, b));
    ASSERT_TRUE(d.ok) << d.err.code << " at " << d.err.offset;
    EXPECT_EQ(px(d, 3, 3), 0xFF0000FFu);
    EXPECT_EQ(px(d, 4, 0), 0xFFFF0000u);
    // Kept, the tables of all 101 groups (256 entries a code) would not fit.
    Vp8lLayout l;
    vp8l_layout(8, 4, b.bytes.size() + 5, &l);
    EXPECT_LT(l.pool_entries, 101u * 5 * 256);

    BitWriter many;
    many.put(0, 2);
    many.put(1, 1);
    many.put(0, 3);
    many.put(0, 1);
    std::vector<u8> green(280, 0);
    const u8 lens[7] = {2, 2, 3, 3, 3, 4, 4};
    for (u32 k = 0; k < 7; k++) green[k] = lens[k];
    put_normal(&many, green);
    put_simple(&many, 0);
    put_simple(&many, 0);
    put_simple(&many, 0);
    put_simple(&many, 0);
    Code g(green);
    for (u32 k = 0; k < 7; k++) g.put(&many, k);
    for (u32 k = 0; k < 7; k++) put_group_color(&many, 0xFF000000u | k);
    d = decode_whole(file_of(28, 4, many));
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.err.code, (u32)ERR_LIMIT);
    EXPECT_GT(d.err.offset, PAYLOAD + 5);
    EXPECT_LE(d.err.offset, PAYLOAD + 5 + many.bytes.size());
}

TEST(WebpStream, StageOrderAndBands) {
    BitWriter b;
    b.put(0, 3);
    put_group_color(&b, 0xFF123456u);
    std::vector<u8> f = file_of(40, 100, b);
    ImageInfo info;
    CodecError err;
    ASSERT_TRUE(webp_probe(f.data(), f.size(), &info, &err));
    Aligned scratch(info.scratch_bytes);
    Aligned out(160 * 100);
    PixelBuffer target = {out.data, 160, 40, 100};
    WebpRequest whole = {0, 0, 0, 0, 0};
    auto stage = [&](u32 s, u32 band) {
        return vp8l_decode_stage(f.data(), f.size(), &whole, &target, scratch.data, info.scratch_bytes, s, band,
                                 &err);
    };
    vp8l_reset(scratch.data, info.scratch_bytes);
    EXPECT_FALSE(stage(1, 0));
    EXPECT_EQ(err.code, (u32)ERR_BAD_TARGET);
    ASSERT_TRUE(stage(0, 0));
    EXPECT_FALSE(stage(2, 0));  // before stage 1
    EXPECT_EQ(err.code, (u32)ERR_BAD_TARGET);
    EXPECT_FALSE(stage(0, 1));
    ASSERT_TRUE(stage(1, 0));
    // 100 rows: band 0 writes rows 0 to 63, band 1 rows 64 to 99.
    ASSERT_TRUE(stage(2, 0));
    EXPECT_EQ(out.data[63 * 160], 0x12);
    EXPECT_EQ(out.data[64 * 160], 0xA5);
    ASSERT_TRUE(stage(2, 1));
    EXPECT_EQ(out.data[99 * 160 + 156], 0x12);
    EXPECT_EQ(out.data[99 * 160 + 159], 0xFF);
    EXPECT_FALSE(stage(2, 2));
    EXPECT_EQ(err.code, (u32)ERR_BAD_TARGET);
    // Stage 0 again starts over: stage 2 waits for stage 1 again.
    ASSERT_TRUE(stage(0, 0));
    EXPECT_FALSE(stage(2, 0));
    ASSERT_TRUE(stage(1, 0));
    ASSERT_TRUE(stage(2, 1));
    // Target and scratch faults.
    PixelBuffer odd = {out.data + 4, 160, 40, 100};
    EXPECT_FALSE(vp8l_decode_stage(f.data(), f.size(), &whole, &odd, scratch.data, info.scratch_bytes, 2, 0, &err));
    PixelBuffer narrow = {out.data, 144, 40, 100};
    EXPECT_FALSE(vp8l_decode_stage(f.data(), f.size(), &whole, &narrow, scratch.data, info.scratch_bytes, 2, 0, &err));
    PixelBuffer short_target = {out.data, 160, 40, 99};
    EXPECT_FALSE(
        vp8l_decode_stage(f.data(), f.size(), &whole, &short_target, scratch.data, info.scratch_bytes, 2, 0, &err));
    EXPECT_FALSE(vp8l_decode_stage(f.data(), f.size(), &whole, &target, scratch.data, info.scratch_bytes - 1, 0, 0,
                                   &err));
    EXPECT_EQ(err.code, (u32)ERR_BAD_TARGET);
}

TEST(WebpStream, ScratchLayout) {
    // 384 bytes of record, then every piece on a 64-byte boundary, then 64.
    u64 w = 100, h = 50;
    u64 blocks = 25 * 13;
    auto a = [](u64 entries) { return align64(4 * entries); };
    u64 expect = 384 + a(w * h + 32) + 3 * a(blocks + 16) + a(272) + a(w + 16) + a(2048) + a(5 * blocks) + a(2048) +
                 a(1024) + a(32000) + 64;
    EXPECT_EQ(vp8l_scratch_bytes(100, 50, 1000), expect);
    // The pool: 8192 entries up to 255 bytes, 32 a byte, at most 2^24.
    Vp8lLayout l;
    vp8l_layout(1, 1, 255, &l);
    EXPECT_EQ(l.pool_entries, 8192u);
    vp8l_layout(1, 1, 256, &l);
    EXPECT_EQ(l.pool_entries, 8192u);
    vp8l_layout(1, 1, 300, &l);
    EXPECT_EQ(l.pool_entries, 9600u);
    vp8l_layout(1, 1, 1u << 20, &l);
    EXPECT_EQ(l.pool_entries, 16777216u);
}
