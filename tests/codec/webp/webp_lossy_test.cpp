// Lossy files made at test time with libwebp's encoder decode bit-exact to
// WebPDecodeRGBA: qualities 0 to 100, every method, 1 to 4 segments, filter
// strengths and sharpness across their ranges, the simple and the normal
// filter, 1 to 8 token partitions, and sizes from 1 x 1 to the largest
// width and height (16383). Frames written by hand from the format's rules
// cover what that encoder never writes: skipped macroblocks of every kind.
#include <gtest/gtest.h>

#include <algorithm>

#include "codec/job.h"
#include "codec/probe.h"
#include "codec/webp/vp8.h"
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
            o.low_memory = true;
            o.autofilter = autofilter;
            o.quality = 60;
            std::vector<u8> file = ref_encode_lossy(rgba, 150, 140, o);
            expect_same_as_libwebp(file);
            // The stream really has that many partitions.
            ImageInfo info;
            CodecError err;
            WebpPrepared prep;
            ASSERT_TRUE(webp_probe(file.data(), file.size(), &info, &err));
            ASSERT_TRUE(webp_prepare_lossy(file.data(), file.size(), 0, &prep, &err));
            Aligned scratch(info.scratch_bytes), pixels(row_stride(150) * 140);
            PixelBuffer out = {pixels.data, row_stride(150), 150, 140};
            ASSERT_TRUE(vp8_decode(file.data(), prep.payload_pos, prep.available, scratch.data, info.scratch_bytes,
                                   &out, &err));
            EXPECT_EQ(((const Vp8Decoder*)scratch.data)->part_count, 1u << partitions);
        }
    }
}

// Heights around macroblock rows with the strongest filters of both kinds
// (which reach furthest above a macroblock row, into rows a whole-frame
// decode has already converted): exactly as libwebp decodes them, whether
// converted as the rows become final or from the finished planes.
TEST(WebpLossy, StrongFiltersAcrossMacroblockRows) {
    for (u32 h : {17u, 24u, 32u, 33u, 47u, 48u, 49u, 80u}) {
        std::vector<u8> rgba = photo(40, h, h);
        for (int type = 0; type <= 1; type++) {
            SCOPED_TRACE(testing::Message() << "height " << h << " filter type " << type);
            LossyOptions o;
            o.quality = 30;
            o.filter_type = type;
            o.filter_strength = 100;
            o.filter_sharpness = 0;
            std::vector<u8> file = ref_encode_lossy(rgba, 40, h, o);
            expect_same_as_libwebp(file);
            Decoded whole = decode_lossy(file);
            ImageInfo info;
            CodecError err;
            WebpPrepared prep;
            ASSERT_TRUE(webp_probe(file.data(), file.size(), &info, &err));
            ASSERT_TRUE(webp_prepare_lossy(file.data(), file.size(), 0, &prep, &err));
            Aligned scratch(info.scratch_bytes), pixels(row_stride(40) * h);
            ASSERT_TRUE(webp_decode_lossy_planes(file.data(), &prep, scratch.data, info.scratch_bytes, &err));
            PixelBuffer out = {pixels.data, row_stride(40), 40, h};
            webp_lossy_output(scratch.data, &prep, 0, 0, 40, h, &out);
            for (u32 y = 0; y < h; y++) {
                ASSERT_EQ(memcmp(pixels.data + y * out.stride, &whole.rgba[(size_t)y * 40 * 4], 40 * 4), 0)
                    << "row " << y;
            }
        }
    }
}

TEST(WebpLossy, OddSizes) {
    struct Size {
        u32 w, h;
    };
    for (Size s : {Size{1, 1}, Size{1, 13}, Size{13, 1}, Size{2, 2}, Size{3, 5}, Size{15, 17}, Size{16, 16},
                   Size{17, 33}, Size{31, 2}, Size{4097, 3}, Size{3, 300}, Size{16383, 17}, Size{5, 16383}}) {
        for (float q : {5.0f, 80.0f}) {
            SCOPED_TRACE(testing::Message() << s.w << " x " << s.h << " quality " << q);
            LossyOptions o;
            o.quality = q;
            expect_same_as_libwebp(ref_encode_lossy(photo(s.w, s.h, s.w * 7 + s.h), s.w, s.h, o));
        }
    }
}

// ---- Damaged streams --------------------------------------------------------

