// Chunk rules, limits and decode-step rules with their exact error codes and
// offsets, on files built here from stored zlib blocks (no compressor
// needed, so these run in the Windows build too): the header and whole-file
// walks, strips and steps, stream-end checks, step order, disposal, and
// every prefix of a valid file.
#include <gtest/gtest.h>

#include "codec/png/crc32.h"
#include "codec/png/inflate.h"
#include "codec/png/png_rows.h"
#include "png_support.h"

using namespace pngtest;

static void expect_error(const Bytes& file, u32 code, u64 offset, const char* what) {
    Decoded d = decode(file);
    EXPECT_FALSE(d.ok) << what;
    EXPECT_EQ(d.err.code, code) << what << " got " << err_text(d.err);
    EXPECT_EQ(d.err.offset, offset) << what << " got " << err_text(d.err);
}

static Bytes grey8(u32 w, u32 h, const Bytes& extra = {}, size_t split = 0) {
    return make_png(ihdr_data(w, h, 8, 0, 0), extra, zlib_stored(scanlines(w, h, 8, 0, 1)), split);
}

// Offset of the n-th chunk of `type` in a file.
static u64 find_chunk(const Bytes& f, const char* type, u32 n = 0) {
    size_t pos = 8;
    while (pos + 8 <= f.size()) {
        u32 len = (u32)f[pos] << 24 | (u32)f[pos + 1] << 16 | (u32)f[pos + 2] << 8 | f[pos + 3];
        if (memcmp(&f[pos + 4], type, 4) == 0 && n-- == 0) return pos;
        pos += 12 + len;
    }
    return 0;
}

TEST(PngRules, SignatureAndHeader) {
    Bytes ok = grey8(3, 2);
    expect_error(Bytes(ok.begin(), ok.begin() + 33), ERR_TRUNCATED, 33, "signature and IHDR only");
    expect_error(Bytes(ok.begin(), ok.begin() + 5), ERR_TRUNCATED, 5, "short signature");
    Bytes bad = ok;
    bad[3] = 'X';
    expect_error(bad, ERR_BAD_SIGNATURE, 3, "signature byte 3");
    auto with_ihdr = [&](Bytes ihdr) { return make_png(ihdr, {}, zlib_stored(scanlines(3, 2, 8, 0, 1))); };
    Bytes ihdr = ihdr_data(3, 2, 8, 0, 0);
    Bytes h = ihdr;
    h[0] = h[1] = h[2] = h[3] = 0;
    expect_error(with_ihdr(h), ERR_BAD_HEADER, 16, "width 0");
    h = ihdr;
    h[4] = 0x80;
    expect_error(with_ihdr(h), ERR_BAD_HEADER, 20, "negative height");
    h = ihdr;
    h[0] = 0x10, h[3] = 1;
    expect_error(with_ihdr(h), ERR_TOO_LARGE, 16, "width above 2^28");
    h = ihdr_data(0x4000, 0x4001, 8, 6, 0);
    expect_error(with_ihdr(h), ERR_TOO_LARGE, 20, "RGBA area above 2^26");
    // 2^27 grey pixels is the most a grey image may have.
    Crc32Table table;
    crc32_make_table(&table);
    PngInfo info;
    CodecError err;
    Bytes at_limit = with_ihdr(ihdr_data(0x4000, 0x2000, 8, 0, 0));
    EXPECT_TRUE(png_read_header(at_limit.data(), at_limit.size(), &table, &info, &err)) << err_text(err);
    expect_error(with_ihdr(ihdr_data(0x4000, 0x2001, 8, 0, 0)), ERR_TOO_LARGE, 20, "grey area above 2^27");
    h = ihdr;
    h[9] = 5;
    expect_error(with_ihdr(h), ERR_BAD_HEADER, 25, "colour type 5");
    h = ihdr_data(3, 2, 4, 2, 0);
    expect_error(with_ihdr(h), ERR_BAD_HEADER, 24, "RGB of depth 4");
    h = ihdr;
    h[12] = 2;
    expect_error(with_ihdr(h), ERR_BAD_HEADER, 28, "interlace 2");
    bad = ok;
    bad[30] ^= 1;
    expect_error(bad, ERR_BAD_HEADER, 29, "IHDR CRC");
    bad = ok;
    bad[11] = 14;
    expect_error(bad, ERR_BAD_HEADER, 8, "IHDR length");
}

