// Differential tests against libjpeg-turbo on files it encodes at test time:
// the stored coefficients equal its entropy decode exactly, the preview
// equals the DC rule computed from its coefficients (and its own 1/8 decode
// where chroma is not subsampled), and the full-resolution image assembled
// from tiles stays within the measured distance of its accurate integer
// decode with fancy upsampling.
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "codec/jpeg/kernels.h"
#include "platform/memory.h"
#include "jpeg_support.h"
#include "libjpeg_support.h"

namespace {

// Measured on every case below: the full-resolution image equals
// libjpeg-turbo's accurate integer decode with fancy upsampling exactly.
constexpr int FULL_MAX = 0;
constexpr double FULL_MEAN = 0;

struct Case {
    const char* name;
    EncodeOptions o;
};

EncodeOptions opts(u32 w, u32 h, u32 comps, u32 h0, u32 v0) {
    EncodeOptions o;
    o.width = w;
    o.height = h;
    o.components = comps;
    o.h0 = h0;
    o.v0 = v0;
    return o;
}

std::vector<Case> cases() {
    std::vector<Case> v;
    v.push_back({"1x1 4:2:0", opts(1, 1, 3, 2, 2)});
    v.push_back({"1x1 grey", opts(1, 1, 1, 1, 1)});
    v.push_back({"2x2 4:4:4", opts(2, 2, 3, 1, 1)});
    v.push_back({"3x7 4:2:0", opts(3, 7, 3, 2, 2)});
    v.push_back({"5x5 4:2:2", opts(5, 5, 3, 2, 1)});
    v.push_back({"17x33 4:2:2", opts(17, 33, 3, 2, 1)});
    v.push_back({"227x149 4:2:0", opts(227, 149, 3, 2, 2)});
    v.push_back({"256x256 4:2:0", opts(256, 256, 3, 2, 2)});
    v.push_back({"257x255 4:2:0", opts(257, 255, 3, 2, 2)});
    v.push_back({"515x301 4:4:4", opts(515, 301, 3, 1, 1)});
    v.push_back({"1000x1 grey", opts(1000, 1, 1, 1, 1)});
    v.push_back({"1x1000 grey", opts(1, 1000, 1, 1, 1)});
    v.push_back({"301x77 grey 2x2", opts(301, 77, 1, 2, 2)});
    {
        EncodeOptions o = opts(3001, 2003, 3, 2, 2);
        o.progressive = true;
        o.restart = 37;
        v.push_back({"3001x2003 4:2:0 progressive restart 37", o});
    }
    {
        EncodeOptions o = opts(1999, 1201, 3, 2, 2);
        v.push_back({"1999x1201 4:2:0 baseline", o});
    }
    {
        EncodeOptions o = opts(640, 480, 3, 2, 1);
        o.restart = 7;
        v.push_back({"640x480 4:2:2 restart 7", o});
    }
    {
        EncodeOptions o = opts(333, 257, 3, 2, 2);
        o.restart = 1;
        o.optimize = true;
        v.push_back({"333x257 4:2:0 restart 1 optimised", o});
    }
    {
        EncodeOptions o = opts(513, 300, 3, 1, 1);
        o.progressive = true;
        v.push_back({"513x300 4:4:4 progressive", o});
    }
    {
        EncodeOptions o = opts(523, 317, 3, 2, 2);
        o.separate_scans = true;
        o.restart = 5;
        v.push_back({"523x317 4:2:0 a scan per component restart 5", o});
    }
    {
        EncodeOptions o = opts(300, 513, 3, 2, 1);
        o.progressive = true;
        o.restart = 5;
        v.push_back({"300x513 4:2:2 progressive restart 5", o});
    }
    {
        EncodeOptions o = opts(259, 131, 1, 1, 1);
        o.progressive = true;
        v.push_back({"259x131 grey progressive", o});
    }
    {
        EncodeOptions o = opts(271, 190, 3, 2, 2);
        o.quality = 5;
        o.force_baseline = false;
        v.push_back({"271x190 4:2:0 extended 16-bit tables", o});
    }
    {
        EncodeOptions o = opts(200, 150, 3, 1, 1);
        o.rgb = true;
        o.adobe = true;
        v.push_back({"200x150 RGB with Adobe", o});
    }
    {
        EncodeOptions o = opts(203, 151, 3, 1, 1);
        o.rgb = true;
        o.adobe = false;
        v.push_back({"203x151 RGB ids only", o});
    }
    {
        EncodeOptions o = opts(190, 170, 3, 2, 2);
        o.adobe = true;
        o.jfif = false;
        v.push_back({"190x170 4:2:0 Adobe YCbCr", o});
    }
    {
        EncodeOptions o = opts(97, 61, 3, 2, 2);
        o.quality = 100;
        v.push_back({"97x61 4:2:0 quality 100", o});
    }
    // Every other layout of whole ratios: 4:4:0 (a 4:2:2 photo turned
    // losslessly), 4:1:1, 4:1:0, thirds, quarters down; narrow and short
    // images where a component is one or two samples across.
    struct Layout {
        u32 h0, v0;
        const char* name;
    };
    for (Layout l : {Layout{1, 2, "4:4:0"}, Layout{4, 1, "4:1:1"}, Layout{4, 2, "4:1:0"}, Layout{3, 1, "3x1"},
                     Layout{3, 2, "3x2"}, Layout{1, 3, "1x3"}, Layout{1, 4, "1x4"}, Layout{2, 4, "2x4"},
                     Layout{2, 3, "2x3"}}) {
        for (u32 size : {0u, 1u, 2u}) {
            static const u32 w[3] = {301, 3, 9}, h[3] = {257, 5, 2};
            EncodeOptions o = opts(w[size], h[size], 3, l.h0, l.v0);
            o.progressive = size == 0 && l.h0 * l.v0 % 2 == 0;
            static std::deque<std::string> names;  // keeps each name where it is
            names.push_back(std::to_string(w[size]) + "x" + std::to_string(h[size]) + " " + l.name +
                            (o.progressive ? " progressive" : ""));
            v.push_back({names.back().c_str(), o});
        }
    }
    return v;
}

JpegPlanes planes_of(DecoderMemory* mem) {
    JpegLayout layout;
    JpegPlanes planes;
    JpegRestartIndex index;
    const JpegDecoder* d = (const JpegDecoder*)mem->scratch.data;
    EXPECT_TRUE(jpeg_working_layout(d, &layout));
    jpeg_planes_from_layout(mem->scratch.data, &layout, &planes, &index);
    return planes;
}

u8 clamp255(int v) {
    return (u8)std::clamp(v, 0, 255);
}

// The preview rule applied to libjpeg-turbo's coefficients.
std::vector<u8> model_preview(const RefCoefficients& ref, const JpegDecoder* d) {
    u32 pw = d->comp[0].preview_width, ph = d->comp[0].preview_height;
    std::vector<u8> out((size_t)pw * ph * 4);
    u32 mode = jpeg_color_mode(d);
    for (u32 y = 0; y < ph; y++) {
        for (u32 x = 0; x < pw; x++) {
            int s[3] = {};
            for (u32 c = 0; c < d->components; c++) {
                u32 bx = x / (d->h_max / d->comp[c].h), by = y / (d->v_max / d->comp[c].v);
                int dc = ref.coef[c][((size_t)by * ref.blocks_wide[c] + bx) * 64];
                int q = (i16)ref.quant[c][0];
                s[c] = clamp255(((dc * q + 4) >> 3) + 128);
            }
            u8* p = &out[((size_t)y * pw + x) * 4];
            if (mode == JPEG_COLOR_GREY) {
                p[0] = p[1] = p[2] = (u8)s[0];
            } else if (mode == JPEG_COLOR_RGB) {
                p[0] = (u8)s[0], p[1] = (u8)s[1], p[2] = (u8)s[2];
            } else {
                int cb = s[1] - 128, cr = s[2] - 128;
                p[0] = clamp255(s[0] + ((91881 * cr + 32768) >> 16));
                p[1] = clamp255(s[0] + ((-22554 * cb - 46802 * cr + 32768) >> 16));
                p[2] = clamp255(s[0] + ((116130 * cb + 32768) >> 16));
            }
            p[3] = 255;
        }
    }
    return out;
}

struct Diff {
    int max[3] = {};
    double mean[3] = {};
};

Diff compare_rgba(const std::vector<u8>& ours, const std::vector<u8>& ref, size_t pixels) {
    Diff d;
    double sum[3] = {};
    for (size_t i = 0; i < pixels; i++) {
        for (u32 c = 0; c < 3; c++) {
            int e = std::abs((int)ours[i * 4 + c] - (int)ref[i * 4 + c]);
            d.max[c] = std::max(d.max[c], e);
            sum[c] += e;
        }
    }
    for (u32 c = 0; c < 3; c++) d.mean[c] = pixels ? sum[c] / (double)pixels : 0;
    return d;
}

class JpegReference : public ::testing::TestWithParam<Case> {};

TEST_P(JpegReference, CoefficientsPreviewAndFullResolution) {
    const Case& k = GetParam();
    std::vector<u8> file = ref_encode(k.o);
    ASSERT_FALSE(file.empty());
    DecoderMemory mem;
    DecodeResult ours;
    ASSERT_TRUE(run_decoder(file, &ours, true, &mem))
        << ours.stage << " failed: code " << ours.error.code << " at " << ours.error.offset;
    EXPECT_EQ(ours.info.width, k.o.width);
    EXPECT_EQ(ours.info.height, k.o.height);
    EXPECT_EQ(ours.preview_width, (k.o.width + 7) / 8);
    EXPECT_EQ(ours.preview_height, (k.o.height + 7) / 8);

    // Every stored coefficient equals libjpeg-turbo's entropy decode.
    const JpegDecoder* d = (const JpegDecoder*)mem.scratch.data;
    RefCoefficients ref = ref_coefficients(file);
    ASSERT_TRUE(ref.ok);
    ASSERT_EQ(ref.components, d->components);
    JpegPlanes planes = planes_of(&mem);
    for (u32 c = 0; c < d->components; c++) {
        ASSERT_EQ(ref.blocks_wide[c], d->comp[c].preview_width);
        ASSERT_EQ(ref.blocks_high[c], d->comp[c].preview_height);
        u64 mismatches = 0;
        std::vector<i16> row((size_t)ref.blocks_wide[c] * 64);
        for (u32 by = 0; by < ref.blocks_high[c]; by++) {
            jpeg_stored_blocks(d, &planes, c, by, 0, ref.blocks_wide[c], row.data());
            for (u32 bx = 0; bx < ref.blocks_wide[c]; bx++) {
                const i16* b = &ref.coef[c][((size_t)by * ref.blocks_wide[c] + bx) * 64];
                if (memcmp(&row[(size_t)bx * 64], b, 128) != 0) mismatches++;
            }
        }
        EXPECT_EQ(mismatches, 0u) << "component " << c;
    }

    // In memory that is backed already the store is plain.
    EXPECT_EQ(d->packed, 0u);

    // Forced packed (the choice in fresh memory), over leftovers: the same
    // coefficients and the same image.
    jpeg_force_store(JPEG_STORE_PACKED);
    DecoderMemory pmem;
    pmem.fill = 0xA5;
    DecodeResult packed;
    bool packed_ok = run_decoder(file, &packed, true, &pmem);
    jpeg_force_store(JPEG_STORE_AUTO);
    ASSERT_TRUE(packed_ok) << packed.stage << " failed: code " << packed.error.code;
    const JpegDecoder* pk = (const JpegDecoder*)pmem.scratch.data;
    EXPECT_EQ(pk->packed != 0, jpeg_store_packed(pk));
    // Every sequential case with four blocks across or more packs.
    bool wide = true;
    for (u32 c = 0; c < pk->components; c++) wide &= pk->comp[c].blocks_across >= 4;
    EXPECT_EQ(pk->packed != 0, !k.o.progressive && wide);
    JpegPlanes pplanes = planes_of(&pmem);
    for (u32 c = 0; c < pk->components; c++) {
        u64 mismatches = 0;
        std::vector<i16> row((size_t)ref.blocks_wide[c] * 64);
        for (u32 by = 0; by < ref.blocks_high[c]; by++) {
            // From every starting block, as tiles start anywhere.
            u32 bx0 = by % ref.blocks_wide[c];
            jpeg_stored_blocks(pk, &pplanes, c, by, bx0, ref.blocks_wide[c], row.data());
            for (u32 bx = bx0; bx < ref.blocks_wide[c]; bx++) {
                const i16* b = &ref.coef[c][((size_t)by * ref.blocks_wide[c] + bx) * 64];
                if (memcmp(&row[(size_t)(bx - bx0) * 64], b, 128) != 0) mismatches++;
            }
        }
        EXPECT_EQ(mismatches, 0u) << "packed, component " << c;
    }
    EXPECT_TRUE(packed.full == ours.full) << "packed store";

    // The preview is the DC rule, byte for byte.
    std::vector<u8> model = model_preview(ref, d);
    EXPECT_TRUE(model == ours.preview) << "preview differs from the DC rule";

    // Without chroma halved (or quartered) both ways libjpeg-turbo's 1/8
    // decode is the same rule. For 4:2:0 it scales chroma with a 2 x 2
    // inverse DCT instead of repeating the DC sample, so its chroma has four
    // values per block where ours has one; that case is checked against the
    // rule above instead.
    bool chroma_2x2 = false;
    for (u32 c = 1; c < d->components; c++) {
        chroma_2x2 |= (d->h_max / d->comp[c].h) % 2 == 0 && (d->v_max / d->comp[c].v) % 2 == 0;
    }
    RefImage eighth = ref_decode(file, 8, false, JCS_EXT_RGBA);
    ASSERT_TRUE(eighth.ok);
    ASSERT_EQ(eighth.width, ours.preview_width);
    ASSERT_EQ(eighth.height, ours.preview_height);
    Diff pd = compare_rgba(ours.preview, eighth.pixels, (size_t)eighth.width * eighth.height);
    if (!chroma_2x2) {
        EXPECT_TRUE(eighth.pixels == ours.preview) << "preview differs from the 1/8 decode, max "
                                                   << pd.max[0] << "/" << pd.max[1] << "/" << pd.max[2];
    }

    // Full resolution against the accurate integer decode with fancy upsampling.
    RefImage fullref = ref_decode(file, 1, true, JCS_EXT_RGBA);
    ASSERT_TRUE(fullref.ok);
    Diff fd = compare_rgba(ours.full, fullref.pixels, (size_t)k.o.width * k.o.height);
    printf("[ %-42s ] preview vs 1/8: max %d/%d/%d; full: max %d/%d/%d mean %.4f/%.4f/%.4f\n", k.name, pd.max[0],
           pd.max[1], pd.max[2], fd.max[0], fd.max[1], fd.max[2], fd.mean[0], fd.mean[1], fd.mean[2]);
    for (u32 c = 0; c < 3; c++) {
        EXPECT_LE(fd.max[c], FULL_MAX) << "channel " << c;
        EXPECT_LE(fd.mean[c], FULL_MEAN) << "channel " << c;
    }
}

INSTANTIATE_TEST_SUITE_P(Generated, JpegReference, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             std::string s;
                             for (const char* p = info.param.name; *p; p++) s += isalnum((unsigned char)*p) ? *p : '_';
                             return s;
                         });

