// The GIF block structure and LZW, on files built byte by byte: header and
// descriptor checks with their codes and offsets, extension rules (graphic
// control, loop blocks, everything else skipped), the whole-file maxima that
// size the workspace, the frame limit, and code streams no encoder writes.
#include <gtest/gtest.h>

#include <random>

#include "codec/probe.h"
#include "gif_support.h"

using namespace giftest;

static CodecError read_error(const Bytes& f, GifInfo* info_out = nullptr) {
    ImageHeader header;
    GifInfo info;
    CodecError err;
    bool ok = gif_read_header(f.data(), f.size(), &header, &info, &err);
    if (info_out) *info_out = info;
    EXPECT_EQ(ok, err.code == ERR_OK);
    return err;
}

#define EXPECT_ERR(e, c, o)        \
    do {                           \
        CodecError e_ = (e);       \
        EXPECT_EQ(e_.code, (u32)(c)); \
        EXPECT_EQ(e_.offset, (u64)(o)); \
    } while (0)

// A one-frame file: w x h pixels of index i % 4, global table of 4.
static Bytes simple_file(u32 w = 3, u32 h = 2) {
    Bytes f = gif_header(w, h, 4);
    Bytes idx(w * h);
    for (u32 i = 0; i < w * h; i++) idx[i] = (u8)(i % 4);
    put_image(f, 0, 0, w, h, lzw_literals(idx, 2), 2);
    f.push_back(0x3B);
    return f;
}

// ---- Header and blocks ------------------------------------------------------------

TEST(GifHeader, SignatureVersionAndScreen) {
    Bytes gif89 = {'G', 'I', 'F', '8', '9'};
    EXPECT_ERR(read_error(gif89), ERR_TRUNCATED, 5);
    EXPECT_ERR(read_error(Bytes{'G', 'I'}), ERR_TRUNCATED, 2);
    EXPECT_ERR(read_error(Bytes{'G', 'I', 'X', '8', '9', 'a'}), ERR_BAD_SIGNATURE, 0);
    Bytes v88 = gif_header(1, 1, 0);
    v88[4] = '8';
    ASSERT_EQ(v88.size(), 13u);
    EXPECT_ERR(read_error(v88), ERR_BAD_HEADER, 3);
    Bytes w0 = simple_file();
    w0[6] = w0[7] = 0;
    EXPECT_ERR(read_error(w0), ERR_BAD_HEADER, 6);
    Bytes h0 = simple_file();
    h0[8] = h0[9] = 0;
    EXPECT_ERR(read_error(h0), ERR_BAD_HEADER, 8);
    Bytes gct = gif_header(1, 1, 256);
    gct.resize(13 + 3 * 256 - 1);
    EXPECT_ERR(read_error(gct), ERR_TRUNCATED, gct.size());
}

TEST(GifHeader, FieldsOfAPlainFile) {
    Bytes f = gif_header(7, 5, 16, false, 5);
    Bytes idx(6 * 4, 3);
    put_image(f, 1, 1, 6, 4, lzw_literals(idx, 4), 4);
    f.push_back(0x3B);
    ImageHeader header;
    GifInfo info;
    CodecError err;
    ASSERT_TRUE(gif_read_header(f.data(), f.size(), &header, &info, &err));
    EXPECT_EQ(info.width, 7u);
    EXPECT_EQ(info.height, 5u);
    EXPECT_EQ(info.frame_count, 1u);
    EXPECT_EQ(info.gct_offset, 13u);
    EXPECT_EQ(info.gct_entries, 16u);
    EXPECT_EQ(info.first_block, 13u + 48);
    EXPECT_EQ(info.max_frame_pixels, 24u);
    EXPECT_EQ(info.max_restore_pixels, 0u);
    // The first frame does not cover the screen.
    EXPECT_EQ(info.flags, (u32)GIF_FLAG_TRANSPARENT);
    EXPECT_EQ(header.sample_bits, 5u);
    EXPECT_EQ(header.width, 7u);
    EXPECT_EQ(header.frame_count, 1u);
    EXPECT_EQ(header.pixel_format, (u32)Rgba8Straight);
    EXPECT_EQ(info.workspace_bytes, 256u + 0 + 64 + align64(info.max_data_bytes) + 64);
}