TEST(PngRules, ChunksBeforeImageData) {
    Bytes plte3, trns, gama, srgb, text;
    chunk(plte3, "PLTE", Bytes(768, 7));
    chunk(trns, "tRNS", {1, 2, 3});
    chunk(gama, "gAMA", {0, 0, 0, 1});
    chunk(srgb, "sRGB", {0});
    // A palette image with a 3-byte tRNS for 256 entries: later entries stay opaque.
    Bytes raw;
    for (u32 y = 0; y < 2; y++) raw.insert(raw.end(), {0, 0, 1, 2, 3, 200});
    Bytes pal = plte3;
    pal.insert(pal.end(), trns.begin(), trns.end());
    Decoded d = decode(make_png(ihdr_data(5, 2, 8, 3, 0), pal, zlib_stored(raw)));
    ASSERT_TRUE(d.ok) << err_text(d.err);
    EXPECT_EQ(d.canvas[3], 1);
    EXPECT_EQ(d.canvas[7], 2);
    EXPECT_EQ(d.canvas[11], 3);
    EXPECT_EQ(d.canvas[15], 255);
    // tRNS before PLTE, PLTE after tRNS.
    Bytes order = trns;
    order.insert(order.end(), plte3.begin(), plte3.end());
    expect_error(make_png(ihdr_data(5, 2, 8, 3, 0), order, zlib_stored(raw)), ERR_BAD_HEADER, 33 + 4, "tRNS before PLTE");
    Bytes rgb_trns, rgb_order;
    chunk(rgb_trns, "tRNS", {0, 1, 0, 2, 0, 3});
    rgb_order = rgb_trns;
    rgb_order.insert(rgb_order.end(), plte3.begin(), plte3.end());
    expect_error(make_png(ihdr_data(2, 2, 8, 2, 0), rgb_order, zlib_stored(scanlines(2, 2, 8, 2, 1))), ERR_BAD_HEADER,
                 33 + 18 + 4, "PLTE after tRNS");
    // No PLTE in a palette image: at the IDAT chunk.
    expect_error(make_png(ihdr_data(5, 2, 8, 3, 0), {}, zlib_stored(raw)), ERR_BAD_HEADER, 33, "no PLTE");
    // Unknown ancillary chunks are skipped unchecked; unknown critical ones refused.
    chunk(text, "teXt", {1, 2, 3});
    text[text.size() - 1] ^= 0xFF;  // wrong CRC
    EXPECT_TRUE(decode(grey8(3, 2, text)).ok);
    Bytes crit;
    chunk(crit, "TEXT", {1});
    expect_error(grey8(3, 2, crit), ERR_UNSUPPORTED, 33 + 4, "unknown critical chunk");
    // Duplicates and bad lengths.
    Bytes twice = gama;
    twice.insert(twice.end(), srgb.begin(), srgb.end());
    twice.insert(twice.end(), gama.begin(), gama.end());
    expect_error(grey8(3, 2, twice), ERR_BAD_HEADER, 33 + 16 + 13 + 4, "second gAMA");
    for (const char* t : {"cHRM", "sRGB", "cICP", "iCCP", "eXIf"}) {
        Bytes one;
        Bytes data = std::string(t) == "cHRM" ? Bytes(32, 0) : std::string(t) == "sRGB" ? Bytes{0}
                     : std::string(t) == "cICP" ? Bytes{1, 13, 0, 1} : std::string(t) == "iCCP" ? Bytes{'a', 0, 0, 1, 2}
                                                                                                   : Bytes{1, 2};
        chunk(one, t, data);
        Bytes two = one;
        two.insert(two.end(), one.begin(), one.end());
        ASSERT_TRUE(decode(grey8(3, 2, one)).ok) << t;
        expect_error(grey8(3, 2, two), ERR_BAD_HEADER, 33 + one.size() + 4, t);
    }
    Bytes short_gama;
    chunk(short_gama, "gAMA", {0, 0, 1});
    expect_error(grey8(3, 2, short_gama), ERR_BAD_HEADER, 33, "gAMA length");
    Bytes bad_srgb, bad_cicp, bad_iccp;
    chunk(bad_srgb, "sRGB", {4});
    expect_error(grey8(3, 2, bad_srgb), ERR_BAD_HEADER, 41, "rendering intent 4");
    chunk(bad_cicp, "cICP", {1, 13, 1, 1});
    expect_error(grey8(3, 2, bad_cicp), ERR_BAD_HEADER, 43, "cICP matrix");
    chunk(bad_iccp, "iCCP", {'a', 0, 1, 5, 6});
    expect_error(grey8(3, 2, bad_iccp), ERR_BAD_HEADER, 43, "iCCP method");
    // eXIf once in the whole file.
    Bytes exif;
    chunk(exif, "eXIf", {1});
    Bytes f = grey8(3, 2, exif);
    u64 iend = find_chunk(f, "IEND");
    f.insert(f.begin() + iend, exif.begin(), exif.end());
    expect_error(f, ERR_BAD_HEADER, iend + 4, "eXIf before and after the image data");
    // The chunk limit: 1024 handled, the next one refused whatever it is.
    Bytes many;
    for (u32 i = 0; i < 1024; i++) chunk(many, "quIt", {});
    expect_error(grey8(3, 2, many), ERR_LIMIT, 33 + 1024 * 12, "1025th chunk");
    many.resize(1023 * 12);
    EXPECT_TRUE(decode(grey8(3, 2, many)).ok);
}