// The decoder clears nothing ahead and writes each stored block whole, so
// what the memory held before must not matter: buffers full of a pattern,
// and a second decode over the first one's leftovers, give the images of
// cleared memory. Odd sizes leave padding blocks that no scan writes.
TEST(JpegReference, LeftoverMemoryDoesNotShow) {
    struct Shape {
        u32 w, h, components, h0, v0;
        bool progressive;
    };
    const Shape shapes[] = {{37, 23, 3, 2, 2, false}, {37, 23, 3, 2, 2, true},  {300, 200, 3, 2, 1, false},
                            {129, 65, 3, 1, 1, true}, {45, 77, 1, 1, 1, false}, {45, 77, 1, 1, 1, true},
                            {250, 90, 3, 2, 2, true}};
    for (const Shape& sh : shapes) {
        EncodeOptions o = opts(sh.w, sh.h, sh.components, sh.h0, sh.v0);
        o.progressive = sh.progressive;
        std::vector<u8> file = ref_encode(o);
        ASSERT_FALSE(file.empty());
        DecodeResult clean, dirty, again;
        ASSERT_TRUE(run_decoder(file, &clean, true));
        DecoderMemory mem;
        mem.fill = 0xA5;
        ASSERT_TRUE(run_decoder(file, &dirty, true, &mem));
        EXPECT_TRUE(clean.preview == dirty.preview) << sh.w << "x" << sh.h;
        EXPECT_TRUE(clean.full == dirty.full) << sh.w << "x" << sh.h;
        // Again over the same scratch, with its coefficients still stored.
        u8* scratch = mem.scratch.data;
        ImageInfo info = dirty.info;
        PixelBuffer pb{mem.pixels.data, 0, 0, 0};
        CodecError err;
        ASSERT_TRUE(jpeg_decode_preview(file.data(), file.size(), scratch, info.scratch_bytes, &pb, info.pixel_bytes,
                                        &err));
        ASSERT_TRUE(jpeg_finish_full_resolution(file.data(), file.size(), scratch, info.scratch_bytes,
                                                mem.extra.data, info.extra_bytes, &err));
        std::vector<u8> tile(1024 * 256);
        for (u32 row = 0; row * 256 < sh.h; row++) {
            for (u32 col = 0; col * 256 < sh.w; col++) {
                PixelBuffer t{tile.data(), 1024, 256, 256};
                ASSERT_TRUE(jpeg_render_full_tile(scratch, mem.extra.data, col, row, &t, &err));
                u32 cw = std::min(256u, sh.w - col * 256), ch = std::min(256u, sh.h - row * 256);
                for (u32 i = 0; i < ch; i++) {
                    ASSERT_EQ(memcmp(&clean.full[((size_t)(row * 256 + i) * sh.w + col * 256) * 4], &tile[i * 1024],
                                     cw * 4),
                              0)
                        << sh.w << "x" << sh.h << " row " << row * 256 + i;
                }
            }
        }
    }
}

