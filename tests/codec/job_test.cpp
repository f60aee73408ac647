// Probes and decode jobs over real files: the probe's fields, the job's
// frames going forward and back, frame delays, tile requests with their
// edge fill and red/blue swap, and level-0 tiles that put together give the
// full-resolution image.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "codec/job.h"
#include "codec/probe.h"
#include "codec/webp/webp.h"
#include "tests/codec/png/png_support.h"

namespace fs = std::filesystem;

static std::vector<u8> read_all(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::vector<u8>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// A job with its memory laid out as the application lays it out.
struct Job {
    std::vector<u8> bytes;
    ImageInfo info{};
    CodecError err{};
    std::vector<u8> memory;
    DecodeJob job{};
    bool ok = false;

    explicit Job(const fs::path& p) : Job(read_all(p)) {}
    explicit Job(std::vector<u8> file) : bytes(std::move(file)) {
        if (!probe_image(bytes.data(), bytes.size(), &info, &err)) return;
        u64 scratch = align64(info.scratch_bytes), pixels = align64(info.pixel_bytes);
        memory.assign(scratch + pixels + info.extra_bytes + 64, 0);
        u8* base = (u8*)(((uintptr_t)memory.data() + 63) & ~(uintptr_t)63);
        ok = start_job(&job, ByteSpan{bytes.data(), bytes.size()}, &info, base, info.scratch_bytes, base + scratch,
                       &err);
    }
};

static fs::path data(const char* name) {
    return fs::path(QB_SOURCE_DIR) / "tests" / "data" / name;
}

TEST(Probe, EdgeCases) {
    ImageInfo info;
    CodecError err;
    EXPECT_FALSE(probe_image(nullptr, 0, &info, &err));
    EXPECT_EQ(err.code, ERR_BAD_SIGNATURE);
    const u8 riff_like[] = {'R', 'I', 'F', 'X', 0, 0, 0, 0};
    EXPECT_FALSE(probe_image(riff_like, sizeof riff_like, &info, &err));
    EXPECT_EQ(err.code, ERR_BAD_SIGNATURE);  // refused by the WebP probe: not a RIFF file
    EXPECT_EQ(err.offset, 0u);
    const u8 riff_not_webp[] = {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'};
    EXPECT_FALSE(probe_image(riff_not_webp, sizeof riff_not_webp, &info, &err));
    EXPECT_EQ(err.code, ERR_BAD_SIGNATURE);
    EXPECT_EQ(err.offset, 8u);
    const u8 riff_cut[] = {'R', 'I', 'F', 'F', 4, 0};
    EXPECT_FALSE(probe_image(riff_cut, sizeof riff_cut, &info, &err));
    EXPECT_EQ(err.code, ERR_TRUNCATED);  // the WebP probe's error, not the sniffer's
    const u8 text[] = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_FALSE(probe_image(text, sizeof text, &info, &err));
    EXPECT_EQ(err.code, ERR_BAD_SIGNATURE);
    const u8 cut_png[] = {0x89, 'P', 'N', 'G', '\r', '\n'};
    EXPECT_FALSE(probe_image(cut_png, sizeof cut_png, &info, &err));
    EXPECT_EQ(err.code, ERR_TRUNCATED);
    EXPECT_EQ(info.width, 0u);
}

TEST(Probe, StillAndAnimatedPng) {
    Job still(data("small-rgb.png"));
    ASSERT_TRUE(still.ok) << still.err.code;
    EXPECT_EQ(still.info.decoder, DECODER_PNG);
    EXPECT_EQ(still.info.width, 40u);
    EXPECT_EQ(still.info.height, 30u);
    EXPECT_EQ(still.info.frame_count, 1u);
    EXPECT_EQ(still.info.play_count, 1u);
    EXPECT_EQ(still.info.preview_level, 0u);
    EXPECT_EQ(still.info.pixel_bytes, row_stride(40) * 30 + 32);
    EXPECT_EQ(still.info.extra_bytes, 0u);
    Job anim(data("three-frames.png"));
    ASSERT_TRUE(anim.ok);
    EXPECT_EQ(anim.info.frame_count, 3u);
    EXPECT_EQ(anim.info.play_count, 0u);
}

static u32 pixel(const DecodeJob& j, u32 x, u32 y) {
    return ((const u32*)(j.pixels.pixels + (u64)y * j.pixels.stride))[x];
}

TEST(Job, AnimationFramesForwardAndBackAndDelays) {
    Job a(data("three-frames.png"));
    ASSERT_TRUE(a.ok);
    // Delays of 1/0, 1/3 and 10/100 seconds in hundredths.
    EXPECT_EQ(frame_delay(&a.job, 0), 1u);
    EXPECT_EQ(frame_delay(&a.job, 1), 33u);
    EXPECT_EQ(frame_delay(&a.job, 2), 10u);
    EXPECT_EQ(frame_delay(&a.job, 3), 0u);
    // Frame 0 is red; frame 1 blends a half-transparent green square over it
    // at (8, 8); frame 2 replaces (24, 4) 20 x 24 with blue.
    const u32 red = 0xFF2828DCu;  // bytes R, G, B, A in memory
    ASSERT_TRUE(decode_step(&a.job, &a.err));
    EXPECT_EQ(pixel(a.job, 10, 10), red);
    a.job.requested_frame = 2;
    ASSERT_TRUE(decode_step(&a.job, &a.err));
    EXPECT_EQ(a.job.decoded_frame, 2);
    EXPECT_EQ(pixel(a.job, 30, 10), 0xFFDC2828u);
    u32 blended = pixel(a.job, 10, 10);
    EXPECT_NE(blended, red);
    // Going back to frame 0 decodes it again from the start.
    a.job.requested_frame = 0;
    ASSERT_TRUE(decode_step(&a.job, &a.err));
    EXPECT_EQ(pixel(a.job, 10, 10), red);
    EXPECT_EQ(pixel(a.job, 30, 10), red);
    a.job.requested_frame = 1;
    ASSERT_TRUE(decode_step(&a.job, &a.err));
    EXPECT_EQ(pixel(a.job, 10, 10), blended);
    a.job.requested_frame = 3;
    EXPECT_FALSE(decode_step(&a.job, &a.err));
    EXPECT_EQ(a.err.code, ERR_BAD_TARGET);
}

TEST(Job, TileRequests) {
    Job j(data("small-rgb.png"));
    ASSERT_TRUE(j.ok);
    std::vector<u32> tile(256 * 256);
    PixelBuffer t = {(u8*)tile.data(), 1024, 256, 256};
    EXPECT_FALSE(render_tile(&j.job, 1, 0, 0, &t, &j.err));  // a PNG serves level 0 only
    EXPECT_EQ(j.err.code, ERR_BAD_TARGET);
    EXPECT_FALSE(render_tile(&j.job, 0, 1, 0, &t, &j.err));  // origin past the image
    EXPECT_EQ(j.err.code, ERR_BAD_TARGET);
    ASSERT_TRUE(render_tile(&j.job, 0, 0, 0, &t, &j.err));
    // Valid part copied, the rest repeating the last column and row.
    for (u32 y = 0; y < 256; y++) {
        for (u32 x = 0; x < 256; x++) {
            u32 want = pixel(j.job, x < 40 ? x : 39, y < 30 ? y : 29);
            ASSERT_EQ(tile[y * 256 + x], want) << x << "," << y;
        }
    }
    // With the swap the tiles reach the screen as BGRA.
    j.job.swap_red_blue = true;
    ASSERT_TRUE(render_tile(&j.job, 0, 0, 0, &t, &j.err));
    u32 p = pixel(j.job, 5, 7);
    EXPECT_EQ(tile[7 * 256 + 5], (p & 0xFF00FF00u) | ((p & 0xFF) << 16) | ((p >> 16) & 0xFF));
    PixelBuffer full;
    u8 none = 0;
    ASSERT_TRUE(full_resolution_pixels(&j.job, &none, &full, &j.err));
    EXPECT_EQ(full.width, 40u);
    EXPECT_EQ(full_resolution_bytes(&j.job), 0u);
}

// Every corpus PNG: its level-0 tiles put together equal the full-resolution
// pixels.
TEST(Job, CorpusTilesAssembleTheImage) {
    fs::path dir = fs::path(QB_SHARED_DIR) / "corpus" / "png" / "pngsuite";
    if (!fs::exists(dir)) GTEST_SKIP() << "no shared corpus at " << dir.string();
    std::vector<u32> tile(256 * 256);
    int checked = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".png" || entry.path().filename().string()[0] == 'x') continue;
        Job j(entry.path());
        if (!j.ok) continue;
        PixelBuffer full;
        ASSERT_TRUE(full_resolution_pixels(&j.job, nullptr, &full, &j.err)) << entry.path();
        PixelBuffer t = {(u8*)tile.data(), 1024, 256, 256};
        for (u32 row = 0; row * 256 < full.height; row++) {
            for (u32 column = 0; column * 256 < full.width; column++) {
                ASSERT_TRUE(render_tile(&j.job, 0, column, row, &t, &j.err)) << entry.path();
                for (u32 y = 0; y < 256 && row * 256 + y < full.height; y++) {
                    for (u32 x = 0; x < 256 && column * 256 + x < full.width; x++) {
                        u32 want = ((const u32*)(full.pixels + (u64)(row * 256 + y) * full.stride))[column * 256 + x];
                        ASSERT_EQ(tile[y * 256 + x], want) << entry.path() << " at " << x << "," << y;
                    }
                }
            }
        }
        checked++;
    }
    EXPECT_GT(checked, 100);
}