TEST(PngRules, ImageDataAndEnd) {
    Bytes f = grey8(7, 5, {}, 9);
    ASSERT_TRUE(decode(f).ok);
    // A second IDAT run after an ancillary chunk.
    Bytes anc;
    chunk(anc, "quIt", {});
    u64 second = find_chunk(f, "IDAT", 2);
    Bytes split = f;
    split.insert(split.begin() + second, anc.begin(), anc.end());
    expect_error(split, ERR_BAD_HEADER, second + 12 + 4, "second IDAT run");
    // IDAT CRC, IEND length and CRC, missing IEND.
    Bytes bad = f;
    u64 idat = find_chunk(f, "IDAT");
    bad[idat + 8 + 9] ^= 1;
    expect_error(bad, ERR_BAD_HEADER, idat + 8 + 9, "IDAT CRC");
    u64 iend = find_chunk(f, "IEND");
    bad = f;
    bad[iend + 8] ^= 1;
    expect_error(bad, ERR_BAD_HEADER, iend + 8, "IEND CRC");
    expect_error(Bytes(f.begin(), f.begin() + iend), ERR_TRUNCATED, iend, "no IEND");
}

TEST(PngRules, StripsAndSteps) {
    PngInfo info;
    PngPlan plan;
    PngStepPlan steps;
    CodecError err;
    Bytes f33 = grey8(5, 33);
    ASSERT_TRUE(png_setup(f33.data(), f33.size(), PNG_STILL, &info, &plan, &steps, &err));
    EXPECT_EQ(plan.steps, 2u);
    EXPECT_EQ(steps.step_count, 4u);
    Bytes one = make_png(ihdr_data(1, 1, 8, 0, 1), {}, zlib_stored({0, 77}));
    ASSERT_TRUE(png_setup(one.data(), one.size(), PNG_STILL, &info, &plan, &steps, &err));
    EXPECT_EQ(plan.steps, 1u);
    Decoded d1 = decode(one);
    ASSERT_TRUE(d1.ok);
    EXPECT_EQ(d1.canvas[0], 77);
    Bytes tall = make_png(ihdr_data(1, 200000, 1, 0, 0), {}, zlib_stored(Bytes(400000, 0)));
    ASSERT_TRUE(png_setup(tall.data(), tall.size(), PNG_STILL, &info, &plan, &steps, &err));
    EXPECT_EQ(plan.strip_rows, 49u);
    EXPECT_EQ(plan.steps, 4082u);
    // The workspace regions follow each other 64-byte aligned, in order, and
    // the probe asks for the workspace plus the native canvas.
    Bytes rgb = make_png(ihdr_data(13, 70, 16, 2, 1), {}, zlib_stored(Bytes(10, 0)));
    ASSERT_TRUE(png_setup(rgb.data(), rgb.size(), PNG_STILL, &info, &plan, &steps, &err));
    const u64 regions[] = {plan.state_pos, plan.inflate_pos, plan.tables_pos, plan.window_pos, plan.staging_pos,
                           plan.row_pos, plan.zero_pos, plan.raw_pos, plan.restore_pos, plan.workspace_bytes};
    const u64 sizes[] = {sizeof(PngState), sizeof(InflateState), sizeof(PngTables), PNG_WINDOW_SIZE + 64,
                         PNG_STAGING_SIZE + 64, plan.row_bytes + 33, packed_raw_row(plan.row_bytes), plan.raw_bytes + 128, 0};
    EXPECT_EQ(plan.state_pos, 0u);
    for (u32 i = 0; i + 1 < 10; i++) {
        EXPECT_EQ(regions[i] % 64, 0u) << i;
        EXPECT_GE(regions[i + 1], regions[i] + sizes[i]) << i;
    }
    EXPECT_EQ(plan.row_bytes, 13u * 6);
    EXPECT_EQ(plan.raw_bytes, png_raw_size(13, 70, 1, 48));
    EXPECT_EQ(plan.pixel_format, Rgba16);
    ImageInfo probe;
    ASSERT_TRUE(png_probe(rgb.data(), rgb.size(), &probe, &plan, &err));
    EXPECT_EQ(probe.scratch_bytes, align64(plan.workspace_bytes) + align64(packed_row(13, 8) * 70));
    EXPECT_EQ(probe.pixel_bytes, row_stride(13) * 70 + 32);
    EXPECT_EQ(probe.frame_count, 1u);
    EXPECT_EQ(probe.play_count, 1u);
    EXPECT_EQ(probe.decoder, DECODER_PNG);
    // One-byte IDAT chunks decode like one chunk.
    Bytes raw = scanlines(9, 7, 8, 2, 4);
    for (size_t i = 0; i < raw.size(); i += 28) raw[i] = (u8)(i % 5);
    Decoded whole = decode(make_png(ihdr_data(9, 7, 8, 2, 0), {}, zlib_stored(raw)));
    Decoded bytes = decode(make_png(ihdr_data(9, 7, 8, 2, 0), {}, zlib_stored(raw), 1));
    ASSERT_TRUE(whole.ok && bytes.ok);
    EXPECT_EQ(whole.canvas, bytes.canvas);
}