TEST(GifHeader, BlockErrors) {
    Bytes no_frame = gif_header(2, 2, 2);
    no_frame.push_back(0x3B);
    EXPECT_ERR(read_error(no_frame), ERR_BAD_HEADER, 19);

    Bytes no_trailer = simple_file();
    no_trailer.pop_back();
    EXPECT_ERR(read_error(no_trailer), ERR_TRUNCATED, no_trailer.size());

    Bytes stray = gif_header(2, 2, 2);
    stray.push_back(0x00);
    EXPECT_ERR(read_error(stray), ERR_BAD_HEADER, 19);

    Bytes ext = gif_header(2, 2, 2);
    ext.push_back(0x21);
    EXPECT_ERR(read_error(ext), ERR_TRUNCATED, ext.size());

    Bytes gce_short = gif_header(2, 2, 2);
    gce_short.insert(gce_short.end(), {0x21, 0xF9, 4, 0, 0, 0, 0});
    EXPECT_ERR(read_error(gce_short), ERR_TRUNCATED, gce_short.size());

    Bytes gce_size = gif_header(2, 2, 2);
    gce_size.insert(gce_size.end(), {0x21, 0xF9, 5, 0, 0, 0, 0, 0, 0, 0x3B});
    EXPECT_ERR(read_error(gce_size), ERR_BAD_HEADER, 21);

    Bytes chain = gif_header(2, 2, 2);
    chain.insert(chain.end(), {0x21, 0xFE, 5, 'a', 'b'});
    EXPECT_ERR(read_error(chain), ERR_TRUNCATED, chain.size());
}

TEST(GifHeader, DescriptorErrors) {
    u64 start = 13 + 12;  // after a 4-entry global table
    Bytes w0 = simple_file();
    w0[start + 5] = w0[start + 6] = 0;
    EXPECT_ERR(read_error(w0), ERR_BAD_HEADER, start + 5);
    Bytes h0 = simple_file();
    h0[start + 7] = h0[start + 8] = 0;
    EXPECT_ERR(read_error(h0), ERR_BAD_HEADER, start + 7);
    Bytes cut = simple_file();
    cut.resize(start + 9);
    EXPECT_ERR(read_error(cut), ERR_TRUNCATED, cut.size());
    Bytes no_size = simple_file();
    no_size.resize(start + 10);
    EXPECT_ERR(read_error(no_size), ERR_TRUNCATED, no_size.size());
    Bytes lct_cut = gif_header(2, 2, 0);
    lct_cut.insert(lct_cut.end(), {0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0x87, 1, 2, 3});
    EXPECT_ERR(read_error(lct_cut), ERR_TRUNCATED, lct_cut.size());
    Bytes data_cut = simple_file();
    data_cut.resize(data_cut.size() - 3);
    EXPECT_ERR(read_error(data_cut), ERR_TRUNCATED, data_cut.size());

    for (u32 size : {1u, 9u, 12u}) {
        Bytes f = simple_file();
        f[start + 10] = (u8)size;
        EXPECT_ERR(read_error(f), ERR_BAD_HEADER, start + 10);
    }
    // 2 and 8 are accepted and decode.
    for (u32 size : {2u, 8u}) {
        Bytes f = gif_header(5, 3, 4);
        Bytes idx(15);
        for (u32 i = 0; i < 15; i++) idx[i] = (u8)(i % 4);
        put_image(f, 0, 0, 5, 3, lzw_literals(idx, size), size);
        f.push_back(0x3B);
        Decoded d = decode_all(f);
        ASSERT_TRUE(d.ok) << size;
        EXPECT_EQ(d.frames[0][4], 0xFF000000u | (13u * 0 + 5) << 16 | (255u << 8) | 0) << "index 0";
    }
}