namespace {

// The file's "VP8 " payload in a fresh simple-layout file.
std::vector<u8> with_payload(const std::vector<u8>& payload) {
    std::vector<u8> f = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P', 'V', 'P', '8', ' '};
    put_le32(&f, (u32)payload.size());
    f.insert(f.end(), payload.begin(), payload.end());
    if (payload.size() & 1) f.push_back(0);
    u32 riff = (u32)f.size() - 8;
    for (int i = 0; i < 4; i++) f[4 + i] = (u8)(riff >> (8 * i));
    return f;
}

std::vector<u8> payload_of(const std::vector<u8>& file) {
    u32 size = file[16] | (file[17] << 8) | (file[18] << 16) | ((u32)file[19] << 24);
    return std::vector<u8>(file.begin() + 20, file.begin() + 20 + size);
}

// Ours and libwebp agree: both fail, or both succeed with the same pixels.
void expect_same_outcome(const std::vector<u8>& file) {
    RefImage ref = ref_decode_file(file);
    Decoded ours = decode_lossy(file);
    ASSERT_EQ(ours.ok, ref.ok) << "ours: error " << ours.err.code << " at " << ours.err.offset;
    if (ours.ok && ours.rgba != ref.rgba) {
        size_t i = 0;
        while (ours.rgba[i] == ref.rgba[i]) i++;
        FAIL() << "first difference at pixel (" << (i / 4) % ours.width << ", " << (i / 4) / ours.width << ")";
    }
}

}  // namespace

// Every cut of the payload: libwebp refuses an incomplete frame, and so do
// we ("truncated" once the container is sound); never a partial success.
TEST(WebpLossy, EveryTruncation) {
    LossyOptions o;
    o.partitions = 1;
    o.low_memory = true;
    std::vector<u8> payload = payload_of(ref_encode_lossy(photo(40, 36, 5), 40, 36, o));
    u32 first = (payload[0] | (payload[1] << 8) | (payload[2] << 16)) >> 5;
    int refused = 0;
    for (size_t cut = 10; cut < payload.size(); cut++) {
        SCOPED_TRACE(cut);
        std::vector<u8> p(payload.begin(), payload.begin() + cut);
        std::vector<u8> f = with_payload(p);
        expect_same_outcome(f);
        Decoded ours = decode_lossy(f);
        if (!ours.ok) {
            refused++;
            // A first partition longer than the chunk is the container's
            // fault; any later cut is the data running out.
            EXPECT_EQ(ours.err.code, cut - 10 < first ? (u32)ERR_BAD_HEADER : (u32)ERR_TRUNCATED);
            EXPECT_LE(ours.err.offset, f.size());
        }
    }
    EXPECT_GT(refused, (int)payload.size() - 20);
}

// Token partition sizes that overstate, understate or zero a partition; the
// partition count changed under the sizes; every outcome as libwebp's.
TEST(WebpLossy, PartitionSizesThatLie) {
    LossyOptions o;
    o.partitions = 2;  // four partitions, three sizes
    o.low_memory = true;
    std::vector<u8> payload = payload_of(ref_encode_lossy(photo(64, 80, 6), 64, 80, o));
    u32 first = (payload[0] | (payload[1] << 8) | (payload[2] << 16)) >> 5;
    size_t sizes = 10 + first;
    ASSERT_LT(sizes + 9, payload.size());
    for (u32 which = 0; which < 3; which++) {
        for (u32 value : {0u, 1u, 2u, 100u, 0xFFFFFFu}) {
            SCOPED_TRACE(testing::Message() << "partition " << which << " size " << value);
            std::vector<u8> p = payload;
            for (int i = 0; i < 3; i++) p[sizes + 3 * which + i] = (u8)(value >> (8 * i));
            expect_same_outcome(with_payload(p));
        }
    }
    // No room for the sizes at all, or the last partition empty.
    std::vector<u8> p(payload.begin(), payload.begin() + sizes + 4);
    expect_same_outcome(with_payload(p));
    Decoded cut = decode_lossy(with_payload(p));
    EXPECT_FALSE(cut.ok);
    EXPECT_EQ(cut.err.code, (u32)ERR_TRUNCATED);
    p.assign(payload.begin(), payload.begin() + sizes + 9);
    expect_same_outcome(with_payload(p));
}

// Random damage anywhere past the frame tag: the outcome is libwebp's.
TEST(WebpLossy, RandomDamage) {
    LossyOptions o;
    o.partitions = 1;
    o.low_memory = true;
    o.segments = 4;
    std::vector<u8> payload = payload_of(ref_encode_lossy(photo(48, 40, 7), 48, 40, o));
    u32 s = 99;
    for (int round = 0; round < 1500; round++) {
        std::vector<u8> p = payload;
        int flips = 1 + (int)(next_random(&s) % 4);
        for (int k = 0; k < flips; k++) {
            size_t at = 10 + next_random(&s) % (p.size() - 10);
            p[at] ^= (u8)(1u << (next_random(&s) % 8));
        }
        SCOPED_TRACE(round);
        expect_same_outcome(with_payload(p));
    }
}