TEST(PngRules, StreamEndChecks) {
    Bytes raw = scanlines(4, 3, 8, 0, 2);
    Bytes z = zlib_stored(raw);
    // An extra byte after the stream in the last IDAT.
    Bytes extra = z;
    extra.push_back(0);
    Bytes f = make_png(ihdr_data(4, 3, 8, 0, 0), {}, extra);
    u64 idat = find_chunk(f, "IDAT");
    expect_error(f, ERR_BAD_HEADER, idat + 8 + extra.size(), "byte after the stream");
    // An empty IDAT after the end of the stream.
    f = make_png(ihdr_data(4, 3, 8, 0, 0), {}, z);
    u64 iend = find_chunk(f, "IEND");
    Bytes empty;
    chunk(empty, "IDAT", {});
    f.insert(f.begin() + iend, empty.begin(), empty.end());
    expect_error(f, ERR_BAD_HEADER, iend, "empty IDAT after the stream");
    // Too few rows in the stream; too many.
    f = make_png(ihdr_data(4, 3, 8, 0, 0), {}, zlib_stored(Bytes(raw.begin(), raw.begin() + 10)));
    expect_error(f, ERR_BAD_HEADER, find_chunk(f, "IDAT"), "stream ends before the image");
    Bytes more = raw;
    more.insert(more.end(), {0, 1, 2, 3, 4});
    f = make_png(ihdr_data(4, 3, 8, 0, 0), {}, zlib_stored(more));
    expect_error(f, ERR_BAD_HEADER, find_chunk(f, "IDAT"), "stream longer than the image");
    // The data chunks end before the stream does.
    f = make_png(ihdr_data(4, 3, 8, 0, 0), {}, Bytes(z.begin(), z.end() - 3));
    idat = find_chunk(f, "IDAT");
    expect_error(f, ERR_TRUNCATED, idat + 8 + z.size() - 3, "stream cut short");
    // Filter type 5; a broken zlib header.
    Bytes bad_filter = raw;
    bad_filter[5] = 5;
    f = make_png(ihdr_data(4, 3, 8, 0, 0), {}, zlib_stored(bad_filter));
    expect_error(f, ERR_BAD_HEADER, find_chunk(f, "IDAT"), "filter type 5");
    Bytes bad_z = z;
    bad_z[0] = 0x79;
    f = make_png(ihdr_data(4, 3, 8, 0, 0), {}, bad_z, 2);
    expect_error(f, ERR_BAD_HEADER, find_chunk(f, "IDAT") + 8, "zlib header");
    // A palette index past PLTE: at the PLTE data.
    Bytes plte;
    chunk(plte, "PLTE", Bytes(12, 9));
    Bytes idx = {0, 0, 1, 2, 3, 0, 3, 5, 1, 0};
    f = make_png(ihdr_data(4, 2, 8, 3, 0), plte, zlib_stored(idx));
    expect_error(f, ERR_BAD_HEADER, 41, "palette index 5 of 4");
    // Indexes in the padding of a 1-bit row are never judged.
    Bytes plte1;
    chunk(plte1, "PLTE", Bytes(3, 9));
    f = make_png(ihdr_data(3, 1, 1, 3, 0), plte1, zlib_stored({0, 0x1F}));
    EXPECT_TRUE(decode(f).ok);
}

