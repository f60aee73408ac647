// GIF frame composition: disposal 2 and 3, clipping to the screen, interlaced
// row placement, transparency, colour lookups past the table, the state and
// canvas checks, failures that leave the canvas alone, and the composition
// kernels against their scalar twin. Files are built in the test and every
// composed frame is compared with the reference compositor.
#include <gtest/gtest.h>

#include <random>

#include "gif_support.h"

using namespace giftest;

// RGBA bytes of a palette entry built by gif_header, as a little-endian u32.
static u32 gct_colour(u32 i) {
    return 0xFF000000u | ((i * 13 + 5) & 0xFF) << 16 | ((255 - i) & 0xFF) << 8 | ((i * 7) & 0xFF);
}

static std::vector<u32> gct_palette(u32 n) {
    std::vector<u32> p(n);
    for (u32 i = 0; i < n; i++) p[i] = ((i * 7) & 0xFF) << 16 | ((255 - i) & 0xFF) << 8 | ((i * 13 + 5) & 0xFF);
    return p;
}
static std::vector<u32> lct_palette(u32 n, u32 seed) {
    std::vector<u32> p(n);
    for (u32 i = 0; i < n; i++) p[i] = ((i * seed + 3) & 0xFF) << 16 | ((i * 5 + seed) & 0xFF) << 8 | ((200 - i * seed) & 0xFF);
    return p;
}

// Builds a file from reference frames (global table of `gct` entries; a frame
// with a non-empty palette of another size gets it as a local table) and
// checks every composed frame against the reference.
struct Scene {
    u32 W, H, gct;
    std::vector<RefFrame> frames;
    std::vector<u32> lct_sizes;
    Bytes file;

    Scene(u32 w, u32 h, u32 gct_entries) : W(w), H(h), gct(gct_entries) {}

    RefFrame& add(u32 x, u32 y, u32 w, u32 h, u32 disposal = 0, i32 transparent = 256, u32 lct = 0,
                  bool interlaced = false, u32 seed = 0, u32 index_range = 0) {
        RefFrame f;
        f.x = x, f.y = y, f.w = w, f.h = h;
        f.disposal = disposal;
        f.transparent = transparent;
        f.interlaced = interlaced;
        f.palette = lct ? lct_palette(lct, 1 + frames.size()) : gct_palette(gct);
        u32 colours = index_range ? index_range : lct ? lct : (gct ? gct : 4);
        f.indices.resize((size_t)w * h);
        for (size_t i = 0; i < f.indices.size(); i++) f.indices[i] = (u8)((i * 3 + seed + frames.size()) % colours);
        frames.push_back(f);
        lct_sizes.push_back(lct);
        return frames.back();
    }

    void build() {
        file = gif_header(W, H, gct);
        for (size_t k = 0; k < frames.size(); k++) {
            const RefFrame& f = frames[k];
            if (f.disposal || f.transparent != 256) put_gce(file, f.disposal, 0, f.transparent);
            u32 s = 2;
            while ((1u << s) < 256 && (1u << s) <= *std::max_element(f.indices.begin(), f.indices.end())) s++;
            put_image(file, f.x, f.y, f.w, f.h, lzw_compress(f.indices, s), s, lct_sizes[k], f.interlaced,
                      1 + (u32)k);
        }
        file.push_back(0x3B);
    }

    void check() {
        build();
        Decoded d = decode_all(file);
        ASSERT_TRUE(d.ok) << d.err.code << " at " << d.err.offset;
        auto want = reference_compose(W, H, frames);
        ASSERT_EQ(d.frames.size(), want.size());
        for (size_t k = 0; k < want.size(); k++) {
            for (size_t i = 0; i < want[k].size(); i++) {
                ASSERT_EQ(d.frames[k][i], want[k][i]) << "frame " << k << " pixel " << i % W << "," << i / W;
            }
        }
    }
};

TEST(GifFrame, DisposalBackgroundClearsTheRectangle) {
    // Frame 0 (disposal 2) fills the screen; frame 1 is smaller, so after it
    // only frame 1's pixels remain.
    Scene s(8, 6, 4);
    s.add(0, 0, 8, 6, 2);
    s.add(2, 1, 3, 3);
    s.check();
    Decoded d = decode_all(s.file);
    EXPECT_EQ(d.frames[1][0], 0u);
    EXPECT_EQ(d.frames[1][1 * 8 + 2], gct_colour(s.frames[1].indices[0]));
}