TEST(GifHeader, PlausibilityLimit) {
    // 10921 pixels in one data byte cannot be: truncated at the last data byte.
    Bytes over = gif_header(1, 1, 2);
    put_image(over, 0, 0, 10921, 1, Bytes{0x04}, 2);
    over.push_back(0x3B);
    u64 data_end = over.size() - 1;
    EXPECT_ERR(read_error(over), ERR_TRUNCATED, data_end - 1);
    // 10920 pass the scan, then fail in decoding: the one byte holds two codes.
    Bytes limit = gif_header(1, 1, 2);
    put_image(limit, 0, 0, 10920, 1, Bytes{0x04}, 2);
    limit.push_back(0x3B);
    GifInfo info;
    EXPECT_ERR(read_error(limit, &info), ERR_OK, 0);
    EXPECT_EQ(info.max_frame_pixels, 10920u);
    Decoded d = decode_all(limit);
    EXPECT_FALSE(d.ok);
    EXPECT_ERR(d.err, ERR_TRUNCATED, data_end - 1);
}

TEST(GifHeader, LoopExtensions) {
    auto loop_info = [](const Bytes& f) {
        GifInfo info;
        EXPECT_EQ(read_error(f, &info).code, ERR_OK);
        return info;
    };
    auto with_blocks = [](auto add) {
        Bytes f = gif_header(1, 1, 2);
        add(f);
        put_image(f, 0, 0, 1, 1, lzw_literals(Bytes{1}, 2), 2);
        f.push_back(0x3B);
        return f;
    };
    GifInfo none = loop_info(with_blocks([](Bytes&) {}));
    EXPECT_EQ(none.loop_present, 0u);
    GifInfo two = loop_info(with_blocks([](Bytes& f) {
        put_loop(f, 3);
        put_loop(f, 5);
    }));
    EXPECT_EQ(two.loop_present, 1u);
    EXPECT_EQ(two.loop_count, 5u);
    GifInfo anim = loop_info(with_blocks([](Bytes& f) { put_loop(f, 7, "ANIMEXTS1.0"); }));
    EXPECT_EQ(anim.loop_count, 7u);
    EXPECT_EQ(anim.loop_present, 1u);
    GifInfo sub2 = loop_info(with_blocks([](Bytes& f) { put_loop(f, 9, "NETSCAPE2.0", 2); }));
    EXPECT_EQ(sub2.loop_present, 0u);
    GifInfo other = loop_info(with_blocks([](Bytes& f) { put_loop(f, 9, "XMP DataXMP"); }));
    EXPECT_EQ(other.loop_present, 0u);
    // A loop block after the last frame still counts.
    Bytes late = with_blocks([](Bytes&) {});
    late.pop_back();
    put_loop(late, 4);
    late.push_back(0x3B);
    EXPECT_EQ(loop_info(late).loop_count, 4u);

    // The probe's play count: none 1, stored 0 forever, stored n gives n + 1.
    ImageInfo image;
    CodecError err;
    Bytes f0 = with_blocks([](Bytes& f) { put_loop(f, 0); });
    ASSERT_TRUE(probe_image(f0.data(), f0.size(), &image, &err));
    EXPECT_EQ(image.play_count, 0u);
    Bytes f1 = with_blocks([](Bytes&) {});
    ASSERT_TRUE(probe_image(f1.data(), f1.size(), &image, &err));
    EXPECT_EQ(image.play_count, 1u);
    Bytes f5 = with_blocks([](Bytes& f) { put_loop(f, 5); });
    ASSERT_TRUE(probe_image(f5.data(), f5.size(), &image, &err));
    EXPECT_EQ(image.play_count, 6u);
    EXPECT_EQ(image.decoder, (u32)DECODER_GIF);
    EXPECT_EQ(image.frame_count, 1u);
    EXPECT_EQ(image.pixel_bytes, row_stride(1) * 1 + 32);
    EXPECT_EQ(image.extra_bytes, 0u);
    EXPECT_EQ(image.preview_level, 0u);
}