TEST(PngRules, StepOrderAndTargets) {
    Bytes f = grey8(6, 70);
    ImageInfo info;
    PngPlan plan;
    CodecError err;
    ASSERT_TRUE(png_probe(f.data(), f.size(), &info, &plan, &err));
    ASSERT_EQ(plan.steps, 3u);
    Block ws(plan.workspace_bytes);
    u64 stride = png_canvas_stride(&plan);
    Block cv(stride * plan.height, 16);
    PixelBuffer canvas = {cv.p, stride, plan.width, plan.height};
    auto step = [&](u32 phase, u32 index) {
        return png_decode_step(f.data(), f.size(), &plan, ws.p, plan.workspace_bytes, PngStep{phase, index}, &canvas,
                               nullptr, &err);
    };
    EXPECT_FALSE(step(1, 0));
    EXPECT_EQ(err.code, ERR_BAD_TARGET);
    ASSERT_TRUE(step(0, 0));
    EXPECT_FALSE(step(0, 2));
    EXPECT_EQ(err.code, ERR_BAD_TARGET);
    EXPECT_FALSE(step(1, 1));
    ASSERT_TRUE(step(1, 0));
    ASSERT_TRUE(step(0, 1));
    ASSERT_TRUE(step(0, 2));
    EXPECT_FALSE(step(0, 3));
    EXPECT_FALSE(step(2, 0));
    ASSERT_TRUE(step(1, 2));
    ASSERT_TRUE(step(1, 1));
    // Too small a workspace, a misaligned one, a canvas of the wrong size.
    EXPECT_FALSE(png_decode_step(f.data(), f.size(), &plan, ws.p, plan.workspace_bytes - 1, PngStep{0, 0}, &canvas,
                                 nullptr, &err));
    EXPECT_EQ(err.code, ERR_BAD_TARGET);
    PixelBuffer narrow = canvas;
    narrow.width--;
    EXPECT_FALSE(step(0, 0) && png_decode_step(f.data(), f.size(), &plan, ws.p, plan.workspace_bytes, PngStep{0, 0},
                                               &narrow, nullptr, &err));
    EXPECT_EQ(err.code, ERR_BAD_TARGET);
    // A restart at step 0 decodes again from scratch.
    ASSERT_TRUE(step(0, 0));
    ASSERT_TRUE(step(1, 0));
}