TEST(GifFrame, DisposalPreviousRestores) {
    // Frame 0 with disposal 3: after frame 1 the area of frame 0 not covered
    // by frame 1 is transparent again.
    Scene a(8, 6, 4);
    a.add(1, 1, 5, 4, 3);
    a.add(4, 3, 4, 3);
    a.check();
    Decoded d = decode_all(a.file);
    EXPECT_EQ(d.frames[1][1 * 8 + 1], 0u);
    // A middle frame with disposal 3: the frame after it sees the picture
    // from before it, and a clipped restore area.
    Scene b(10, 10, 16);
    b.add(0, 0, 10, 10);
    b.add(6, 6, 9, 9, 3, 2);
    b.add(0, 0, 3, 3, 3);
    b.add(5, 5, 2, 2, 1);
    b.check();
}

TEST(GifFrame, ClippingAtTheScreenEdges) {
    Scene s(10, 6, 8);
    s.add(0, 0, 10, 6);
    s.add(8, 1, 10, 2);    // x = width - 2, w = 10: two columns
    s.add(40, 0, 3, 3, 2);  // entirely right of the screen: nothing, yet decoded
    s.add(2, 5, 3, 7, 2);   // below: one row
    s.add(3, 70, 2, 2, 3);  // entirely below, disposal 3 with an empty area
    s.add(1, 1, 2, 2);
    s.check();
    Decoded d = decode_all(s.file);
    EXPECT_EQ(d.frames[1][1 * 10 + 8], gct_colour(s.frames[1].indices[0]));
    EXPECT_EQ(d.frames[1][1 * 10 + 9], gct_colour(s.frames[1].indices[1]));
    EXPECT_EQ(d.frames[2], d.frames[1]);
    // The invisible frame's data is still checked.
    s.build();
    Bytes broken = s.file;
    GifInfo info;
    ImageHeader header;
    CodecError err;
    ASSERT_TRUE(gif_read_header(broken.data(), broken.size(), &header, &info, &err));
    GifFrame f;
    ASSERT_TRUE(gif_frame_info(broken.data(), broken.size(), &info, 2, &f, &err));
    broken[f.code_size_pos + 2] = 0x98;  // clear then end in 4-bit codes: no pixels
    Decoded bad = decode_all(broken);
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(bad.frames.size(), 2u);
}

TEST(GifFrame, InterlacedRows) {
    EXPECT_EQ(gif_interlace_row(0, 1), 0u);
    const u32 five[5] = {0, 4, 2, 1, 3};
    for (u32 r = 0; r < 5; r++) EXPECT_EQ(gif_interlace_row(r, 5), five[r]);
    // Every height up to 64: a permutation matching the pass rule.
    for (u32 h = 1; h <= 64; h++) {
        std::vector<int> seen(h, 0);
        for (u32 r = 0; r < h; r++) {
            u32 d = gif_interlace_row(r, h);
            ASSERT_LT(d, h);
            seen[d]++;
        }
        for (u32 d = 0; d < h; d++) ASSERT_EQ(seen[d], 1) << h;
    }
    for (u32 h : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 13u, 29u}) {
        Scene s(6, 30, 4);
        s.add(0, 0, 6, h, 0, 256, 0, true);
        s.add(1, 20, 4, h, 0, 1, 0, true);  // clipped rows are skipped by canvas row
        s.check();
    }
}

TEST(GifFrame, TransparencyAndColourTables) {
    // A transparent index that never occurs replaces every pixel.
    Scene never(4, 4, 4);
    never.add(0, 0, 4, 4);
    never.add(0, 0, 4, 4, 0, 200);
    never.check();
    // Local tables of every size, global tables of every size, indices past
    // the table (opaque black), and transparency in both.
    for (u32 bits = 1; bits <= 8; bits++) {
        u32 n = 1u << bits;
        Scene s(12, 9, n);
        s.add(0, 0, 12, 9);
        s.add(1, 1, 10, 7, 0, (i32)(n - 1), 0);
        s.add(2, 2, 8, 5, 1, 0, n == 2 ? 4 : n / 2, false, 0, n);  // local table smaller than the indices used
        s.add(0, 0, 3, 3, 0, 256, n);
        s.check();
    }
    // No colour table at all: opaque black except the transparent index.
    Scene none(5, 5, 0);
    none.add(0, 0, 5, 5);
    none.add(0, 0, 5, 5, 0, 1);
    none.check();
    Decoded d = decode_all(none.file);
    for (u32 v : d.frames[0]) EXPECT_EQ(v, 0xFF000000u);
}