// A lossless WebP (600 x 400, made with libwebp's encoder, a half-
// transparent band on the left): the probe's fields, tiles of level 0 only,
// each equal to its part of the whole image and edge-filled, and the whole
// image from full_resolution_pixels.
TEST(Job, LosslessWebpTilesAndWholeImage) {
    Job j(data("lossless-600x400.webp"));
    ASSERT_TRUE(j.ok) << j.err.code << " at " << j.err.offset;
    EXPECT_EQ(j.info.decoder, DECODER_WEBP);
    EXPECT_EQ(j.info.width, 600u);
    EXPECT_EQ(j.info.height, 400u);
    EXPECT_EQ(j.info.frame_count, 1u);
    EXPECT_EQ(j.info.play_count, 0u);
    EXPECT_EQ(j.info.pixel_bytes, 64u);
    EXPECT_EQ(j.info.extra_bytes, 0u);
    EXPECT_GT(j.info.scratch_bytes, 600u * 400 * 4);

    u64 bytes = full_resolution_bytes(&j.job);
    EXPECT_EQ(bytes, row_stride(600) * 400 + 0x40020);
    std::vector<u8> memory(bytes + 64);
    u8* base = (u8*)(((uintptr_t)memory.data() + 63) & ~(uintptr_t)63);
    PixelBuffer full;
    ASSERT_TRUE(full_resolution_pixels(&j.job, base, &full, &j.err)) << j.err.code;
    EXPECT_EQ(full.width, 600u);
    EXPECT_EQ(full.stride, row_stride(600));
    auto at = [&](u32 x, u32 y) { return ((const u32*)(full.pixels + (u64)y * full.stride))[x]; };
    // RGBA bytes: red grows along x, green along y; alpha 255 right of 100.
    EXPECT_EQ(at(599, 399) >> 24, 255u);
    EXPECT_EQ(at(599, 0) & 0xFF, 599u * 255 / 600);
    EXPECT_LT(at(10, 10) >> 24, 255u);

    std::vector<u32> tile(256 * 256);
    PixelBuffer t = {(u8*)tile.data(), 1024, 256, 256};
    EXPECT_FALSE(render_tile(&j.job, 1, 0, 0, &t, &j.err));
    EXPECT_EQ(j.err.code, ERR_BAD_TARGET);
    EXPECT_FALSE(render_tile(&j.job, 0, 3, 0, &t, &j.err));
    EXPECT_EQ(j.err.code, ERR_BAD_TARGET);
    j.job.swap_red_blue = true;
    for (u32 row = 0; row < 2; row++) {
        for (u32 column = 0; column < 3; column++) {
            ASSERT_TRUE(render_tile(&j.job, 0, column, row, &t, &j.err));
            for (u32 y = 0; y < 256; y++) {
                for (u32 x = 0; x < 256; x++) {
                    u32 fx = column * 256 + x < 600 ? column * 256 + x : 599;
                    u32 fy = row * 256 + y < 400 ? row * 256 + y : 399;
                    u32 p = at(fx, fy);
                    u32 bgra = (p & 0xFF00FF00u) | ((p & 0xFF) << 16) | ((p >> 16) & 0xFF);
                    ASSERT_EQ(tile[y * 256 + x], bgra) << column << "," << row << " " << x << "," << y;
                }
            }
        }
    }

}