// A 2 x 1 RGBA animation: frame 0 red, frame 1 green over pixel 0 with
// dispose previous, frame 2 blue over pixel 1. Before frame 2 pixel 0 is red
// again. Frame 0 with dispose previous acts as background.
static Bytes anim(u8 dispose0, u8 dispose1) {
    Bytes f = signature();
    chunk(f, "IHDR", ihdr_data(2, 1, 8, 6, 0));
    Bytes actl;
    put_be32(actl, 3);
    put_be32(actl, 0);
    chunk(f, "acTL", actl);
    u32 seq = 0;
    auto frame = [&](u32 w, u32 x, u8 dispose, Bytes row, bool idat) {
        Bytes d;
        put_be32(d, seq++);
        put_be32(d, w);
        put_be32(d, 1);
        put_be32(d, x);
        put_be32(d, 0);
        put_be32(d, 0x00010064);
        d.push_back(dispose);
        d.push_back(0);
        chunk(f, "fcTL", d);
        row.insert(row.begin(), 0);
        Bytes z = zlib_stored(row);
        if (idat) {
            chunk(f, "IDAT", z);
        } else {
            Bytes fd;
            put_be32(fd, seq++);
            fd.insert(fd.end(), z.begin(), z.end());
            chunk(f, "fdAT", fd);
        }
    };
    frame(2, 0, dispose0, {255, 0, 0, 255, 255, 0, 0, 255}, true);
    frame(1, 0, dispose1, {0, 255, 0, 255}, false);
    frame(1, 1, 0, {0, 0, 255, 255}, false);
    chunk(f, "IEND", {});
    return f;
}

TEST(PngRules, DisposalBetweenFrames) {
    Decoded d = decode(anim(0, 2), 2);
    ASSERT_TRUE(d.ok) << err_text(d.err);
    const Bytes want = {255, 0, 0, 255, 0, 0, 255, 255};
    EXPECT_EQ(d.canvas, want);
    EXPECT_EQ(d.display, want);
    Decoded d1 = decode(anim(0, 2), 1);
    ASSERT_TRUE(d1.ok);
    EXPECT_EQ(d1.canvas[1], 255);
    // Dispose previous on frame 0 clears it like background.
    Decoded bg = decode(anim(2, 0), 2);
    ASSERT_TRUE(bg.ok);
    const Bytes cleared = {0, 255, 0, 255, 0, 0, 255, 255};
    EXPECT_EQ(bg.canvas, cleared);
    // Frame order: frame 2 straight after frame 0 is refused.
    ImageInfo info;
    PngPlan plan;
    CodecError err;
    Bytes f = anim(0, 0);
    ASSERT_TRUE(png_probe(f.data(), f.size(), &info, &plan, &err));
    EXPECT_EQ(info.frame_count, 3u);
    Block ws(plan.workspace_bytes);
    Block cv(16, 16);
    PixelBuffer canvas = {cv.p, 16, 2, 1};
    ASSERT_TRUE(png_decode_step(f.data(), f.size(), &plan, ws.p, plan.workspace_bytes, PngStep{0, 0}, &canvas, nullptr, &err));
    EXPECT_FALSE(png_decode_step(f.data(), f.size(), &plan, ws.p, plan.workspace_bytes, PngStep{0, 2}, &canvas, nullptr, &err));
    EXPECT_EQ(err.code, ERR_BAD_TARGET);
}

