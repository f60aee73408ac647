// Animated WebP against libwebp's animation decoder (WebPAnimDecoder, RGBA):
// files assembled with libwebp's muxer from lossy (with and without alpha)
// and lossless frames at offsets, with every blend and disposal method, and
// files from libwebp's animation encoder; every frame's canvas is exact,
// stepping forward and jumping back. A damaged frame fails and leaves the
// canvas as the last good frame.
#include <gtest/gtest.h>

#include <algorithm>

#include "codec/job.h"
#include "codec/probe.h"
#include "tests/codec/webp/libwebp_support.h"
#include "tests/codec/webp/webp_support.h"

using namespace webp_test;

namespace {

u32 next_random(u32* s) {
    *s = *s * 1664525u + 1013904223u;
    return *s >> 8;
}

// A w x h picture with soft colour, some translucent and transparent areas.
std::vector<u8> picture(u32 w, u32 h, u32 seed, bool alpha) {
    std::vector<u8> p((size_t)w * h * 4);
    u32 s = seed * 7919 + 3;
    for (u32 y = 0; y < h; y++) {
        for (u32 x = 0; x < w; x++) {
            u8* px = &p[((size_t)y * w + x) * 4];
            px[0] = (u8)(x * 9 + seed * 40 + (next_random(&s) & 7));
            px[1] = (u8)(y * 7 + seed * 13);
            px[2] = (u8)((x ^ y) * 5 + seed);
            u32 a = 255;
            if (alpha) {
                a = ((x / 6 + y / 5 + seed) % 3 == 0) ? 0 : ((x + y) % 4 == 0 ? 128 : 255);
                if (x > w / 2) a = (x * 255) / w;
            }
            px[3] = (u8)a;
        }
    }
    return p;
}

struct Frame {
    u32 x, y, w, h;
    bool lossless;
    bool alpha;
    bool blend;
    bool dispose_bg;
    u32 duration;
};

std::vector<u8> still(const std::vector<u8>& rgba, u32 w, u32 h, bool lossless) {
    if (lossless) return ref_encode_lossless(rgba, w, h, {4, 75, true});
    LossyOptions o;
    o.quality = 70;
    return ref_encode_lossy(rgba, w, h, o);
}

std::vector<u8> mux_animation(u32 cw, u32 ch, const std::vector<Frame>& frames, u32 loops) {
    std::vector<u8> out;
    WebPMux* mux = WebPMuxNew();
    std::vector<std::vector<u8>> images;
    for (size_t k = 0; k < frames.size(); k++) {
        const Frame& f = frames[k];
        images.push_back(still(picture(f.w, f.h, (u32)k + 1, f.alpha), f.w, f.h, f.lossless));
        WebPMuxFrameInfo info;
        memset(&info, 0, sizeof info);
        info.bitstream.bytes = images.back().data();
        info.bitstream.size = images.back().size();
        info.x_offset = (int)f.x;
        info.y_offset = (int)f.y;
        info.duration = (int)f.duration;
        info.id = WEBP_CHUNK_ANMF;
        info.dispose_method = f.dispose_bg ? WEBP_MUX_DISPOSE_BACKGROUND : WEBP_MUX_DISPOSE_NONE;
        info.blend_method = f.blend ? WEBP_MUX_BLEND : WEBP_MUX_NO_BLEND;
        if (WebPMuxPushFrame(mux, &info, 1) != WEBP_MUX_OK) ADD_FAILURE() << "frame " << k;
    }
    WebPMuxAnimParams params = {0xFF336699u, (int)loops};
    WebPMuxSetAnimationParams(mux, &params);
    WebPMuxSetCanvasSize(mux, (int)cw, (int)ch);
    WebPData data;
    WebPDataInit(&data);
    if (WebPMuxAssemble(mux, &data) == WEBP_MUX_OK) out.assign(data.bytes, data.bytes + data.size);
    WebPDataClear(&data);
    WebPMuxDelete(mux);
    return out;
}

// Every canvas of libwebp's animation decoder.
std::vector<std::vector<u8>> ref_frames(const std::vector<u8>& file, u32* w, u32* h) {
    std::vector<std::vector<u8>> frames;
    WebPAnimDecoderOptions o;
    WebPAnimDecoderOptionsInit(&o);
    o.color_mode = MODE_RGBA;
    o.use_threads = 0;
    WebPData data = {file.data(), file.size()};
    WebPAnimDecoder* dec = WebPAnimDecoderNew(&data, &o);
    if (!dec) return frames;
    WebPAnimInfo info;
    WebPAnimDecoderGetInfo(dec, &info);
    *w = info.canvas_width;
    *h = info.canvas_height;
    while (WebPAnimDecoderHasMoreFrames(dec)) {
        u8* buf;
        int ts;
        if (!WebPAnimDecoderGetNext(dec, &buf, &ts)) break;
        frames.emplace_back(buf, buf + (size_t)*w * *h * 4);
    }
    WebPAnimDecoderDelete(dec);
    return frames;
}

// A decode job over the file, memory laid out as the application does.
struct Job {
    std::vector<u8> bytes;
    ImageInfo info{};
    CodecError err{};
    std::vector<u8> memory;
    DecodeJob job{};
    bool ok = false;
    explicit Job(std::vector<u8> file) : bytes(std::move(file)) {
        if (!probe_image(bytes.data(), bytes.size(), &info, &err)) return;
        u64 scratch = align64(info.scratch_bytes), pixels = align64(info.pixel_bytes);
        memory.assign(scratch + pixels + 64, 0xA5);
        u8* base = (u8*)(((uintptr_t)memory.data() + 63) & ~(uintptr_t)63);
        ok = start_job(&job, ByteSpan{bytes.data(), bytes.size()}, &info, base, info.scratch_bytes, base + scratch,
                       &err);
    }
    bool show(u32 frame) {
        job.requested_frame = frame;
        return decode_step(&job, &err);
    }
    std::vector<u8> canvas() const {
        std::vector<u8> out((size_t)info.width * info.height * 4);
        for (u32 y = 0; y < info.height; y++) {
            memcpy(&out[(size_t)y * info.width * 4], job.pixels.pixels + (u64)y * job.pixels.stride,
                   (size_t)info.width * 4);
        }
        return out;
    }
};

std::string first_difference(const std::vector<u8>& a, const std::vector<u8>& b, u32 w) {
    size_t i = 0;
    while (i < a.size() && a[i] == b[i]) i++;
    if (i == a.size()) return "none";
    return "pixel (" + std::to_string(i / 4 % w) + ", " + std::to_string(i / 4 / w) + ") channel " +
           std::to_string(i % 4) + ": ours " + std::to_string(a[i]) + " libwebp " + std::to_string(b[i]);
}

void expect_every_frame(const std::vector<u8>& file) {
    ASSERT_FALSE(file.empty());
    u32 w = 0, h = 0;
    std::vector<std::vector<u8>> ref = ref_frames(file, &w, &h);
    ASSERT_FALSE(ref.empty());
    Job j(file);
    ASSERT_TRUE(j.ok) << j.err.code << " at " << j.err.offset;
    ASSERT_EQ(j.info.width, w);
    ASSERT_EQ(j.info.height, h);
    ASSERT_EQ(j.info.frame_count, (u32)ref.size());
    for (u32 k = 0; k < ref.size(); k++) {
        ASSERT_TRUE(j.show(k)) << "frame " << k << ": " << j.err.code << " at " << j.err.offset;
        ASSERT_EQ(j.job.decoded_frame, (i32)k);
        std::vector<u8> ours = j.canvas();
        ASSERT_TRUE(ours == ref[k]) << "frame " << k << ": " << first_difference(ours, ref[k], w);
    }
    // Back to earlier frames, and forward again.
    for (u32 k : {0u, (u32)ref.size() / 2, (u32)ref.size() - 1, 1u % (u32)ref.size()}) {
        ASSERT_TRUE(j.show(k));
        ASSERT_TRUE(j.canvas() == ref[k]) << "again frame " << k;
    }
}

}  // namespace

