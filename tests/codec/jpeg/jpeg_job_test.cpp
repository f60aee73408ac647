// The JPEG decode job: before the second stage every level from 0 to the
// preview's level 3 is served from the preview (level 0 is the preview
// enlarged 8 times by replication) and the whole image is not available;
// after it, only level 0 (full-resolution tiles) and level 3 (the preview)
// are served, and the whole image assembles from the level-0 tiles.
#include <gtest/gtest.h>

#include <vector>

#include "codec/job.h"
#include "codec/probe.h"
#include "libjpeg_support.h"

namespace {

struct JpegJob {
    std::vector<u8> bytes;
    ImageInfo info{};
    CodecError err{};
    std::vector<u8> memory;
    DecodeJob job{};

    explicit JpegJob(std::vector<u8> file) : bytes(std::move(file)) {
        EXPECT_TRUE(probe_image(bytes.data(), bytes.size(), &info, &err)) << err.code;
        u64 scratch = align64(info.scratch_bytes), pixels = align64(info.pixel_bytes);
        memory.assign(scratch + pixels + info.extra_bytes + 64, 0xA5);
        u8* base = (u8*)(((uintptr_t)memory.data() + 63) & ~(uintptr_t)63);
        EXPECT_TRUE(start_job(&job, ByteSpan{bytes.data(), bytes.size()}, &info, base, info.scratch_bytes,
                              base + scratch, &err));
    }
    bool tile(u32 level, u32 column, u32 row, std::vector<u32>* out) {
        out->assign(65536, 0);
        PixelBuffer pb = {(u8*)out->data(), 1024, 256, 256};
        return render_tile(&job, level, column, row, &pb, &err);
    }
};

TEST(JpegJob, LevelsBeforeAndAfterTheSecondStage) {
    EncodeOptions o;
    o.width = 601;
    o.height = 333;
    o.quality = 90;
    JpegJob j(ref_encode(o));
    ASSERT_EQ(j.info.decoder, (u32)DECODER_JPEG);
    ASSERT_EQ(j.info.preview_level, 3u);
    std::vector<u32> tile;
    std::vector<u8> whole(full_resolution_bytes(&j.job));
    PixelBuffer result{};
    // Before the second stage: no whole image, levels 0 to 3 from the preview.
    EXPECT_FALSE(full_resolution_pixels(&j.job, whole.data(), &result, &j.err));
    EXPECT_EQ(j.err.code, (u32)ERR_BAD_TARGET);
    for (u32 level = 0; level <= 3; level++) EXPECT_TRUE(j.tile(level, 0, 0, &tile)) << level;
    EXPECT_FALSE(j.tile(4, 0, 0, &tile));
    EXPECT_EQ(j.err.code, (u32)ERR_BAD_TARGET);
    const PixelBuffer& preview = j.job.pixels;
    ASSERT_EQ(preview.width, 76u);  // ceil(601 / 8)
    ASSERT_EQ(preview.height, 42u);
    // Level 0, tile (2, 1): each preview pixel repeated 8 x 8, the part past
    // the image edge-filled.
    ASSERT_TRUE(j.tile(0, 2, 1, &tile));
    for (u32 y = 0; y < 256; y++) {
        for (u32 x = 0; x < 256; x++) {
            u32 ix = std::min(512 + x, 600u), iy = std::min(256 + y, 332u);
            u32 expected;
            memcpy(&expected, preview.pixels + (u64)(iy >> 3) * preview.stride + (ix >> 3) * 4, 4);
            ASSERT_EQ(tile[y * 256 + x], expected) << x << "," << y;
        }
    }
    // Level 3 is the preview itself.
    ASSERT_TRUE(j.tile(3, 0, 0, &tile));
    u32 p00, p_last;
    memcpy(&p00, preview.pixels, 4);
    memcpy(&p_last, preview.pixels + 41 * preview.stride + 75 * 4, 4);
    EXPECT_EQ(tile[0], p00);
    EXPECT_EQ(tile[41 * 256 + 75], p_last);

    // After the second stage: levels 0 and 3 only.
    ASSERT_TRUE(finish_full_resolution(&j.job, &j.err)) << j.err.code;
    EXPECT_TRUE(j.tile(0, 0, 0, &tile));
    EXPECT_TRUE(j.tile(3, 0, 0, &tile));
    for (u32 level : {1u, 2u, 4u}) {
        EXPECT_FALSE(j.tile(level, 0, 0, &tile)) << level;
        EXPECT_EQ(j.err.code, (u32)ERR_BAD_TARGET);
    }
    // The whole image equals its level-0 tiles, and is close to libjpeg-turbo's
    // decode (both use the accurate transform; upsampling may differ by a step).
    ASSERT_TRUE(full_resolution_pixels(&j.job, whole.data(), &result, &j.err)) << j.err.code;
    ASSERT_EQ(result.width, 601u);
    ASSERT_EQ(result.height, 333u);
    RefImage ref = ref_decode(j.bytes, 1, true, JCS_RGB);
    ASSERT_TRUE(ref.ok);
    u32 worst = 0;
    for (u32 row = 0; row * 256 < 333; row++) {
        for (u32 col = 0; col * 256 < 601; col++) {
            ASSERT_TRUE(j.tile(0, col, row, &tile));
            for (u32 y = 0; y < 256 && row * 256 + y < 333; y++) {
                for (u32 x = 0; x < 256 && col * 256 + x < 601; x++) {
                    u32 ix = col * 256 + x, iy = row * 256 + y;
                    u32 v;
                    memcpy(&v, result.pixels + (u64)iy * result.stride + ix * 4, 4);
                    ASSERT_EQ(tile[y * 256 + x], v) << ix << "," << iy;
                    for (u32 c = 0; c < 3; c++) {
                        int a = (v >> (8 * c)) & 0xFF, b = ref.pixels[((size_t)iy * 601 + ix) * 3 + c];
                        worst = std::max(worst, (u32)std::abs(a - b));
                    }
                }
            }
        }
    }
    EXPECT_LE(worst, 3u);
}

}  // namespace
