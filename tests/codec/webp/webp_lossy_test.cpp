// Lossy files made at test time with libwebp's encoder decode bit-exact to
// WebPDecodeRGBA: qualities 0 to 100, every method, 1 to 4 segments, filter
// strengths and sharpness across their ranges, the simple and the normal
// filter, 1 to 8 token partitions, and sizes from 1 x 1 to 4097 x 3.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/codec/webp/libwebp_support.h"
#include "tests/codec/webp/webp_support.h"

using namespace webp_test;

namespace {

u32 next_random(u32* s) {
    *s = *s * 1664525u + 1013904223u;
    return *s >> 8;
}

// A photo-like picture: smooth gradients, a few hard edges, fine texture
// and noise, so that every prediction mode and coefficient size appears.
std::vector<u8> photo(u32 w, u32 h, u32 seed) {
    std::vector<u8> p((size_t)w * h * 4);
    u32 s = seed * 2654435761u + 1;
    for (u32 y = 0; y < h; y++) {
        for (u32 x = 0; x < w; x++) {
            u8* px = &p[((size_t)y * w + x) * 4];
            u32 n = next_random(&s);
            i32 r = (i32)((x * 255) / (w > 1 ? w - 1 : 1));
            i32 g = (i32)((y * 255) / (h > 1 ? h - 1 : 1));
            i32 b = (i32)(((x + y) * 7) & 255);
            if (((x / 23) + (y / 17)) % 5 == 0) r = 255 - r;                   // hard edges
            if ((x / 8 + y / 8) % 3 == 1) b = (i32)((x * y) & 255);            // texture
            i32 noise = (i32)(n % 41) - 20;
            if (x > w / 2) noise = noise / 4;                                  // a quieter half
            px[0] = (u8)std::clamp(r + noise, 0, 255);
            px[1] = (u8)std::clamp(g + noise / 2, 0, 255);
            px[2] = (u8)std::clamp(b - noise, 0, 255);
            px[3] = 255;
        }
    }
    return p;
}

void expect_same_as_libwebp(const std::vector<u8>& file) {
    ASSERT_FALSE(file.empty());
    RefImage ref = ref_decode_file(file);
    ASSERT_TRUE(ref.ok);
    Decoded ours = decode_lossy(file);
    ASSERT_TRUE(ours.ok) << "error " << ours.err.code << " at " << ours.err.offset;
    ASSERT_EQ(ours.width, (u32)ref.width);
    ASSERT_EQ(ours.height, (u32)ref.height);
    if (ours.rgba != ref.rgba) {
        size_t i = 0;
        while (ours.rgba[i] == ref.rgba[i]) i++;
        FAIL() << "first difference at pixel " << i / 4 << " (" << (i / 4) % ours.width << ", "
               << (i / 4) / ours.width << ") of " << ours.width << " x " << ours.height << ": channel " << i % 4
               << " ours " << (int)ours.rgba[i] << " libwebp " << (int)ref.rgba[i];
    }
}

}  // namespace

TEST(WebpLossy, QualitiesAndMethods) {
    std::vector<u8> rgba = photo(83, 61, 1);
    for (int method = 0; method <= 6; method++) {
        for (float q : {0.0f, 10.0f, 50.0f, 75.0f, 90.0f, 100.0f}) {
            SCOPED_TRACE(testing::Message() << "method " << method << " quality " << q);
            LossyOptions o;
            o.quality = q;
            o.method = method;
            expect_same_as_libwebp(ref_encode_lossy(rgba, 83, 61, o));
        }
    }
}

TEST(WebpLossy, SegmentsAndFilters) {
    std::vector<u8> rgba = photo(100, 70, 2);
    for (int segments = 1; segments <= 4; segments++) {
        for (int type = 0; type <= 1; type++) {
            for (int strength : {0, 20, 60, 100}) {
                for (int sharpness : {0, 3, 7}) {
                    SCOPED_TRACE(testing::Message() << segments << " segments, filter type " << type << " strength "
                                                    << strength << " sharpness " << sharpness);
                    LossyOptions o;
                    o.quality = 40;
                    o.segments = segments;
                    o.filter_type = type;
                    o.filter_strength = strength;
                    o.filter_sharpness = sharpness;
                    o.sns_strength = 80;
                    expect_same_as_libwebp(ref_encode_lossy(rgba, 100, 70, o));
                }
            }
        }
    }
}

TEST(WebpLossy, AutoFilterAndPartitions) {
    std::vector<u8> rgba = photo(150, 140, 3);
    for (int partitions = 0; partitions <= 3; partitions++) {
        for (int autofilter : {0, 1}) {
            SCOPED_TRACE(testing::Message() << "partitions " << (1 << partitions) << " autofilter " << autofilter);
            LossyOptions o;
            o.partitions = partitions;
            o.autofilter = autofilter;
            o.quality = 60;
            expect_same_as_libwebp(ref_encode_lossy(rgba, 150, 140, o));
        }
    }
}

TEST(WebpLossy, OddSizes) {
    struct Size {
        u32 w, h;
    };
    for (Size s : {Size{1, 1}, Size{1, 13}, Size{13, 1}, Size{2, 2}, Size{3, 5}, Size{15, 17}, Size{16, 16},
                   Size{17, 33}, Size{31, 2}, Size{4097, 3}, Size{3, 300}}) {
        for (float q : {5.0f, 80.0f}) {
            SCOPED_TRACE(testing::Message() << s.w << " x " << s.h << " quality " << q);
            LossyOptions o;
            o.quality = q;
            expect_same_as_libwebp(ref_encode_lossy(photo(s.w, s.h, s.w * 7 + s.h), s.w, s.h, o));
        }
    }
}