// The whole road over a scratch that an earlier decode left behind: the
// full-resolution image assembled from its tiles.
std::vector<u8> decode_over(const std::vector<u8>& file, DecoderMemory* mem) {
    ImageInfo info;
    CodecError err;
    JpegDecoder probed;
    EXPECT_TRUE(jpeg_probe(file.data(), file.size(), &info, &probed, &err));
    EXPECT_LE(info.scratch_bytes, mem->scratch.storage.size() - 64);
    EXPECT_LE(info.extra_bytes, mem->extra.storage.size() - 64);
    PixelBuffer pb{mem->pixels.data, 0, 0, 0};
    EXPECT_TRUE(jpeg_decode_preview(file.data(), file.size(), mem->scratch.data, info.scratch_bytes, &pb,
                                    info.pixel_bytes, &err));
    EXPECT_TRUE(jpeg_finish_full_resolution(file.data(), file.size(), mem->scratch.data, info.scratch_bytes,
                                            mem->extra.data, info.extra_bytes, &err));
    std::vector<u8> full((size_t)info.width * info.height * 4);
    std::vector<u8> tile(1024 * 256);
    for (u32 row = 0; row * 256 < info.height; row++) {
        for (u32 col = 0; col * 256 < info.width; col++) {
            PixelBuffer t{tile.data(), 1024, 256, 256};
            EXPECT_TRUE(jpeg_render_full_tile(mem->scratch.data, mem->extra.data, col, row, &t, &err));
            u32 cw = std::min(256u, info.width - col * 256), ch = std::min(256u, info.height - row * 256);
            for (u32 i = 0; i < ch; i++) {
                memcpy(&full[((size_t)(row * 256 + i) * info.width + col * 256) * 4], &tile[(size_t)i * 1024],
                       cw * 4);
            }
        }
    }
    return full;
}