// A lossy WebP is decoded into planes kept in the scratch; tiles and the
// whole image are converted from them.
TEST(Job, LossyWebpTilesAndWholeImage) {
    Job j(data("lossy-64x48.webp"));
    ASSERT_TRUE(j.ok) << j.err.code << " at " << j.err.offset;
    EXPECT_EQ(j.info.decoder, DECODER_WEBP);
    EXPECT_EQ(j.info.width, 64u);
    EXPECT_EQ(j.info.height, 48u);
    EXPECT_EQ(j.info.frame_count, 1u);
    EXPECT_EQ(j.info.pixel_bytes, 64u);
    EXPECT_GE(j.info.scratch_bytes, vp8_scratch_bytes(64, 48));
    std::vector<u32> tile(256 * 256);
    PixelBuffer t = {(u8*)tile.data(), 1024, 256, 256};
    ASSERT_TRUE(render_tile(&j.job, 0, 0, 0, &t, &j.err)) << j.err.code << " at " << j.err.offset;
    u64 bytes = full_resolution_bytes(&j.job);
    std::vector<u8> memory(bytes + 64);
    u8* base = (u8*)(((uintptr_t)memory.data() + 63) & ~(uintptr_t)63);
    PixelBuffer full;
    ASSERT_TRUE(full_resolution_pixels(&j.job, base, &full, &j.err)) << j.err.code;
    ASSERT_EQ(full.width, 64u);
    ASSERT_EQ(full.height, 48u);
    bool varied = false;
    for (u32 y = 0; y < 256; y++) {
        for (u32 x = 0; x < 256; x++) {
            u32 p = ((const u32*)(full.pixels + (u64)(y < 48 ? y : 47) * full.stride))[x < 64 ? x : 63];
            ASSERT_EQ(tile[y * 256 + x], p) << x << "," << y;
            ASSERT_EQ(p >> 24, 255u);
            varied |= p != ((const u32*)full.pixels)[0];
        }
    }
    EXPECT_TRUE(varied);
    EXPECT_FALSE(render_tile(&j.job, 1, 0, 0, &t, &j.err));
    EXPECT_EQ(j.err.code, ERR_BAD_TARGET);
}