// ---- Alpha --------------------------------------------------------------------

namespace {

// A photo with an alpha plane of soft gradients, hard steps and noise.
std::vector<u8> photo_with_alpha(u32 w, u32 h, u32 seed) {
    std::vector<u8> p = photo(w, h, seed);
    u32 s = seed + 17;
    for (u32 y = 0; y < h; y++) {
        for (u32 x = 0; x < w; x++) {
            u32 a = (x * 255) / (w > 1 ? w - 1 : 1);
            if ((x / 11 + y / 7) % 4 == 0) a = 0;
            if ((x / 5 + y / 9) % 6 == 1) a = next_random(&s) & 255;
            if (y > h / 2 && x < w / 3) a = 255;
            p[((size_t)y * w + x) * 4 + 3] = (u8)a;
        }
    }
    return p;
}

// The alpha plane filtered forward as an encoder does it.
std::vector<u8> filter_plane(const std::vector<u8>& a, u32 w, u32 h, u32 filter) {
    std::vector<u8> out(a.size());
    for (u32 y = 0; y < h; y++) {
        for (u32 x = 0; x < w; x++) {
            int pred = 0;
            auto at = [&](u32 xx, u32 yy) { return (int)a[(size_t)yy * w + xx]; };
            if (filter == 0) {
                pred = 0;
            } else if (y == 0) {
                pred = x == 0 ? 0 : at(x - 1, 0);
            } else if (x == 0) {
                pred = at(0, y - 1);
            } else if (filter == 1) {
                pred = at(x - 1, y);
            } else if (filter == 2) {
                pred = at(x, y - 1);
            } else {
                pred = std::clamp(at(x - 1, y) + at(x, y - 1) - at(x - 1, y - 1), 0, 255);
            }
            out[(size_t)y * w + x] = (u8)(at(x, y) - pred);
        }
    }
    return out;
}

// A chunk with its padding (built by hand: GCC 12 mistakes the shared
// helper's inserts for an overflow once inlined here).
std::vector<u8> own_chunk(const char* tag, const std::vector<u8>& payload) {
    std::vector<u8> c(8 + payload.size() + (payload.size() & 1), 0);
    memcpy(c.data(), tag, 4);
    for (int i = 0; i < 4; i++) c[4 + i] = (u8)(payload.size() >> (8 * i));
    if (!payload.empty()) memcpy(c.data() + 8, payload.data(), payload.size());
    return c;
}

// A VP8X file: the given ALPH payload before the colour of `rgba` coded lossy.
std::vector<u8> with_alpha_chunk(const std::vector<u8>& rgba, u32 w, u32 h, const std::vector<u8>& alph) {
    std::vector<u8> opaque = rgba;
    for (size_t i = 3; i < opaque.size(); i += 4) opaque[i] = 255;
    std::vector<u8> vp8 = payload_of(ref_encode_lossy(opaque, w, h, LossyOptions{}));
    std::vector<u8> body = {'W', 'E', 'B', 'P'};
    for (const auto& c : {own_chunk("VP8X", vp8x_payload(0x10, w, h)), own_chunk("ALPH", alph), own_chunk("VP8 ", vp8)}) {
        body.insert(body.end(), c.begin(), c.end());
    }
    return own_chunk("RIFF", body);
}

}  // namespace

// The encoder's own alpha: raw and lossless, its filter choices, levels.
TEST(WebpLossy, EncodedAlpha) {
    std::vector<u8> rgba = photo_with_alpha(77, 53, 8);
    for (int compression : {0, 1}) {
        for (int filtering : {0, 1, 2}) {
            for (int alpha_quality : {100, 40}) {
                SCOPED_TRACE(testing::Message() << "compression " << compression << " filtering " << filtering
                                                << " alpha quality " << alpha_quality);
                LossyOptions o;
                o.alpha_compression = compression;
                o.alpha_filtering = filtering;
                o.alpha_quality = alpha_quality;
                std::vector<u8> file = ref_encode_lossy(rgba, 77, 53, o);
                expect_same_as_libwebp(file);
                Decoded ours = decode_lossy(file);
                ASSERT_TRUE(ours.ok);
                if (alpha_quality == 100) {
                    for (size_t i = 3; i < rgba.size(); i += 4) ASSERT_EQ(ours.rgba[i], rgba[i]) << i / 4;
                }
            }
        }
    }
}