TEST(GifFrame, ManyRandomScenes) {
    std::mt19937 rng(3);
    for (int round = 0; round < 60; round++) {
        u32 W = 1 + rng() % 70, H = 1 + rng() % 40;
        Scene s(W, H, rng() % 3 == 0 ? 0 : 2u << (rng() % 8));
        u32 frames = 1 + rng() % 6;
        for (u32 k = 0; k < frames; k++) {
            u32 x = rng() % (W + 8), y = rng() % (H + 8);
            u32 w = 1 + rng() % (W + 10), h = 1 + rng() % (H + 10);
            u32 lct = rng() % 3 == 0 ? 2u << (rng() % 8) : 0;
            i32 t = rng() % 2 ? (i32)(rng() % 300) : 256;
            if (t > 256) t = 256;
            s.add(x, y, w, h, rng() % 8, t, lct, rng() % 2, rng());
        }
        s.check();
    }
}

// ---- Checks and failures ----------------------------------------------------------------

struct Harness {
    Bytes file;
    GifInfo info{};
    std::vector<u8> ws, mem;
    u8* work = nullptr;
    PixelBuffer canvas{};
    CodecError err{};

    explicit Harness(const Bytes& f) : file(f) {
        ImageHeader header;
        EXPECT_TRUE(gif_read_header(file.data(), file.size(), &header, &info, &err));
        ws.assign(info.workspace_bytes + 128, 0x5A);
        work = (u8*)(((uintptr_t)ws.data() + 63) & ~(uintptr_t)63);
        u64 stride = row_stride(info.width);
        mem.assign(stride * info.height + 64, 0x33);
        canvas = {(u8*)(((uintptr_t)mem.data() + 31) & ~(uintptr_t)31), stride, info.width, info.height};
    }
    bool frame(u32 n, u64 size = 0) {
        return gif_decode_frame(file.data(), file.size(), &info, work, size ? size : info.workspace_bytes, n, &canvas,
                                &err);
    }
    std::vector<u8> pixels() const {
        return std::vector<u8>(canvas.pixels, canvas.pixels + canvas.stride * canvas.height);
    }
};

static Bytes three_frames() {
    Scene s(9, 7, 8);
    s.add(0, 0, 9, 7, 3);
    s.add(1, 1, 4, 4, 2, 3);
    s.add(2, 2, 5, 5);
    s.build();
    return s.file;
}

TEST(GifFrame, TargetChecks) {
    Harness h(three_frames());
    ASSERT_TRUE(h.frame(0));
    // A frame out of order, or past the end.
    EXPECT_FALSE(h.frame(2));
    EXPECT_EQ(h.err.code, (u32)ERR_BAD_TARGET);
    EXPECT_FALSE(h.frame(3));
    EXPECT_EQ(h.err.code, (u32)ERR_BAD_TARGET);
    // A workspace one byte short fails before anything is drawn.
    std::vector<u8> before = h.pixels();
    EXPECT_FALSE(h.frame(1, h.info.workspace_bytes - 1));
    EXPECT_EQ(h.err.code, (u32)ERR_BAD_TARGET);
    EXPECT_EQ(h.err.offset, 0u);
    EXPECT_EQ(h.pixels(), before);
    // Canvases that break a rule.
    PixelBuffer good = h.canvas;
    PixelBuffer bad[5] = {good, good, good, good, good};
    bad[0].width--;
    bad[1].height++;
    bad[2].pixels += 4;
    bad[3].stride = 4 * good.width + 8;
    bad[4].stride = 32;  // a multiple of 16 below 4 x width
    for (PixelBuffer& c : bad) {
        h.canvas = c;
        EXPECT_FALSE(h.frame(1));
        EXPECT_EQ(h.err.code, (u32)ERR_BAD_TARGET);
    }
    h.canvas = good;
    EXPECT_EQ(h.pixels(), before);
    ASSERT_TRUE(h.frame(1));
    ASSERT_TRUE(h.frame(2));
    // Going back needs frame 0 again.
    EXPECT_FALSE(h.frame(1));
    ASSERT_TRUE(h.frame(0));
}

