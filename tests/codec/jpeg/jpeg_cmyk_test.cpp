// Four-component JPEGs made by libjpeg-turbo: CMYK with and without Adobe's
// segment, YCCK at 4:2:0, baseline and progressive. Both the eighth-size
// preview and full resolution equal libjpeg-turbo's CMYK decode (1/8 without
// fancy upsampling, full with it, accurate integer DCT) followed by the
// viewers' rule on the stored, inverted values: R = C K / 255, G = M K / 255,
// B = Y K / 255, rounded. The CMYK row kernels match their scalar twins on
// every pair of values, and a damaged CMYK file gives the same errors and
// offsets as the same damage in a three-component one.
#include <gtest/gtest.h>

#include <vector>

#include "codec/icc/icc.h"
#include "codec/jpeg/kernels.h"
#include "codec/job.h"
#include "codec/probe.h"
#include "libjpeg_support.h"

namespace {

struct FourOptions {
    bool ycck = false;
    bool progressive = false;
    bool adobe = true;
    u32 width = 203, height = 157;
};

// A CMYK picture (gradients, edges and noise in each channel), stored as
// libjpeg-turbo stores CMYK: the values given are written as they are.
std::vector<u8> encode_four(const FourOptions& o) {
    std::vector<u8> picture = test_picture(o.width, o.height, 4, 9);
    jpeg_compress_struct c;
    RefError err;
    c.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = ref_error_exit;
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&c);
        free(out);
        return {};
    }
    jpeg_create_compress(&c);
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = o.width;
    c.image_height = o.height;
    c.input_components = 4;
    c.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&c);
    // YCCK takes 4:2:0 (Y and K at 2 x 2), CMYK full size in every channel.
    jpeg_set_colorspace(&c, o.ycck ? JCS_YCCK : JCS_CMYK);
    jpeg_set_quality(&c, 88, TRUE);
    c.write_Adobe_marker = o.adobe ? TRUE : FALSE;
    if (o.progressive) jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < o.height) {
        JSAMPROW row = &picture[(size_t)c.next_scanline * o.width * 4];
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<u8> file(out, out + size);
    free(out);
    return file;
}

// libjpeg-turbo's CMYK decode through the rule, as RGBA.
std::vector<u8> reference(const std::vector<u8>& file, u32 scale, bool fancy) {
    RefImage r = ref_decode(file, scale, fancy, JCS_CMYK);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.channels, 4u);
    std::vector<u8> out((size_t)r.width * r.height * 4);
    for (size_t i = 0; i < (size_t)r.width * r.height; i++) {
        const u8* p = &r.pixels[4 * i];
        for (u32 c = 0; c < 3; c++) out[4 * i + c] = (u8)(((u32)p[c] * p[3] + 127) / 255);
        out[4 * i + 3] = 255;
    }
    return out;
}

struct Ours {
    bool ok = false;
    CodecError err{};
    std::vector<u8> preview, full;
};

Ours decode(const std::vector<u8>& file) {
    Ours o;
    ImageInfo info;
    if (!probe_image(file.data(), file.size(), &info, &o.err)) return o;
    u64 scratch = align64(info.scratch_bytes), pixels = align64(info.pixel_bytes);
    std::vector<u8> memory(scratch + pixels + align64(info.colour_bytes) + info.extra_bytes + 64);
    u8* base = (u8*)(((uintptr_t)memory.data() + 63) & ~(uintptr_t)63);
    DecodeJob job;
    if (!start_job(&job, ByteSpan{(u8*)file.data(), file.size()}, &info, base, info.scratch_bytes, base + scratch,
                   &o.err) ||
        !decode_step(&job, &o.err)) {
        return o;
    }
    for (u32 y = 0; y < job.pixels.height; y++) {
        const u8* row = job.pixels.pixels + y * job.pixels.stride;
        o.preview.insert(o.preview.end(), row, row + 4 * job.pixels.width);
    }
    if (!finish_full_resolution(&job, &o.err)) return o;
    std::vector<u8> whole(full_resolution_bytes(&job));
    PixelBuffer pb;
    if (!full_resolution_pixels(&job, whole.data(), &pb, &o.err)) return o;
    for (u32 y = 0; y < pb.height; y++) o.full.insert(o.full.end(), pb.pixels + y * pb.stride, pb.pixels + y * pb.stride + 4 * pb.width);
    o.ok = true;
    return o;
}

}  // namespace

TEST(JpegCmyk, ExactAgainstLibjpegTurboAndTheRule) {
    struct Case {
        const char* name;
        FourOptions o;
    };
    std::vector<Case> cases = {
        {"CMYK baseline", {false, false, true}},
        {"CMYK progressive", {false, true, true}},
        {"CMYK without Adobe segment", {false, false, false}},
        {"YCCK 4:2:0 baseline", {true, false, true}},
        {"YCCK 4:2:0 progressive", {true, true, true}},
        {"YCCK 4:2:0 odd size", {true, false, true, 17, 9}},
    };
    for (const Case& c : cases) {
        std::vector<u8> file = encode_four(c.o);
        ASSERT_FALSE(file.empty()) << c.name;
        Ours ours = decode(file);
        ASSERT_TRUE(ours.ok) << c.name << ": " << ours.err.code << " at " << ours.err.offset;
        EXPECT_TRUE(ours.full == reference(file, 1, true)) << c.name << ": full resolution";
        // libjpeg-turbo's 1/8 scaling of subsampled components is not the
        // DC rule's repetition, as for three components; CMYK has none.
        if (!c.o.ycck) {
            EXPECT_TRUE(ours.preview == reference(file, 8, false)) << c.name << ": preview";
        }
    }
}