// Every filter, raw and lossless-compressed, made by hand; the header's
// pre-processing bit is ignored.
TEST(WebpLossy, EveryAlphaFilterBothCompressions) {
    const u32 w = 45, h = 31;
    std::vector<u8> rgba = photo_with_alpha(w, h, 9);
    std::vector<u8> plane(w * h);
    for (size_t i = 0; i < plane.size(); i++) plane[i] = rgba[4 * i + 3];
    for (u32 filter = 0; filter < 4; filter++) {
        std::vector<u8> residue = filter_plane(plane, w, h, filter);
        for (u32 pre : {0u, 1u}) {
            SCOPED_TRACE(testing::Message() << "filter " << filter << " pre-processing " << pre);
            std::vector<u8> raw(1 + residue.size());
            raw[0] = (u8)(filter << 2 | pre << 4);
            std::copy(residue.begin(), residue.end(), raw.begin() + 1);
            std::vector<u8> file = with_alpha_chunk(rgba, w, h, raw);
            expect_same_as_libwebp(file);
            Decoded ours = decode_lossy(file);
            ASSERT_TRUE(ours.ok);
            for (size_t i = 0; i < plane.size(); i++) ASSERT_EQ(ours.rgba[4 * i + 3], plane[i]) << i;

            // The residues as the green channel of a lossless image, its
            // stream without the 5-byte header.
            std::vector<u8> green(4 * (size_t)w * h);
            for (size_t i = 0; i < residue.size(); i++) {
                green[4 * i + 1] = residue[i];
                green[4 * i + 3] = 255;
            }
            std::vector<u8> ll = payload_of(ref_encode_lossless(green, w, h, {4, 75, false}));
            std::vector<u8> packed(ll.size() - 4);
            packed[0] = (u8)(1 | filter << 2 | pre << 4);
            std::copy(ll.begin() + 5, ll.end(), packed.begin() + 1);
            file = with_alpha_chunk(rgba, w, h, packed);
            expect_same_as_libwebp(file);
            ours = decode_lossy(file);
            ASSERT_TRUE(ours.ok);
            for (size_t i = 0; i < plane.size(); i++) ASSERT_EQ(ours.rgba[4 * i + 3], plane[i]) << i;
        }
    }
}

// Bad alpha headers and planes: refused where libwebp refuses.
TEST(WebpLossy, BadAlpha) {
    const u32 w = 20, h = 10;
    std::vector<u8> rgba = photo_with_alpha(w, h, 10);
    std::vector<u8> raw(1 + w * h, 7);
    for (u8 header : {0x02, 0x03, 0x20, 0x30, 0x40, 0x80}) {  // methods 2, 3; levels 2, 3; reserved bits
        SCOPED_TRACE((int)header);
        raw[0] = header;
        std::vector<u8> file = with_alpha_chunk(rgba, w, h, raw);
        expect_same_outcome(file);
        Decoded ours = decode_lossy(file);
        EXPECT_FALSE(ours.ok);
        EXPECT_EQ(ours.err.code, (u32)ERR_BAD_HEADER);
    }
    raw[0] = 0;
    std::vector<u8> shorter(raw.begin(), raw.end() - 1);  // one byte short of the plane
    expect_same_outcome(with_alpha_chunk(rgba, w, h, shorter));
    std::vector<u8> ll = {1, 0xFF, 0x13};  // a lossless plane cut short
    expect_same_outcome(with_alpha_chunk(rgba, w, h, ll));
}

namespace {

// Runs `check` with each kernel set the CPU has (scalar, SSE2, AVX2), then
// goes back to the best one.
template <typename Check>
void for_each_kernel_set(Check check) {
    for (u32 variant : {VP8_KERNELS_SCALAR, VP8_KERNELS_SSE2, VP8_KERNELS_AVX2}) {
        if (!vp8_force_kernels(variant)) continue;  // the CPU lacks it
        SCOPED_TRACE(testing::Message() << "kernels " << variant);
        check();
    }
    vp8_force_kernels(VP8_KERNELS_BEST);
}

}  // namespace

