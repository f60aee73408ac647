// Lossless files made at test time with libwebp's encoder decode bit-exact
// to libwebp's decode: every method and several qualities with exact mode
// on and off (so every transform, the colour cache and the meta prefix
// codes appear), pictures of 1 to thousands of colours (every palette
// packing), widths from 1 to thousands, flat and noisy areas, and the first
// frame of an animation from libwebp's animation encoder. Tiles and bands
// of any rectangle equal the same part of the whole image.
#include <gtest/gtest.h>

#include "tests/codec/webp/libwebp_support.h"
#include "tests/codec/webp/webp_support.h"

using namespace webp_test;

namespace {

u32 next_random(u32* s) {
    *s = *s * 1664525u + 1013904223u;
    return *s >> 8;
}

enum Kind { NOISE, GRADIENT, MIXED, PALETTE };

// `colors` distinct colours for PALETTE (cells of random palette entries,
// some half transparent); otherwise smooth gradients, noise, or flat
// regions beside noise.
std::vector<u8> picture(Kind kind, u32 w, u32 h, u32 colors, u32 seed) {
    std::vector<u8> p((size_t)w * h * 4);
    u32 s = seed * 2654435761u + 7;
    std::vector<u32> palette(colors ? colors : 1);
    for (auto& c : palette) c = next_random(&s) | (next_random(&s) << 24);
    for (u32 k = 0; k < palette.size(); k++) {
        if (k % 3 == 1) palette[k] = (palette[k] & 0x00FFFFFF) | 0x80000000u;
    }
    for (u32 y = 0; y < h; y++) {
        for (u32 x = 0; x < w; x++) {
            u8* px = &p[((size_t)y * w + x) * 4];
            u32 v = 0;
            switch (kind) {
            case NOISE: v = next_random(&s) ^ (next_random(&s) << 16); break;
            case GRADIENT:
                v = ((x * 3 + y) & 255) | (((x + y * 2) & 255) << 8) | (((x * y) >> 4 & 255) << 16) | 0xFF000000u;
                if (((x / 9) ^ (y / 7)) & 1) v ^= next_random(&s) & 0x030303;
                break;
            case MIXED:
                v = (x < w / 2) ? (((y / 16) & 1) ? 0xFF336699u : 0xFFFFFFFFu) : next_random(&s) | 0xFF000000u;
                if (y > h / 2 && x < w / 2) v = 0x00000000u;
                break;
            case PALETTE:
                v = palette[((x / 3) * 7 + (y / 2) * 13 + (next_random(&s) % 4 == 0 ? next_random(&s) : 0)) %
                            palette.size()];
                break;
            }
            px[0] = (u8)(v >> 16);
            px[1] = (u8)(v >> 8);
            px[2] = (u8)v;
            px[3] = (u8)(v >> 24);
        }
    }
    return p;
}

void expect_same_as_libwebp(const std::vector<u8>& file) {
    ASSERT_FALSE(file.empty());
    RefImage ref = ref_decode(file);
    ASSERT_TRUE(ref.ok);
    Decoded ours = decode_whole(file);
    ASSERT_TRUE(ours.ok) << ours.err.code << " at " << ours.err.offset;
    ASSERT_EQ(ours.width, (u32)ref.width);
    ASSERT_EQ(ours.height, (u32)ref.height);
    if (ours.rgba != ref.rgba) {
        size_t i = 0;
        while (ours.rgba[i] == ref.rgba[i]) i++;
        FAIL() << "first difference at pixel " << i / 4 << " of " << ours.width << " x " << ours.height;
    }
}

}  // namespace

TEST(WebpReference, EveryMethodQualityAndExactMode) {
    const Kind kinds[] = {NOISE, GRADIENT, MIXED, PALETTE};
    for (Kind kind : kinds) {
        std::vector<u8> rgba = picture(kind, 67, 45, 40, kind + 1);
        for (int method = 0; method <= 6; method++) {
            for (float quality : {0.0f, 30.0f, 75.0f, 100.0f}) {
                for (bool exact : {false, true}) {
                    SCOPED_TRACE(testing::Message() << "kind " << kind << " method " << method << " quality "
                                                    << quality << " exact " << exact);
                    expect_same_as_libwebp(ref_encode_lossless(rgba, 67, 45, {method, quality, exact}));
                }
            }
        }
    }
}

TEST(WebpReference, PaletteSizesAndPackings) {
    // 1 and 2 colours pack 8 pixels a byte, 3 and 4 pack 4, 5 to 16 pack 2,
    // more are one a pixel; past 256 there is no palette.
    for (u32 colors : {1u, 2u, 3u, 4u, 5u, 16u, 17u, 256u, 257u, 3000u}) {
        for (u32 w : {1u, 3u, 8u, 17u, 33u, 100u}) {
            SCOPED_TRACE(testing::Message() << colors << " colours, width " << w);
            std::vector<u8> rgba = picture(PALETTE, w, 29, colors, colors + w);
            expect_same_as_libwebp(ref_encode_lossless(rgba, w, 29, {4, 75, false}));
        }
    }
}