TEST(GifHeader, GraphicControlReachesTheNextImageOnly) {
    Bytes f = gif_header(2, 1, 2);
    put_gce(f, 2, 40, 1);
    put_comment(f, "between");
    f.insert(f.end(), {0x21, 0x01, 0});  // a plain text extension with no data
    put_image(f, 0, 0, 2, 1, lzw_literals(Bytes{0, 1}, 2), 2);
    put_image(f, 0, 0, 2, 1, lzw_literals(Bytes{1, 0}, 2), 2);
    f.push_back(0x3B);
    GifInfo info;
    ASSERT_EQ(read_error(f, &info).code, ERR_OK);
    CodecError err;
    GifFrame a, b;
    ASSERT_TRUE(gif_frame_info(f.data(), f.size(), &info, 0, &a, &err));
    ASSERT_TRUE(gif_frame_info(f.data(), f.size(), &info, 1, &b, &err));
    EXPECT_EQ(a.delay, 40u);
    EXPECT_EQ(a.disposal, 2u);
    EXPECT_EQ(a.transparent, 1);
    EXPECT_EQ(b.delay, 0u);
    EXPECT_EQ(b.disposal, 0u);
    EXPECT_EQ(b.transparent, (i32)GIF_NO_TRANSPARENT);
    EXPECT_FALSE(gif_frame_info(f.data(), f.size(), &info, 2, &b, &err));
    EXPECT_ERR(err, ERR_BAD_TARGET, 0);
    EXPECT_EQ(info.flags, (u32)(GIF_FLAG_TRANSPARENT | GIF_FLAG_ANIMATED));
    // With a file that lost its second frame, the trailer is met first.
    GifInfo stale = info;
    stale.frame_count = 3;
    EXPECT_FALSE(gif_frame_info(f.data(), f.size(), &stale, 2, &b, &err));
    EXPECT_ERR(err, ERR_BAD_HEADER, f.size() - 1);
}

TEST(GifHeader, MaximaAndTransparencyFlag) {
    // Frame 0 covers the screen with no transparency: opaque. Frame 1 with
    // disposal 3 hangs off the right edge: its clipped area is the maximum.
    Bytes f = gif_header(10, 8, 4);
    put_image(f, 0, 0, 10, 8, lzw_literals(Bytes(80, 1), 2), 2);
    put_gce(f, 3, 0, -1);
    put_image(f, 7, 2, 9, 3, lzw_literals(Bytes(27, 2), 2), 2);
    put_image(f, 0, 0, 2, 2, lzw_literals(Bytes(4, 3), 2), 2);
    f.push_back(0x3B);
    GifInfo info;
    ASSERT_EQ(read_error(f, &info).code, ERR_OK);
    EXPECT_EQ(info.frame_count, 3u);
    EXPECT_EQ(info.max_frame_pixels, 80u);
    EXPECT_EQ(info.max_restore_pixels, 9u);
    EXPECT_EQ(info.flags, (u32)GIF_FLAG_ANIMATED);
    EXPECT_EQ(info.workspace_bytes, 256 + align64(36) + align64(80) + align64(info.max_data_bytes) + 64);

    auto flags_of = [](u32 disposal, i32 transparent, u32 x) {
        Bytes g = gif_header(4, 4, 4);
        put_gce(g, disposal, 0, transparent);
        put_image(g, x, 0, 4, 4, lzw_literals(Bytes(16, 0), 2), 2);
        g.push_back(0x3B);
        GifInfo i;
        EXPECT_EQ(read_error(g, &i).code, ERR_OK);
        return i.flags;
    };
    EXPECT_EQ(flags_of(0, -1, 0), 0u);
    EXPECT_EQ(flags_of(1, -1, 0), 0u);
    EXPECT_EQ(flags_of(2, -1, 0), (u32)GIF_FLAG_TRANSPARENT);
    EXPECT_EQ(flags_of(3, -1, 0), (u32)GIF_FLAG_TRANSPARENT);
    EXPECT_EQ(flags_of(0, 3, 0), (u32)GIF_FLAG_TRANSPARENT);
    EXPECT_EQ(flags_of(0, -1, 1), (u32)GIF_FLAG_TRANSPARENT);
}

// 1 x 1 frames, each 15 bytes: a file of n frames.
static Bytes many_frames(u32 n) {
    Bytes f = gif_header(1, 1, 2);
    Bytes frame;
    put_image(frame, 0, 0, 1, 1, lzw_literals(Bytes{1}, 2), 2);
    f.reserve(f.size() + (size_t)n * frame.size() + 1);
    for (u32 i = 0; i < n; i++) f.insert(f.end(), frame.begin(), frame.end());
    f.push_back(0x3B);
    return f;
}