TEST(PngRules, AnimationChunkRules) {
    Bytes f = anim(0, 0);
    u64 actl = find_chunk(f, "acTL");
    // num_frames 2: one fcTL too many, at its type field.
    Bytes two = f;
    two[actl + 11] = 2;
    u32 crc = ref_crc(&two[actl + 4], 12);
    for (int i = 0; i < 4; i++) two[actl + 16 + i] = (u8)(crc >> (24 - 8 * i));
    expect_error(two, ERR_BAD_HEADER, find_chunk(f, "fcTL", 2) + 4, "more fcTL than num_frames");
    // num_frames 4: the count differs at IEND, reported at num_frames.
    Bytes four = two;
    four[actl + 11] = 4;
    crc = ref_crc(&four[actl + 4], 12);
    for (int i = 0; i < 4; i++) four[actl + 16 + i] = (u8)(crc >> (24 - 8 * i));
    expect_error(four, ERR_BAD_HEADER, actl + 8, "fewer fcTL than num_frames");
    // acTL limits, through the header reader alone.
    Crc32Table table;
    crc32_make_table(&table);
    for (u32 n : {65536u, 65537u, 0u}) {
        Bytes g = four;
        for (int i = 0; i < 4; i++) g[actl + 8 + i] = (u8)(n >> (24 - 8 * i));
        crc = ref_crc(&g[actl + 4], 12);
        for (int i = 0; i < 4; i++) g[actl + 16 + i] = (u8)(crc >> (24 - 8 * i));
        PngInfo info;
        CodecError err;
        bool ok = png_read_header(g.data(), g.size(), &table, &info, &err);
        EXPECT_EQ(ok, n == 65536) << n;
        if (n != 65536) {
            EXPECT_EQ(err.code, n ? ERR_TOO_LARGE : ERR_BAD_HEADER);
            EXPECT_EQ(err.offset, actl + 8);
        }
    }
    // Frame 0 as the IDAT image must sit at 0, 0: x = 1 fails at its x field.
    Bytes moved = f;
    u64 fctl = find_chunk(f, "fcTL");
    moved[fctl + 8 + 15] = 1;
    crc = ref_crc(&moved[fctl + 4], 30);
    for (int i = 0; i < 4; i++) moved[fctl + 34 + i] = (u8)(crc >> (24 - 8 * i));
    expect_error(moved, ERR_BAD_HEADER, fctl + 8 + 12, "frame 0 at x 1");
    // A wrong fdAT sequence number: at its data.
    Bytes seq = f;
    u64 fdat = find_chunk(f, "fdAT");
    u32 len = (u32)seq[fdat + 3];
    seq[fdat + 11] = 9;
    crc = ref_crc(&seq[fdat + 4], len + 4);
    for (int i = 0; i < 4; i++) seq[fdat + 8 + len + i] = (u8)(crc >> (24 - 8 * i));
    expect_error(seq, ERR_BAD_HEADER, fdat + 8, "fdAT sequence");
}

// Every prefix of a valid still and animated file fails cleanly (the whole
// file is checked before a pixel is decoded), and every single-byte change
// of one either decodes or fails without touching memory it does not own.
TEST(PngRules, EveryPrefixAndByteChange) {
    Bytes plte;
    chunk(plte, "PLTE", Bytes(30, 3));
    Bytes files[] = {grey8(5, 4, {}, 7), anim(0, 2),
                     make_png(ihdr_data(6, 5, 4, 3, 1), plte, zlib_stored(Bytes(30, 0)))};
    for (const Bytes& f : files) {
        ASSERT_TRUE(decode(f, 2).ok || decode(f).ok);
        for (size_t n = 0; n < f.size(); n++) {
            Decoded d = decode(Bytes(f.begin(), f.begin() + n), 2);
            ASSERT_FALSE(d.ok) << n;
            ASSERT_NE(d.err.code, ERR_OK);
            ASSERT_LE(d.err.offset, n);
        }
        for (size_t i = 0; i < f.size(); i++) {
            for (u8 x : {0x01, 0x80, 0xFF}) {
                Bytes g = f;
                g[i] ^= x;
                Decoded d = decode(g, 2);
                if (!d.ok) {
                    ASSERT_LE(d.err.offset, g.size());
                }
            }
        }
    }
}