TEST(GifFrame, StateChecks) {
    Harness h(three_frames());
    EXPECT_FALSE(h.frame(1));  // no state at all
    EXPECT_EQ(h.err.code, (u32)ERR_BAD_TARGET);
    ASSERT_TRUE(h.frame(0));
    GifState good;
    memcpy(&good, h.work, sizeof good);
    EXPECT_EQ(good.magic, (u64)GIF_STATE_MAGIC);
    EXPECT_EQ(good.next_frame, 1u);
    EXPECT_EQ(good.pending_disposal, 3u);
    EXPECT_EQ(good.pending_w, 9u);
    EXPECT_EQ(good.pending_h, 7u);
    auto with = [&](auto change) {
        GifState s = good;
        change(s);
        memcpy(h.work, &s, sizeof s);
        bool ok = h.frame(1);
        memcpy(h.work, &good, sizeof good);
        return ok || h.err.code != ERR_BAD_TARGET;
    };
    EXPECT_FALSE(with([](GifState& s) { s.magic ^= 1; }));
    EXPECT_FALSE(with([](GifState& s) { s.next_frame = 2; }));
    EXPECT_FALSE(with([&](GifState& s) { s.scan_pos = h.file.size() + 1; }));
    EXPECT_FALSE(with([](GifState& s) { s.pending_disposal = 8; }));
    EXPECT_FALSE(with([](GifState& s) { s.pending_x = 1; }));
    EXPECT_FALSE(with([](GifState& s) { s.pending_y = ~0ull; }));
    EXPECT_FALSE(with([](GifState& s) { s.pending_w = ~0ull; s.pending_x = 1; }));
    // Disposal 3 with an area above the restore maximum.
    EXPECT_FALSE(with([&](GifState& s) { s.pending_w = 9, s.pending_h = 7, s.pending_x = 0; h.info.max_restore_pixels--; }));
    h.info.max_restore_pixels++;
    EXPECT_TRUE(h.frame(1));
}

TEST(GifFrame, AFailedFrameLeavesCanvasAndState) {
    Scene s(9, 7, 8);
    s.add(0, 0, 9, 7, 2);
    s.add(1, 1, 4, 4, 3);
    s.add(2, 2, 5, 5);
    s.build();
    Bytes file = s.file;
    // Break frame 2's codes: an end code right at the start.
    GifInfo info;
    ImageHeader header;
    CodecError err;
    ASSERT_TRUE(gif_read_header(file.data(), file.size(), &header, &info, &err));
    GifFrame f;
    ASSERT_TRUE(gif_frame_info(file.data(), file.size(), &info, 2, &f, &err));
    ASSERT_EQ(file[f.code_size_pos], 3);
    file[f.code_size_pos + 2] = 0x98;  // clear then end in 4-bit codes: no pixels
    Harness h(file);
    ASSERT_TRUE(h.frame(0));
    ASSERT_TRUE(h.frame(1));
    GifState state;
    memcpy(&state, h.work, sizeof state);
    std::vector<u8> before = h.pixels();
    EXPECT_FALSE(h.frame(2));
    EXPECT_NE(h.err.code, (u32)ERR_BAD_TARGET);
    EXPECT_EQ(h.pixels(), before);
    EXPECT_EQ(memcmp(&state, h.work, sizeof state), 0);
    // The trailer where a frame should be (a GifInfo that claims more frames).
    Harness t(s.file);
    t.info.frame_count = 4;
    for (u32 n = 0; n < 3; n++) ASSERT_TRUE(t.frame(n));
    EXPECT_FALSE(t.frame(3));
    EXPECT_EQ(t.err.code, (u32)ERR_BAD_HEADER);
    EXPECT_EQ(t.err.offset, s.file.size() - 1);
    // A frame larger than the GifInfo allows.
    Harness m(s.file);
    m.info.max_frame_pixels = 20;
    m.info.workspace_bytes = 0;
    EXPECT_FALSE(m.frame(0));
    EXPECT_EQ(m.err.code, (u32)ERR_BAD_TARGET);
}

// ---- Kernels ------------------------------------------------------------------------------