// An animation whose frame 2 carries a broken zlib stream (its chunk CRCs are
// right, so only decoding finds it). The failed frame has already applied
// frame 1's disposal (clear), so the canvas no longer shows frame 1: the job
// must not claim it does, and asking for frame 1 again decodes it afresh.
TEST(Job, AnimationFrameThatFailsLeavesNoFrameClaimed) {
    using namespace pngtest;
    const u32 w = 4, h = 4;
    auto rgba_rows = [&](u8 r, u8 g, u8 b) {
        Bytes raw;
        for (u32 y = 0; y < h; y++) {
            raw.push_back(0);
            for (u32 x = 0; x < w; x++) raw.insert(raw.end(), {r, g, b, 255});
        }
        return raw;
    };
    auto fctl = [&](u32 seq, u8 dispose) {
        Bytes d;
        put_be32(d, seq);
        put_be32(d, w);
        put_be32(d, h);
        put_be32(d, 0);
        put_be32(d, 0);
        put_be16(d, 1);
        put_be16(d, 10);
        d.push_back(dispose);
        d.push_back(0);  // source
        return d;
    };
    auto fdat = [&](u32 seq, const Bytes& z) {
        Bytes d;
        put_be32(d, seq);
        d.insert(d.end(), z.begin(), z.end());
        return d;
    };
    Bytes f = signature();
    chunk(f, "IHDR", ihdr_data(w, h, 8, 6, 0));
    Bytes actl;
    put_be32(actl, 3);
    put_be32(actl, 0);
    chunk(f, "acTL", actl);
    chunk(f, "fcTL", fctl(0, 0));
    chunk(f, "IDAT", zlib_stored(rgba_rows(200, 0, 0)));
    chunk(f, "fcTL", fctl(1, 1));  // frame 1 is cleared when frame 2 starts
    chunk(f, "fdAT", fdat(2, zlib_stored(rgba_rows(0, 200, 0))));
    chunk(f, "fcTL", fctl(3, 0));
    Bytes broken = zlib_stored(rgba_rows(0, 0, 200));
    broken[2] = 0x07;  // block type 3: invalid
    chunk(f, "fdAT", fdat(4, broken));
    chunk(f, "IEND", {});
    Job a(std::vector<u8>(f.begin(), f.end()));
    ASSERT_TRUE(a.ok) << a.err.code << " at " << a.err.offset;
    const u32 green = 0xFF00C800u;
    a.job.requested_frame = 1;
    ASSERT_TRUE(decode_step(&a.job, &a.err));
    EXPECT_EQ(pixel(a.job, 1, 1), green);
    a.job.requested_frame = 2;
    EXPECT_FALSE(decode_step(&a.job, &a.err));
    EXPECT_EQ(a.err.code, ERR_BAD_HEADER);
    u64 offset = a.err.offset;
    EXPECT_EQ(a.job.decoded_frame, -1);
    // Asked again, the frame fails the same way rather than on a poisoned
    // decoder.
    EXPECT_FALSE(decode_step(&a.job, &a.err));
    EXPECT_EQ(a.err.code, ERR_BAD_HEADER);
    EXPECT_EQ(a.err.offset, offset);
    a.job.requested_frame = 1;
    ASSERT_TRUE(decode_step(&a.job, &a.err)) << a.err.code;
    EXPECT_EQ(a.job.decoded_frame, 1);
    EXPECT_EQ(pixel(a.job, 1, 1), green);
}