// A second stage over planes that an earlier one in the same scratch wrote
// skips backing them again; another file over them, of the same layout
// (the planes taken as backed) or a smaller one (not), still gives its own
// images, those of a decode in fresh memory.
TEST(JpegReference, AnotherFileOverTheSameScratch) {
    EncodeOptions first = opts(300, 200, 3, 2, 2);
    EncodeOptions same = first;
    same.seed = 7;
    same.quality = 60;
    EncodeOptions smaller = opts(150, 90, 3, 1, 1);
    smaller.seed = 3;
    DecoderMemory mem;
    DecodeResult a;
    ASSERT_TRUE(run_decoder(ref_encode(first), &a, true, &mem));
    for (const EncodeOptions& o : {same, smaller, first}) {
        std::vector<u8> file = ref_encode(o);
        ASSERT_FALSE(file.empty());
        DecodeResult fresh;
        ASSERT_TRUE(run_decoder(file, &fresh, true));
        EXPECT_TRUE(decode_over(file, &mem) == fresh.full) << o.width << "x" << o.height << " q" << o.quality;
    }
}

// The whole road in fresh memory (pages not backed yet, as a newly opened
// document's): the full-resolution image and the record's packed mask.
struct FreshDecode {
    std::vector<u8> full;
    u32 packed = 0;
};