// The frame decodes in exactly the scratch its probe asks for, placed at the
// very end of its allocation (the AVX2 loop filter reads a few bytes past the
// last chroma row, into the scratch's spare bytes: under the address
// sanitizer a read past them fails), and a byte less is refused.
TEST(WebpLossy, ScratchIsExactlyWhatTheProbeSays) {
    for (u32 w : {16u, 50u, 97u}) {
        SCOPED_TRACE(w);
        u32 h = 33;
        std::vector<u8> file = ref_encode_lossy(photo(w, h, w), w, h, LossyOptions{});
        RefImage ref = ref_decode_file(file);
        ASSERT_TRUE(ref.ok);
        ImageInfo info;
        CodecError err;
        WebpPrepared prep;
        ASSERT_TRUE(webp_probe(file.data(), file.size(), &info, &err));
        ASSERT_TRUE(webp_prepare_lossy(file.data(), file.size(), 0, &prep, &err));
        ASSERT_EQ(info.scratch_bytes % 64, 0u);
        u8* scratch = (u8*)aligned_alloc(64, info.scratch_bytes);
        ASSERT_NE(scratch, nullptr);
        std::vector<u8> pixels((size_t)w * h * 4);
        PixelBuffer target = {pixels.data(), (u64)w * 4, w, h};
        for_each_kernel_set([&] {
            EXPECT_TRUE(webp_decode_lossy(file.data(), &prep, scratch, info.scratch_bytes, &target, &err));
            EXPECT_EQ(pixels, ref.rgba);
            EXPECT_FALSE(webp_decode_lossy(file.data(), &prep, scratch, info.scratch_bytes - 1, &target, &err));
            EXPECT_EQ(err.code, (u32)ERR_BAD_TARGET);
        });
        free(scratch);
    }
}

// Every kernel set the CPU has gives libwebp's pixels (the best one runs
// above): scalar, SSE2 and AVX2.
TEST(WebpLossy, EveryKernelVariant) {
    std::vector<u8> rgba = photo_with_alpha(90, 70, 11);
    for_each_kernel_set([&] {
        for (int type : {0, 1}) {
            for (float q : {10.0f, 60.0f, 95.0f}) {
                SCOPED_TRACE(testing::Message() << "filter type " << type << " quality " << q);
                LossyOptions o;
                o.quality = q;
                o.filter_type = type;
                o.filter_strength = 70;
                expect_same_as_libwebp(ref_encode_lossy(rgba, 90, 70, o));
            }
        }
    });
}

// The decode job's way: planes kept in the scratch, any rectangle converted
// from them (odd columns, single pixels, the right and bottom edges, whole
// rows), equal to libwebp's whole image, alpha included; the target's bytes
// around the rectangle (a pixel either side, a row above and below) are
// left as they were.
TEST(WebpLossy, RectanglesFromThePlanes) {
    struct Size {
        u32 w, h;
        bool alpha;
    };
    for (Size s : {Size{300, 200, true}, Size{257, 131, false}, Size{1, 1, true}, Size{2, 9, false},
                   Size{513, 40, true}, Size{2, 2, false}, Size{1, 6, false}, Size{66, 35, false}}) {
        SCOPED_TRACE(testing::Message() << s.w << " x " << s.h);
        std::vector<u8> rgba = s.alpha ? photo_with_alpha(s.w, s.h, s.w) : photo(s.w, s.h, s.w);
        std::vector<u8> file = ref_encode_lossy(rgba, s.w, s.h, LossyOptions{});
        RefImage ref = ref_decode_file(file);
        ASSERT_TRUE(ref.ok);
        ImageInfo info;
        CodecError err;
        WebpPrepared prep;
        ASSERT_TRUE(webp_probe(file.data(), file.size(), &info, &err));
        EXPECT_EQ(info.pixel_bytes, 64u);
        ASSERT_TRUE(webp_prepare_lossy(file.data(), file.size(), 0, &prep, &err));
        Aligned scratch(info.scratch_bytes);
        ASSERT_TRUE(webp_decode_lossy_planes(file.data(), &prep, scratch.data, info.scratch_bytes, &err))
            << err.code << " at " << err.offset;
        u32 seed = 5;
        for (int k = 0; k < 40; k++) {
            u32 x = k == 0 ? 0 : next_random(&seed) % s.w;
            u32 y = k == 0 ? 0 : next_random(&seed) % s.h;
            u32 w = k == 0 ? s.w : 1 + next_random(&seed) % (s.w - x);
            u32 h = k == 0 ? s.h : 1 + next_random(&seed) % (s.h - y);
            if (k == 1) x = s.w - 1, w = 1;
            if (k == 2) x = s.w / 2 | 1, w = s.w - x;  // from an odd column to the right edge
            if (k == 3) y = s.h - 1, h = 1;            // the last row alone
            if (x >= s.w || w == 0) continue;
            u64 stride = row_stride(w + 2);
            Aligned out(stride * (h + 2));
            std::vector<u8> before(out.data, out.data + stride * (h + 2));
            PixelBuffer target = {out.data + stride + 4, stride, w, h};
            webp_lossy_output(scratch.data, &prep, x, y, w, h, &target);
            SCOPED_TRACE(testing::Message() << "rectangle " << x << "," << y << " " << w << "x" << h);
            for (u32 i = 0; i < h; i++) {
                ASSERT_EQ(memcmp(target.pixels + i * stride, &ref.rgba[((size_t)(y + i) * s.w + x) * 4], (size_t)w * 4),
                          0)
                    << "row " << i;
            }
            for (u64 b = 0; b < before.size(); b++) {
                u64 row = b / stride, col = b % stride;
                bool inside = row >= 1 && row <= h && col >= 4 && col < 4 + 4 * (u64)w;
                if (!inside) {
                    ASSERT_EQ(out.data[b], before[b]) << "byte " << col << " of target row " << row;
                }
            }
        }
    }
}