TEST(GifHeader, FrameLimit) {
    Bytes most = many_frames(65536);
    GifInfo info;
    ASSERT_EQ(read_error(most, &info).code, ERR_OK);
    EXPECT_EQ(info.frame_count, 65536u);
    Decoded d = decode_all(most);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.frames.size(), 65536u);
    EXPECT_EQ(d.frames.back()[0], 0xFF000000u | (13u + 5) << 16 | 254u << 8 | 7u);

    Bytes over = many_frames(65537);
    u64 frame_size = (most.size() - 1 - 19) / 65536;
    EXPECT_ERR(read_error(over), ERR_TOO_LARGE, 19 + 65536 * frame_size);
}

// ---- LZW ------------------------------------------------------------------------------

struct LzwRun {
    u32 status;
    u64 produced, consumed;
    Bytes out;
};

static LzwRun run_lzw(const Bytes& codes, u64 capacity, u32 s) {
    LzwRun r;
    r.out.assign(capacity + 1, 0xEE);
    LzwTable table;
    memset(&table, 0xA5, sizeof table);  // entries are never read before they are written
    r.status = lzw_decode(codes.data(), codes.size(), r.out.data(), capacity, s, &table, &r.produced, &r.consumed);
    EXPECT_EQ(r.out[capacity], 0xEE) << "wrote past the capacity";
    r.out.resize(r.produced);
    return r;
}

TEST(GifLzw, LeadingClearEndCodeAndBitExhaustion) {
    Bytes idx = {0, 1, 2, 3, 3, 2, 1, 0, 1};
    LzwRun a = run_lzw(lzw_literals(idx, 2, false, true), 9, 2);
    EXPECT_EQ(a.status, (u32)LZW_DONE);
    EXPECT_EQ(a.out, idx);
    // No end code: the bits run out right after the last pixel (the padding
    // of the last byte is shorter than a code).
    CodeStream nc(2);
    nc.clear();
    Bytes exact;
    for (u32 i = 0; exact.size() < 9 || (8 - nc.w.count % 8) % 8 >= nc.bits; i++) {
        exact.push_back((u8)(i % 4));
        nc.code(i % 4);
    }
    LzwRun b = run_lzw(nc.finish(), exact.size(), 2);
    EXPECT_EQ(b.status, (u32)LZW_DONE);
    EXPECT_EQ(b.out, exact);
    // Padding long enough for a code reads as one more literal 0: with no
    // room for it that is an overflow.
    CodeStream pad(2);
    pad.clear();
    for (u32 i = 0; i < 3; i++) pad.code(1);  // 12 bits, 4 bits of padding
    EXPECT_EQ(run_lzw(pad.finish(), 3, 2).status, (u32)LZW_OVERFLOW);
    // Codes after an end code are ignored.
    CodeStream c(2);
    c.clear();
    for (u8 v : idx) c.code(v);
    c.end();
    c.code(3);
    c.code(3);
    LzwRun e = run_lzw(c.finish(), 20, 2);
    EXPECT_EQ(e.out, idx);
    // An end code before the last pixel: fewer bytes, still "done".
    LzwRun early = run_lzw(lzw_literals(Bytes{1, 2}, 2), 9, 2);
    EXPECT_EQ(early.status, (u32)LZW_DONE);
    EXPECT_EQ(early.produced, 2u);
}

TEST(GifLzw, BadCodesAndOverflow) {
    // A code equal to next right after a clear: no previous string.
    CodeStream c(2);
    c.clear();
    c.code(1);
    c.clear();
    c.w.put(6, 3);
    LzwRun r = run_lzw(c.finish(), 10, 2);
    EXPECT_EQ(r.status, (u32)LZW_BAD_CODE);
    EXPECT_EQ(r.consumed, 1u);  // bits 9 to 11
    EXPECT_EQ(r.produced, 1u);
    // A first code above clear with no leading clear.
    BitWriter w;
    w.put(6, 3);
    EXPECT_EQ(run_lzw(w.finish(), 10, 2).status, (u32)LZW_BAD_CODE);
    // A code beyond next (6 after the first literal).
    CodeStream d(2);
    d.clear();
    d.code(1);
    d.w.put(7, 3);
    LzwRun beyond = run_lzw(d.finish(), 10, 2);
    EXPECT_EQ(beyond.status, (u32)LZW_BAD_CODE);
    EXPECT_EQ(beyond.produced, 1u);
    // More pixels than the capacity: the byte where the overflowing code begins.
    CodeStream o(2);
    o.clear();
    for (u32 i = 0; i < 39; i++) o.code(1);
    u64 bit = o.w.out.size() * 8 + o.w.count;
    o.code(1);
    o.end();
    LzwRun over = run_lzw(o.finish(), 39, 2);
    EXPECT_EQ(over.status, (u32)LZW_OVERFLOW);
    EXPECT_EQ(over.produced, 39u);
    EXPECT_EQ(over.consumed, bit / 8);
    // A table code whose run would pass the capacity.
    CodeStream t(2);
    t.clear();
    t.code(1);
    t.code(6);  // "1 1"
    t.code(7);  // "1 1 1"
    LzwRun run_over = run_lzw(t.finish(), 5, 2);
    EXPECT_EQ(run_over.status, (u32)LZW_OVERFLOW);
    EXPECT_EQ(run_over.produced, 3u);
}