FreshDecode decode_fresh(const std::vector<u8>& file) {
    FreshDecode out;
    ImageInfo info;
    CodecError err;
    JpegDecoder probed;
    EXPECT_TRUE(jpeg_probe(file.data(), file.size(), &info, &probed, &err));
    u64 size = align64(info.scratch_bytes) + align64(info.pixel_bytes) + info.extra_bytes;
    u8* memory = (u8*)os_reserve_commit(size);
    EXPECT_NE(memory, nullptr);
    if (memory == nullptr) return out;
    u8* scratch = memory;
    u8* pixels = memory + align64(info.scratch_bytes);
    u8* extra = pixels + align64(info.pixel_bytes);
    PixelBuffer pb{pixels, 0, 0, 0};
    EXPECT_TRUE(jpeg_decode_preview(file.data(), file.size(), scratch, info.scratch_bytes, &pb, info.pixel_bytes, &err));
    EXPECT_TRUE(jpeg_finish_full_resolution(file.data(), file.size(), scratch, info.scratch_bytes, extra,
                                            info.extra_bytes, &err));
    out.packed = ((const JpegDecoder*)scratch)->packed;
    out.full.assign((size_t)info.width * info.height * 4, 0);
    std::vector<u8> tile(1024 * 256);
    for (u32 row = 0; row * 256 < info.height; row++) {
        for (u32 col = 0; col * 256 < info.width; col++) {
            PixelBuffer t{tile.data(), 1024, 256, 256};
            EXPECT_TRUE(jpeg_render_full_tile(scratch, extra, col, row, &t, &err));
            u32 cw = std::min(256u, info.width - col * 256), ch = std::min(256u, info.height - row * 256);
            for (u32 i = 0; i < ch; i++) {
                memcpy(&out.full[((size_t)(row * 256 + i) * info.width + col * 256) * 4], &tile[(size_t)i * 1024],
                       cw * 4);
            }
        }
    }
    os_release(memory, size);
    return out;
}