// A job over an image too large for one paint decodes in steps: a tile is
// "pending" until every row under it is final, at any level (a coarse tile
// is never built from a partly decoded image), and once made it equals
// libwebp's pixels, alpha included. A file cut short fails at the same
// offset as the whole decode, with no step claiming the image decoded.
TEST(WebpLossy, JobDecodesALargeImageInSteps) {
    const u32 w = 2400, h = 1800;
    std::vector<u8> file = ref_encode_lossy(photo_with_alpha(w, h, 3), w, h, LossyOptions{});
    RefImage ref = ref_decode_file(file);
    ASSERT_TRUE(ref.ok);
    auto run = [&](std::vector<u8> bytes, bool compare, CodecError* failure) {
        ImageInfo info;
        CodecError err;
        if (!probe_image(bytes.data(), bytes.size(), &info, &err)) return -1;
        Aligned memory(align64(info.scratch_bytes) + align64(info.pixel_bytes));
        DecodeJob job;
        EXPECT_TRUE(start_job(&job, ByteSpan{bytes.data(), bytes.size()}, &info, memory.data, info.scratch_bytes,
                              memory.data + align64(info.scratch_bytes), &err));
        EXPECT_TRUE(job.can_step);
        job.step_base = true;
        std::vector<u32> tile(256 * 256);
        PixelBuffer t = {(u8*)tile.data(), 1024, 256, 256};
        u32 top_level = 0;
        while ((w >> top_level) > 256 || (h >> top_level) > 256) top_level++;
        int steps = 0;
        u32 rows = 0;
        while (!job.base_done) {
            EXPECT_FALSE(render_tile(&job, top_level, 0, 0, &t, &err));
            EXPECT_EQ(err.code, ERR_PENDING);
            // The first tile row not yet final waits; the one above it (if
            // any) is made, and right.
            u32 ready_tiles = job.base_rows / 256;
            if (ready_tiles * 256 < h) {
                EXPECT_FALSE(render_tile(&job, 0, 0, ready_tiles, &t, &err));
                EXPECT_EQ(err.code, ERR_PENDING);
            }
            if (ready_tiles > 0 && compare) {
                u32 r = ready_tiles - 1, c = (w - 1) / 256;
                EXPECT_TRUE(render_tile(&job, 0, c, r, &t, &err)) << err.code;
                for (u32 i = 0; i < 256; i++) {
                    for (u32 j = 0; j < w - c * 256; j++) {
                        const u8* want = &ref.rgba[((size_t)(r * 256 + i) * w + c * 256 + j) * 4];
                        if (memcmp(&tile[i * 256 + j], want, 4) != 0) {
                            ADD_FAILURE() << "tile " << c << "," << r << " pixel " << j << "," << i;
                            return steps;
                        }
                    }
                }
            }
            if (!decode_base_step(&job, &err)) {
                *failure = err;
                EXPECT_FALSE(job.base_done);
                return steps;
            }
            EXPECT_GE(job.base_rows, rows);
            rows = job.base_rows;
            steps++;
        }
        EXPECT_EQ(job.base_rows, h);
        EXPECT_FALSE(job.base_more);
        // Done: coarse levels are built by the tile cache again.
        EXPECT_FALSE(render_tile(&job, top_level, 0, 0, &t, &err));
        EXPECT_EQ(err.code, ERR_BAD_TARGET);
        return steps;
    };
    CodecError failure{};
    int steps = run(file, true, &failure);
    EXPECT_GE(steps, 4);  // the header and alpha, then three bands of rows
    EXPECT_EQ(failure.code, ERR_OK);

    std::vector<u8> payload = payload_of(ref_encode_lossy(photo(w, h, 4), w, h, LossyOptions{}));
    payload.resize(payload.size() * 3 / 4);
    std::vector<u8> cut = with_payload(payload);
    Decoded whole = decode_lossy(cut);
    ASSERT_FALSE(whole.ok);
    failure = CodecError{};
    EXPECT_GE(run(cut, false, &failure), 0);
    EXPECT_EQ(failure.code, whole.err.code);
    EXPECT_EQ(failure.offset, whole.err.offset);
}