TEST(JpegCmyk, KernelsMatchTheirTwinsOnEveryPair) {
    // Every (value, K) pair: 65536 pixels in rows of 256.
    std::vector<u8> a(256 + 8), k(256 + 8), b(256 + 8), cr(256 + 8);
    std::vector<u8> s(4 * (256 + 8)), v(4 * (256 + 8));
    for (u32 kv = 0; kv < 256; kv++) {
        for (u32 i = 0; i < 256; i++) {
            a[i] = (u8)i;
            b[i] = (u8)(255 - i);
            cr[i] = (u8)(i * 7);
            k[i] = (u8)kv;
        }
        jpeg_cmyk_row_scalar(a.data(), b.data(), cr.data(), k.data(), s.data(), 256);
        jpeg_cmyk_row_sse2(a.data(), b.data(), cr.data(), k.data(), v.data(), 256);
        ASSERT_EQ(s, v) << "cmyk, K " << kv;
        for (u32 i = 0; i < 256; i++) ASSERT_EQ(s[4 * i], (u8)((i * kv + 127) / 255));
        jpeg_ycck_row_scalar(a.data(), b.data(), cr.data(), k.data(), s.data(), 256);
        jpeg_ycck_row_sse2(a.data(), b.data(), cr.data(), k.data(), v.data(), 256);
        ASSERT_EQ(s, v) << "ycck, K " << kv;
    }
    // Counts that are not a multiple of 8 convert the rounded-up count.
    for (u32 count = 1; count < 17; count++) {
        std::fill(s.begin(), s.end(), 0);
        std::fill(v.begin(), v.end(), 0);
        jpeg_ycck_row_scalar(a.data(), b.data(), cr.data(), k.data(), s.data(), count);
        jpeg_ycck_row_sse2(a.data(), b.data(), cr.data(), k.data(), v.data(), count);
        EXPECT_EQ(s, v) << count;
    }
}

TEST(JpegCmyk, ProfilesOfCmykFilesAreIgnored) {
    std::vector<u8> file = encode_four(FourOptions{});
    // Any profile in a CMYK file: a CMYK one we do not read, or an RGB one
    // that cannot describe it. The pixels are the rule's either way.
    std::vector<u8> profile(200, 0);
    profile[3] = 200;
    std::vector<u8> app2(18 + profile.size(), 0);
    app2[0] = 0xFF;
    app2[1] = 0xE2;
    app2[3] = (u8)(16 + profile.size());
    memcpy(&app2[4], "ICC_PROFILE", 12);
    app2[16] = app2[17] = 1;
    memcpy(&app2[18], profile.data(), profile.size());
    std::vector<u8> tagged = file;
    tagged.insert(tagged.begin() + 2, app2.begin(), app2.end());
    IccFind find;
    jpeg_find_profile(tagged.data(), tagged.size(), &find);
    EXPECT_TRUE(find.cmyk);
    const IccTransform* t;
    std::vector<u8> memory(icc_memory_bytes(&find) + 64);
    u8* base = (u8*)(((uintptr_t)memory.data() + 63) & ~(uintptr_t)63);
    EXPECT_EQ(icc_prepare(tagged.data(), tagged.size(), &find, base, icc_memory_bytes(&find), &t),
              (u32)COLOUR_IGNORED);
    EXPECT_EQ(decode(tagged).full, decode(file).full);
}

TEST(JpegCmyk, DamageGivesTheSameErrorsAsThreeComponents) {
    FourOptions o;
    o.adobe = false;
    std::vector<u8> cmyk = encode_four(o);
    EncodeOptions e;
    e.width = o.width;
    e.height = o.height;
    e.h0 = e.v0 = 1;
    e.jfif = false;
    std::vector<u8> rgb = ref_encode(e);
    // Cut inside the first scan, then cut at every marker: both kinds fail
    // the same way (with the error found at the same place relative to the
    // end of what is there).
    for (double at : {0.3, 0.6, 0.95}) {
        std::vector<u8> a(cmyk.begin(), cmyk.begin() + (size_t)(cmyk.size() * at));
        std::vector<u8> b(rgb.begin(), rgb.begin() + (size_t)(rgb.size() * at));
        Ours x = decode(a), y = decode(b);
        EXPECT_EQ(x.ok, y.ok) << at;
        EXPECT_EQ(x.err.code, y.err.code) << at;
        EXPECT_EQ(a.size() - x.err.offset, b.size() - y.err.offset) << at;
    }
    // 2^28 samples in all: four components make a smaller image too large.
    // 8193 x 8193 is 2^28 samples and more with four components, not three.
    auto enlarged = [](std::vector<u8> f) {
        for (size_t i = 2; i + 9 < f.size(); i++) {
            if (f[i] == 0xFF && f[i + 1] == 0xC0) {
                f[i + 5] = f[i + 7] = 0x20;
                f[i + 6] = f[i + 8] = 0x01;
                break;
            }
        }
        return f;
    };
    ImageInfo info;
    CodecError err;
    std::vector<u8> big = enlarged(cmyk);
    EXPECT_FALSE(probe_image(big.data(), big.size(), &info, &err));
    EXPECT_EQ(err.code, (u32)ERR_TOO_LARGE);
    big = enlarged(rgb);
    EXPECT_TRUE(probe_image(big.data(), big.size(), &info, &err)) << err.code;
}