// The second stage packs a frame in fresh memory and stores it plain in
// memory that is backed already; both give the same image.
TEST(JpegReference, PackedInFreshMemoryOnly) {
    std::vector<u8> file = ref_encode(opts(700, 500, 3, 2, 2));
    DecodeResult plain;
    ASSERT_TRUE(run_decoder(file, &plain, true));
    FreshDecode fresh = decode_fresh(file);
    EXPECT_EQ(fresh.packed, 7u);
    EXPECT_TRUE(fresh.full == plain.full);
    // In memory whose every page is backed, plain.
    DecoderMemory mem;
    ASSERT_TRUE(run_decoder(file, &plain, true, &mem));
    EXPECT_EQ(((const JpegDecoder*)mem.scratch.data)->packed, 0u);
}

// A sequential frame that scans a component twice adds the second scan's
// terms to the first's blocks: such a frame is never packed, so fresh
// memory gives the image of backed memory.
TEST(JpegReference, ComponentScannedTwiceIsNotPacked) {
    EncodeOptions a = opts(120, 64, 1, 1, 1);
    EncodeOptions b = a;
    b.seed = 9;
    std::vector<u8> fa = ref_encode(a), fb = ref_encode(b);
    ASSERT_FALSE(fa.empty());
    ASSERT_FALSE(fb.empty());
    // The first scan header, and the end of the image, of each.
    auto find = [](const std::vector<u8>& f, u8 code) {
        for (size_t i = 2; i + 1 < f.size(); i++) {
            if (f[i] == 0xFF && f[i + 1] == code) return i;
        }
        return f.size();
    };
    size_t sos_b = find(fb, 0xDA), eoi_a = fa.size() - 2;
    ASSERT_LT(sos_b, fb.size());
    ASSERT_EQ(fa[eoi_a + 1], 0xD9);
    std::vector<u8> file(fa.begin(), fa.begin() + (long)eoi_a);
    file.insert(file.end(), fb.begin() + (long)sos_b, fb.end());
    DecodeResult plain, single;
    ASSERT_TRUE(run_decoder(file, &plain, true)) << plain.stage << " " << plain.error.code;
    ASSERT_TRUE(run_decoder(fa, &single, true));
    // The second scan shows.
    EXPECT_FALSE(plain.full == single.full);
    FreshDecode fresh = decode_fresh(file);
    EXPECT_EQ(fresh.packed, 0u);
    EXPECT_TRUE(fresh.full == plain.full);
    EXPECT_NE(decode_fresh(fa).packed, 0u);
}

// The scalar kernels give the same images as the vector ones.
TEST(JpegReference, ScalarKernelsGiveTheSameImages) {
    EncodeOptions o = opts(300, 200, 3, 2, 2);
    o.progressive = true;
    std::vector<u8> file = ref_encode(o);
    DecodeResult a, b, c;
    ASSERT_TRUE(jpeg_force_kernels(JPEG_KERNELS_SCALAR));
    ASSERT_TRUE(run_decoder(file, &a, true));
    ASSERT_TRUE(jpeg_force_kernels(JPEG_KERNELS_SSE2));
    ASSERT_TRUE(run_decoder(file, &c, true));
    ASSERT_TRUE(jpeg_force_kernels(JPEG_KERNELS_BEST));
    ASSERT_TRUE(run_decoder(file, &b, true));
    EXPECT_TRUE(a.preview == b.preview);
    EXPECT_TRUE(a.full == b.full);
    EXPECT_TRUE(a.full == c.full);
}

}  // namespace