TEST(WebpReference, WidthsFromOneToThousands) {
    for (u32 w : {1u, 2u, 7u, 9u, 15u, 16u, 31u, 63u, 64u, 65u, 255u, 256u, 257u, 1000u, 2049u, 4000u}) {
        u32 h = w > 1000 ? 9 : 21;
        for (Kind kind : {GRADIENT, MIXED}) {
            SCOPED_TRACE(testing::Message() << "width " << w << " kind " << kind);
            std::vector<u8> rgba = picture(kind, w, h, 0, w);
            expect_same_as_libwebp(ref_encode_lossless(rgba, w, h, {w > 1000 ? 1 : 4, 75, false}));
        }
    }
}

// Large flat areas (long back-references and the colour cache) and noise
// beside them, at a size where every kind of block appears.
TEST(WebpReference, LargeFlatAndNoisyAreas) {
    std::vector<u8> rgba = picture(MIXED, 700, 500, 0, 3);
    for (int method : {0, 3, 5}) {
        SCOPED_TRACE(method);
        expect_same_as_libwebp(ref_encode_lossless(rgba, 700, 500, {method, 60, true}));
    }
    std::vector<u8> grad = picture(GRADIENT, 640, 480, 0, 4);
    expect_same_as_libwebp(ref_encode_lossless(grad, 640, 480, {4, 90, false}));
}

TEST(WebpReference, FirstFrameOfAnAnimation) {
    std::vector<std::vector<u8>> frames = {picture(GRADIENT, 90, 70, 0, 1), picture(MIXED, 90, 70, 0, 2),
                                           picture(PALETTE, 90, 70, 12, 3)};
    std::vector<u8> file = ref_encode_animation(frames, 90, 70);
    ImageHeader header;
    CodecError err;
    ASSERT_TRUE(webp_read_header(file.data(), file.size(), &header, &err));
    EXPECT_EQ(header.frame_count, 3u);
    EXPECT_EQ(header.flags & WEBP_FLAG_ANIMATED, (u32)WEBP_FLAG_ANIMATED);
    Decoded ours = decode_whole(file);
    ASSERT_TRUE(ours.ok) << ours.err.code << " at " << ours.err.offset;
    EXPECT_TRUE(ours.rgba == frames[0]);
    expect_same_as_libwebp(file);
}

// Any rectangle, band by band, equals that part of the whole image.
TEST(WebpReference, RectanglesAndBands) {
    std::vector<u8> rgba = picture(GRADIENT, 300, 150, 0, 9);
    std::vector<u8> file = ref_encode_lossless(rgba, 300, 150, {4, 75, true});
    ImageInfo info;
    CodecError err;
    ASSERT_TRUE(webp_probe(file.data(), file.size(), &info, &err));
    Aligned scratch(info.scratch_bytes);
    WebpRequest whole = {0, 0, 0, 0, 0};
    Aligned one(64);
    PixelBuffer nominal = {one.data, 16, 1, 1};
    WebpRequest single = {0, 0, 0, 1, 1};
    ASSERT_TRUE(vp8l_decode_stage(file.data(), file.size(), &single, &nominal, scratch.data, info.scratch_bytes, 0,
                                  0, &err));
    ASSERT_TRUE(vp8l_decode_stage(file.data(), file.size(), &whole, &nominal, scratch.data, info.scratch_bytes, 1,
                                  0, &err) == false);  // the whole image does not fit a 1 x 1 target
    EXPECT_EQ(err.code, ERR_BAD_TARGET);
    ASSERT_TRUE(vp8l_decode_stage(file.data(), file.size(), &single, &nominal, scratch.data, info.scratch_bytes, 1,
                                  0, &err));
    struct Rect {
        u32 x, y, w, h;
    };
    for (Rect r : {Rect{0, 0, 0, 0}, Rect{13, 7, 100, 100}, Rect{299, 149, 0, 0}, Rect{256, 64, 44, 86},
                   Rect{5, 0, 1, 150}}) {
        SCOPED_TRACE(testing::Message() << r.x << "," << r.y << " " << r.w << "x" << r.h);
        WebpRequest req = {0, r.x, r.y, r.w, r.h};
        u32 rw = r.w ? r.w : 300 - r.x, rh = r.h ? r.h : 150 - r.y;
        u64 stride = (rw * 4 + 15) & ~15u;
        Aligned out(stride * rh);
        PixelBuffer target = {out.data, stride, rw, rh};
        u32 bands = vp8l_band_count(rh);
        for (u32 b = 0; b < bands; b++) {
            ASSERT_TRUE(vp8l_decode_stage(file.data(), file.size(), &req, &target, scratch.data, info.scratch_bytes,
                                          2, b, &err));
        }
        EXPECT_FALSE(vp8l_decode_stage(file.data(), file.size(), &req, &target, scratch.data, info.scratch_bytes, 2,
                                       bands, &err));
        EXPECT_EQ(err.code, ERR_BAD_TARGET);
        for (u32 i = 0; i < rh; i++) {
            ASSERT_EQ(memcmp(out.data + i * stride, &rgba[((size_t)(r.y + i) * 300 + r.x) * 4], (size_t)rw * 4), 0)
                << "row " << i;
        }
    }
}