// ---- Hand-made frames --------------------------------------------------------------

namespace {

// A key frame written from the format's rules, as libwebp's encoder never
// writes it: the skip flag on, macroblocks skipped at random (4 x 4
// predicted ones among them, whose second-order context a skip keeps),
// the others with every block either empty or one DC coefficient of 1 or
// -1, every 16 x 16, chroma and 4 x 4 mode, and the loop filter.
struct HandFrame {
    u32 mb_w, mb_h;
    bool simple;
    u32 level, sharpness, q, skip_prob;
    u32 seed;
};

std::vector<u8> hand_frame(const HandFrame& f, u32 width, u32 height) {
    PlainEncoder first, tokens;
    u32 s = f.seed * 2654435761u + 7;
    first.write(0, 128);  // colour space
    first.write(0, 128);  // clamping
    first.write(0, 128);  // no segments
    first.write(f.simple, 128);
    first.literal(f.level, 6);
    first.literal(f.sharpness, 3);
    first.write(0, 128);   // no filter deltas
    first.literal(0, 2);   // one token partition
    first.literal(f.q, 7);
    for (int i = 0; i < 5; i++) first.write(0, 128);  // no quantiser deltas
    first.write(0, 128);                              // probabilities for this frame only
    for (u32 t = 0; t < 4; t++)
        for (u32 b = 0; b < 8; b++)
            for (u32 c = 0; c < 3; c++)
                for (u32 p = 0; p < 11; p++) first.write(0, vp8_coeff_update_probs[t][b][c][p]);
    first.write(1, 128);
    first.literal(f.skip_prob, 8);

    static const u8 bands[17] = {0, 1, 2, 3, 6, 4, 5, 6, 6, 6, 6, 6, 6, 6, 6, 7, 0};
    static const u8 context_of_mode[4] = {VP8_B_DC, VP8_B_VE, VP8_B_HE, VP8_B_TM};
    // Above: per macroblock column 4 luma, 2 + 2 chroma and the second-order
    // context; left: the same for the macroblock to the left.
    std::vector<u8> top_nz(f.mb_w * 9, 0), intra_top(f.mb_w * 4, VP8_B_DC);
    // One block: empty, or one coefficient of 1 or -1 at `first_coeff`.
    auto block = [&](u32 type, u32 first_coeff, u8* above, u8* left) {
        const u8* p = vp8_default_coeff_probs[type][bands[first_coeff]][*above + *left];
        u32 nonzero = next_random(&s) % 3 == 0;
        if (!nonzero) {
            tokens.write(0, p[0]);  // end of block
        } else {
            tokens.write(1, p[0]);
            tokens.write(1, p[1]);  // not zero
            tokens.write(0, p[2]);  // one
            tokens.write(next_random(&s) & 1, 128);
            if (first_coeff + 1 < 16) tokens.write(0, vp8_default_coeff_probs[type][bands[first_coeff + 1]][1][0]);
        }
        *above = *left = (u8)nonzero;
    };
    for (u32 y = 0; y < f.mb_h; y++) {
        u8 left_nz[9] = {};
        u8 intra_left[4] = {VP8_B_DC, VP8_B_DC, VP8_B_DC, VP8_B_DC};
        for (u32 x = 0; x < f.mb_w; x++) {
            u8* above = &top_nz[x * 9];
            u8* modes_above = &intra_top[x * 4];
            bool skip = next_random(&s) % 2 == 0;
            bool i4 = next_random(&s) % 2 == 0;
            first.write(skip, f.skip_prob);
            first.write(!i4, 145);
            if (!i4) {
                u32 mode = next_random(&s) % 4;
                if (mode == VP8_DC_PRED) first.write(0, 156), first.write(0, 163);
                if (mode == VP8_V_PRED) first.write(0, 156), first.write(1, 163);
                if (mode == VP8_H_PRED) first.write(1, 156), first.write(0, 128);
                if (mode == VP8_TM_PRED) first.write(1, 156), first.write(1, 128);
                memset(modes_above, context_of_mode[mode], 4);
                memset(intra_left, context_of_mode[mode], 4);
            } else {
                for (u32 j = 0; j < 4; j++)
                    for (u32 i = 0; i < 4; i++) {
                        const u8* p = vp8_kf_bmode_probs[modes_above[i]][intra_left[j]];
                        u32 m = next_random(&s) % 10;
                        // The 4 x 4 mode tree, each node's bool and its probability.
                        struct Step {
                            u8 node, bit;
                        };
                        static const Step path[10][6] = {
                            {{0, 0}},                                               // DC
                            {{0, 1}, {1, 0}},                                       // TM
                            {{0, 1}, {1, 1}, {2, 0}},                               // VE
                            {{0, 1}, {1, 1}, {2, 1}, {3, 0}, {4, 0}},               // HE
                            {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {6, 0}},               // LD
                            {{0, 1}, {1, 1}, {2, 1}, {3, 0}, {4, 1}, {5, 0}},       // RD
                            {{0, 1}, {1, 1}, {2, 1}, {3, 0}, {4, 1}, {5, 1}},       // VR
                            {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {6, 1}, {7, 0}},       // VL
                            {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {6, 1}, {7, 1}},       // HD, then one more
                            {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {6, 1}, {7, 1}},       // HU, then one more
                        };
                        static const u8 length[10] = {1, 2, 3, 5, 5, 6, 6, 6, 6, 6};
                        for (u32 k = 0; k < length[m]; k++) first.write(path[m][k].bit, p[path[m][k].node]);
                        if (m == VP8_B_HD) first.write(0, p[8]);
                        if (m == VP8_B_HU) first.write(1, p[8]);
                        modes_above[i] = intra_left[j] = (u8)m;
                    }
            }
            u32 uv = next_random(&s) % 4;
            if (uv == VP8_DC_PRED) first.write(0, 142);
            if (uv == VP8_V_PRED) first.write(1, 142), first.write(0, 114);
            if (uv == VP8_TM_PRED) first.write(1, 142), first.write(1, 114), first.write(1, 183);
            if (uv == VP8_H_PRED) first.write(1, 142), first.write(1, 114), first.write(0, 183);
            if (skip) {
                // Every context but the second-order one, which only a
                // macroblock with a second-order block resets.
                memset(above, 0, 8);
                memset(left_nz, 0, 8);
                if (!i4) above[8] = left_nz[8] = 0;
                continue;
            }
            if (!i4) block(1, 0, &above[8], &left_nz[8]);
            for (u32 j = 0; j < 4; j++)
                for (u32 i = 0; i < 4; i++) block(i4 ? 3 : 0, i4 ? 0 : 1, &above[i], &left_nz[j]);
            for (u32 plane = 0; plane < 2; plane++)
                for (u32 j = 0; j < 2; j++)
                    for (u32 i = 0; i < 2; i++) block(2, 0, &above[4 + 2 * plane + i], &left_nz[4 + 2 * plane + j]);
        }
    }
    first.flush();
    tokens.flush();
    u32 part = (u32)first.out.size();
    std::vector<u8> payload = {(u8)((1 << 4) | (part << 5)), (u8)(part >> 3), (u8)(part >> 11), 0x9d, 0x01, 0x2a,
                               (u8)width, (u8)(width >> 8), (u8)height, (u8)(height >> 8)};
    payload.insert(payload.end(), first.out.begin(), first.out.end());
    payload.insert(payload.end(), tokens.out.begin(), tokens.out.end());
    return with_payload(payload);
}

}  // namespace

TEST(WebpLossy, HandMadeSkippedMacroblocks) {
    u32 n = 0;
    for (bool simple : {false, true})
        for (u32 level : {0u, 20u, 63u})
            for (u32 q : {4u, 60u, 127u}) {
                HandFrame f = {7, 5, simple, level, n % 8, q, 40 + 50 * (n % 4), n};
                SCOPED_TRACE(testing::Message() << "simple " << simple << " level " << level << " q " << q);
                // Whole macroblocks, and the same frame cropped inside its last ones.
                expect_same_as_libwebp(hand_frame(f, 16 * f.mb_w, 16 * f.mb_h));
                expect_same_as_libwebp(hand_frame(f, 16 * f.mb_w - 5, 16 * f.mb_h - 11));
                n++;
            }
}