TEST(GifLzw, GrowingRunsNearTheCapacity) {
    // 1, then next again and again: strings of length 1, 2, 3, ... 90, the
    // whole run copying path from one byte to many 32-byte steps, and at the
    // end the byte-by-byte path because the capacity is exactly the total.
    CodeStream c(2);
    c.clear();
    c.code(3);
    u64 total = 1;
    for (u32 k = 2; k <= 90; k++) {
        c.code(c.next);
        total += k;
    }
    Bytes codes = c.finish();
    LzwRun r = run_lzw(codes, total, 2);
    EXPECT_EQ(r.status, (u32)LZW_DONE);
    EXPECT_EQ(r.out, Bytes(total, 3));
    LzwRun roomy = run_lzw(codes, total + 100, 2);
    EXPECT_EQ(roomy.out, Bytes(total, 3));
}

TEST(GifLzw, FullTableKeptWithoutClear) {
    // 5000 literals with no clear after the table fills: 12-bit codes from
    // there on, and table codes of the last entries still work.
    std::mt19937 rng(7);
    Bytes idx(5000);
    for (u8& v : idx) v = (u8)(rng() & 15);
    CodeStream c(4);
    c.clear();
    for (u8 v : idx) c.code(v);
    EXPECT_EQ(c.next, 4096u);
    EXPECT_EQ(c.bits, 12u);
    // Entry 4095 is (string of code 4094's predecessor ...): whatever it
    // names, the decoder copies it from its own output; check it against a
    // decode of the same stream followed by that code.
    c.code(4095);
    c.code(c.clear_code() + 2);
    LzwRun r = run_lzw(c.finish(), 10000, 4);
    ASSERT_EQ(r.status, (u32)LZW_DONE);
    ASSERT_GE(r.produced, 5002u);
    EXPECT_TRUE(std::equal(idx.begin(), idx.end(), r.out.begin()));
    // Entry 4095 was made from literals 4093 - 18 ... : entries are made one
    // per literal after the first, entry k from literals k - 18 and k - 17
    // (clear + 2 = 18 for a code size of 4).
    EXPECT_EQ(r.out[5000], idx[4095 - 18]);
    EXPECT_EQ(r.out[5001], idx[4095 - 18 + 1]);
    EXPECT_EQ(r.out[5002], idx[0]);
    EXPECT_EQ(r.out[5003], idx[1]);
}

TEST(GifLzw, CompressedStreamsRoundTrip) {
    std::mt19937 rng(11);
    for (u32 s = 2; s <= 8; s++) {
        for (u32 kind = 0; kind < 3; kind++) {
            u32 n = 1 + rng() % 20000;
            Bytes idx(n);
            u32 colours = 1u << s;
            // Noise, long runs, and a short repeating pattern.
            for (u32 i = 0; i < n; i++) {
                idx[i] = kind == 0 ? (u8)(rng() % colours)
                                   : kind == 1 ? (u8)((i / 97) % colours) : (u8)((i * i / 3) % 7 % colours);
            }
            Bytes codes = lzw_compress(idx, s);
            LzwRun r = run_lzw(codes, n, s);
            EXPECT_EQ(r.status, (u32)LZW_DONE) << s << " " << kind;
            EXPECT_EQ(r.out, idx) << s << " " << kind;
        }
    }
}