// The job's still decode (display buffer alone, unfiltered rows in a ring
// for images without interlace) gives the display, the faults and their
// offsets of the step-by-step decode: every colour type and depth, widths
// around the 64-pixel run and the 16-pixel kernel step, heights around the
// 32-row strip, every filter, interlaced or not, and damaged streams.
TEST(PngRules, DisplayOnlyDecodeMatchesSteps) {
    struct Kind {
        u8 type, depth;
    };
    const Kind kinds[] = {{0, 1}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 2}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};
    const u32 widths[] = {1, 15, 63, 64, 65, 129, 200};
    const u32 heights[] = {1, 32, 33, 70};
    u32 seed = 1;
    u32 decoded = 0;
    for (const Kind& k : kinds) {
        for (u32 w : widths) {
            for (u32 h : heights) {
                for (u8 interlace : {0, 1}) {
                    Bytes extra;
                    if (k.type == 3) chunk(extra, "PLTE", Bytes(3 * 256, 0x5A));
                    Bytes raw = scanlines(w, h, k.depth, k.type, seed++);
                    u64 row = ((u64)w * channels(k.type) * k.depth + 7) / 8 + 1;
                    // Every filter type in turn; the samples are noise, so any
                    // filter gives a valid image.
                    if (!interlace) {
                        for (u32 y = 0; y < h; y++) raw[y * row] = (u8)(y % 5);
                    } else {
                        u64 n = 0;
                        for (u32 pass = 0; pass < 7; pass++) {
                            u32 pw = png_pass_width(pass, w), ph = png_pass_rows(pass, h);
                            if (pw && ph) n += (u64)ph * (png_row_bytes(pw, channels(k.type) * k.depth) + 1);
                        }
                        raw.resize(n);
                        for (u64 i = 0; i < n; i += 97) raw[i] = 0;  // lands on some filter bytes
                    }
                    Bytes f = make_png(ihdr_data(w, h, k.depth, k.type, interlace), extra, zlib_stored(raw), 1000);
                    Decoded a = decode(f);
                    Decoded b = decode_display_only(f);
                    ASSERT_EQ(a.ok, b.ok) << (int)k.type << "/" << (int)k.depth << " " << w << "x" << h;
                    if (!a.ok) {
                        // Noise as filter bytes: mostly a bad filter type.
                        EXPECT_EQ(err_text(a.err), err_text(b.err));
                        continue;
                    }
                    decoded++;
                    ASSERT_TRUE(a.display == b.display) << (int)k.type << "/" << (int)k.depth << " " << w << "x" << h
                                                        << " interlace " << (int)interlace;
                }
            }
        }
    }
    EXPECT_GE(decoded, 12u * 7 * 4);  // every non-interlaced case at least
    // A damaged stream fails the same way at the same offset.
    Bytes raw = scanlines(100, 80, 8, 2, 9);
    for (u32 y = 0; y < 80; y++) raw[y * 301] = (u8)(y % 5);
    raw[60 * 301] = 7;  // no such filter
    Bytes f = make_png(ihdr_data(100, 80, 8, 2, 0), {}, zlib_stored(raw), 4096);
    Decoded a = decode(f);
    Decoded b = decode_display_only(f);
    ASSERT_FALSE(a.ok);
    ASSERT_FALSE(b.ok);
    EXPECT_EQ(err_text(a.err), err_text(b.err));
    Bytes cut = Bytes(f.begin(), f.end() - 40);
    EXPECT_EQ(err_text(decode(cut).err), err_text(decode_display_only(cut).err));
}