TEST(WebpAnimation, EveryBlendAndDisposalWithMixedFrames) {
    // Frames cover the canvas or parts of it (even offsets), lossy with and
    // without alpha and lossless, each blend and disposal method in turn.
    const std::vector<Frame> frames = {
        {0, 0, 60, 40, false, true, true, false, 100},  {10, 6, 30, 20, true, true, true, false, 50},
        {20, 10, 40, 30, false, true, true, true, 70},  {0, 0, 24, 16, false, false, true, false, 30},
        {4, 4, 50, 30, true, true, false, true, 40},    {30, 20, 30, 20, false, true, true, false, 0},
        {0, 0, 60, 40, true, false, true, true, 20},    {2, 2, 40, 36, false, true, true, false, 90},
        {0, 0, 60, 40, false, true, false, false, 10},  {8, 8, 20, 20, true, true, true, true, 10},
        {6, 0, 54, 40, false, true, true, false, 10},
    };
    expect_every_frame(mux_animation(60, 40, frames, 3));
    Job j(mux_animation(60, 40, frames, 3));
    ASSERT_TRUE(j.ok);
    EXPECT_EQ(j.info.play_count, 3u);
    EXPECT_EQ(frame_delay(&j.job, 0), 10u);
    EXPECT_EQ(frame_delay(&j.job, 1), 5u);
    EXPECT_EQ(frame_delay(&j.job, 5), 0u);
}