// ---- Frame data results in a file ----------------------------------------------------

TEST(GifLzw, FrameDataFaultsCarryFileOffsets) {
    auto file_with = [](const Bytes& codes, size_t block) {
        Bytes f = gif_header(4, 4, 4);
        put_image(f, 0, 0, 4, 4, codes, 2, 0, false, 1, block);
        f.push_back(0x3B);
        return f;
    };
    u64 code_size_pos = 13 + 12 + 10;
    // An end code before the last pixel: truncated at the last data byte.
    Bytes early = file_with(lzw_literals(Bytes(15, 1), 2), 255);
    Decoded a = decode_all(early);
    EXPECT_FALSE(a.ok);
    EXPECT_ERR(a.err, ERR_TRUNCATED, early.size() - 2);
    // A bad code (31 when next is 17) in 2-byte sub-blocks: payload byte p
    // sits after p / 2 whole blocks of 3 bytes and its own length byte.
    CodeStream c(2);
    c.clear();
    for (u32 i = 0; i < 12; i++) c.code(1);
    u64 p = (c.w.out.size() * 8 + c.w.count) / 8;
    EXPECT_EQ(c.next, 17u);
    c.w.put(31, c.bits);
    Bytes bad = file_with(c.finish(), 2);
    Decoded b = decode_all(bad);
    EXPECT_FALSE(b.ok);
    EXPECT_ERR(b.err, ERR_BAD_HEADER, code_size_pos + 1 + (p / 2) * 3 + 1 + p % 2);
    // Too many pixels: the overflowing code.
    Bytes more = file_with(lzw_literals(Bytes(17, 2), 2), 255);
    Decoded m = decode_all(more);
    EXPECT_FALSE(m.ok);
    EXPECT_EQ(m.err.code, (u32)ERR_BAD_HEADER);
    EXPECT_GT(m.err.offset, code_size_pos + 1);
    // Exactly the pixels with no end code: fine.
    Decoded exact = decode_all(file_with(lzw_literals(Bytes(16, 2), 2, true, false), 255));
    EXPECT_TRUE(exact.ok);
}

// ---- Decompression bombs ---------------------------------------------------------

static CodecError probe_error(const Bytes& f) {
    ImageInfo image;
    GifInfo info;
    CodecError err;
    bool ok = gif_probe(f.data(), f.size(), &image, &info, &err);
    EXPECT_EQ(ok, err.code == ERR_OK);
    return err;
}

// A few bytes can claim a screen of billions of pixels: the probe refuses a
// canvas above 2^26 pixels (256 MiB of RGBA) before anything is committed,
// and a frame above 2^28 pixels (its indices alone 256 MiB).
TEST(GifProbe, ScreenAndFrameSizeLimits) {
    auto one_pixel_on = [](u32 w, u32 h) {
        Bytes f = gif_header(w, h, 4);
        put_image(f, 0, 0, 1, 1, lzw_literals(Bytes{1}, 2), 2);
        f.push_back(0x3B);
        return f;
    };
    for (auto wh : {std::pair<u32, u32>{65535, 65535}, {32770, 32258}, {65535, 1025}, {8193, 8192}}) {
        SCOPED_TRACE(std::to_string(wh.first) + " x " + std::to_string(wh.second));
        EXPECT_ERR(probe_error(one_pixel_on(wh.first, wh.second)), ERR_TOO_LARGE, 8);
    }
    EXPECT_ERR(probe_error(one_pixel_on(8192, 8192)), ERR_OK, 0);
    // A 16385 x 16385 frame with enough data to pass the plausibility check.
    Bytes frame = gif_header(16, 16, 4);
    u64 start = frame.size();
    put_image(frame, 0, 0, 16385, 16385, Bytes(24600, 0x55), 2);
    frame.push_back(0x3B);
    EXPECT_ERR(read_error(frame), ERR_TOO_LARGE, start + 7);
    Bytes wide = gif_header(16, 16, 4);
    put_image(wide, 0, 0, 16384, 16384, Bytes(24600, 0x55), 2);
    wide.push_back(0x3B);
    EXPECT_ERR(read_error(wide), ERR_OK, 0);
}