TEST(GifKernels, EveryVariantMatchesTheScalarTwin) {
    std::mt19937 rng(5);
    alignas(32) u32 lut[256];
    for (u32& v : lut) v = rng();
    for (u32 variant : {GIF_KERNELS_SSE2, GIF_KERNELS_AVX2}) {
        if (!gif_kernels_supported(variant)) continue;
        ASSERT_TRUE(gif_kernels_force(variant));
        for (u32 count = 0; count < 70; count++) {
            for (i32 t : {256, 0, 7, 255}) {
                std::vector<u8> idx(count + 1);
                for (u8& v : idx) v = (u8)(rng() % 3 == 0 ? t & 0xFF : rng());
                std::vector<u32> a(count + 2), b;
                for (u32& v : a) v = rng();
                b = a;
                gif_compose_scalar(idx.data() + 1, count, lut, t, (u8*)(a.data() + 1));
                gif_kernels.compose(idx.data() + 1, count, lut, t, (u8*)(b.data() + 1));
                ASSERT_EQ(a, b) << variant << " " << count << " " << t;
            }
            std::vector<u8> idx(count);
            for (u8& v : idx) v = (u8)(rng() % 200);
            ASSERT_EQ(gif_kernels.max_index(idx.data(), count), gif_max_index_scalar(idx.data(), count));
        }
        // Every position of the maximum, every value.
        for (u32 m = 0; m < 256; m++) {
            std::vector<u8> idx(37, 0);
            idx[m % 37] = (u8)m;
            ASSERT_EQ(gif_kernels.max_index(idx.data(), 37), m);
        }
    }
    gif_kernels_select();
}

TEST(GifKernels, DecodesAlikeUnderEveryVariant) {
    Scene s(40, 30, 64);
    s.add(0, 0, 40, 30, 0, 5);
    s.add(3, 2, 33, 21, 3, 9, 0, true);
    s.add(7, 7, 17, 9, 2, 256, 128);
    s.build();
    std::vector<std::vector<std::vector<u32>>> results;
    for (u32 variant : {GIF_KERNELS_SCALAR, GIF_KERNELS_SSE2, GIF_KERNELS_AVX2}) {
        if (!gif_kernels_force(variant)) continue;
        Decoded d = decode_all(s.file);
        ASSERT_TRUE(d.ok);
        results.push_back(d.frames);
    }
    gif_kernels_select();
    for (auto& r : results) EXPECT_EQ(r, results[0]);
    EXPECT_EQ(results[0], reference_compose(40, 30, s.frames));
}

// A caller that knows the canvas is all zero (fresh memory) lets frame 0 skip
// clearing the screen: the frames come out the same as from a cleared
// canvas, and the parts frame 0 does not cover are indeed left untouched.
TEST(GifFrame, ZeroCanvasIsNotClearedAgain) {
    Scene s(40, 30, 8);
    s.add(5, 4, 10, 7);
    s.add(20, 10, 12, 12, 2, 3);
    s.add(0, 0, 40, 30, 0, 5);
    s.build();
    Decoded want = decode_all(s.file);
    ASSERT_TRUE(want.ok);
    GifInfo info = want.info;
    std::vector<u8> ws(info.workspace_bytes + 64);
    u8* work = (u8*)(((uintptr_t)ws.data() + 63) & ~(uintptr_t)63);
    u64 stride = row_stride(info.width);
    for (u8 fill : {0x00, 0xAB}) {
        std::vector<u8> mem(stride * info.height + 64, fill);
        PixelBuffer canvas = {(u8*)(((uintptr_t)mem.data() + 31) & ~(uintptr_t)31), stride, info.width, info.height};
        i32 done = -1;
        CodecError err;
        ASSERT_TRUE(gif_decode_frames(s.file.data(), s.file.size(), &info, work, info.workspace_bytes, 0, 0, &canvas,
                                      true, &done, &err));
        EXPECT_EQ(done, 0);
        u32 corner;
        memcpy(&corner, canvas.pixels, 4);
        EXPECT_EQ(corner, fill * 0x01010101u);  // outside frame 0: not written
        if (fill != 0) continue;
        ASSERT_TRUE(gif_decode_frames(s.file.data(), s.file.size(), &info, work, info.workspace_bytes, 1, 2, &canvas,
                                      true, &done, &err));
        EXPECT_EQ(done, 2);
        for (u32 y = 0; y < info.height; y++) {
            ASSERT_EQ(memcmp(canvas.pixels + y * stride, &want.frames[2][(size_t)y * info.width], 4 * info.width), 0)
                << "row " << y;
        }
    }
}