TEST(WebpAnimation, KeyFramesAfterClearedFrames) {
    // A full frame cleared to the background makes the next a key frame, as
    // does a cleared key frame; translucent frames blend otherwise.
    const std::vector<Frame> frames = {
        {10, 10, 20, 20, false, true, true, true, 100}, {0, 0, 40, 40, true, true, true, true, 100},
        {6, 6, 20, 20, false, true, true, false, 100},  {0, 0, 40, 40, false, true, true, true, 100},
        {12, 12, 16, 16, true, true, true, false, 100},
    };
    expect_every_frame(mux_animation(40, 40, frames, 0));
}

TEST(WebpAnimation, FromTheAnimationEncoder) {
    // libwebp's encoder picks sub-rectangles, blending and disposal itself,
    // and mixes lossy and lossless frames.
    const u32 w = 80, h = 64;
    WebPAnimEncoderOptions ao;
    WebPAnimEncoderOptionsInit(&ao);
    ao.allow_mixed = 1;
    ao.kmax = 4;
    ao.kmin = 2;
    WebPAnimEncoder* enc = WebPAnimEncoderNew((int)w, (int)h, &ao);
    ASSERT_NE(enc, nullptr);
    int timestamp = 0;
    for (u32 k = 0; k < 12; k++) {
        std::vector<u8> rgba = picture(w, h, k % 4, k % 3 != 0);
        // Only part of the picture changes from frame to frame.
        for (u32 y = 0; y < h; y++) {
            for (u32 x = 0; x < w; x++) {
                if ((x / 20 + y / 16) % 4 != k % 4) memcpy(&rgba[((size_t)y * w + x) * 4], "\x40\x80\xC0\xFF", 4);
            }
        }
        WebPConfig config;
        WebPConfigInit(&config);
        config.lossless = k % 2;
        config.quality = 60;
        WebPPicture pic;
        WebPPictureInit(&pic);
        pic.use_argb = 1;
        pic.width = (int)w;
        pic.height = (int)h;
        WebPPictureImportRGBA(&pic, rgba.data(), (int)w * 4);
        ASSERT_TRUE(WebPAnimEncoderAdd(enc, &pic, timestamp, &config));
        WebPPictureFree(&pic);
        timestamp += 40;
    }
    WebPAnimEncoderAdd(enc, nullptr, timestamp, nullptr);
    WebPData data;
    WebPDataInit(&data);
    ASSERT_TRUE(WebPAnimEncoderAssemble(enc, &data));
    std::vector<u8> file(data.bytes, data.bytes + data.size);
    WebPDataClear(&data);
    WebPAnimEncoderDelete(enc);
    expect_every_frame(file);
}

TEST(WebpAnimation, AFailedFrameLeavesTheLastGoodFrame) {
    const std::vector<Frame> frames = {
        {0, 0, 32, 32, false, true, true, false, 100},
        {0, 0, 32, 32, true, true, true, false, 100},
        {8, 8, 16, 16, false, false, true, false, 100},
    };
    std::vector<u8> file = mux_animation(32, 32, frames, 0);
    u32 w, h;
    std::vector<std::vector<u8>> ref = ref_frames(file, &w, &h);
    ASSERT_EQ(ref.size(), 3u);
    // Cut the last frame's VP8 data short inside its chunk: the chunk sizes
    // stay sound, the partitions run out.
    const char* tag = "VP8 ";
    auto last = std::find_end(file.begin(), file.end(), tag, tag + 4);
    ASSERT_NE(last, file.end());
    size_t at = (size_t)(last - file.begin()) + 8 + 12;
    for (size_t i = at; i < file.size(); i++) file[i] = 0;
    // Make the first partition claim everything, so the token partition is
    // empty: the frame cannot decode.
    u32 chunk = file[at - 12 - 4] | (file[at - 12 - 3] << 8) | (file[at - 12 - 2] << 16);
    u32 tagbits = ((chunk - 10) << 5) | 0x10;
    file[at - 12] = (u8)tagbits;
    file[at - 11] = (u8)(tagbits >> 8);
    file[at - 10] = (u8)(tagbits >> 16);
    Job j(file);
    ASSERT_TRUE(j.ok) << j.err.code;
    ASSERT_TRUE(j.show(1));
    EXPECT_TRUE(j.canvas() == ref[1]);
    EXPECT_FALSE(j.show(2));
    EXPECT_EQ(j.err.code, (u32)ERR_TRUNCATED);
    EXPECT_EQ(j.job.decoded_frame, 1);
    EXPECT_TRUE(j.canvas() == ref[1]);
    // Going back still works.
    ASSERT_TRUE(j.show(0));
    EXPECT_TRUE(j.canvas() == ref[0]);
}
