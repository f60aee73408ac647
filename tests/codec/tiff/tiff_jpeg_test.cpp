// The direct path of JPEG blocks (codec/jpeg/sequential.h) against the full
// path it stands in for (decode_scans, then make_tile): the same pixels on
// streams of every size and sampling our encoder writes, and on damaged
// copies of them a direct decode that succeeds only where the full path
// does, with the same pixels (a fault must reach the full path, which
// reports it). Also the chroma row filter's SSE2 twin against the scalar one.
// The faults themselves, through the TIFF decoder, are in tiff_decode_test.
#include <gtest/gtest.h>

#include <random>

#include "codec/jpeg/encode.h"
#include "codec/jpeg/kernels.h"
#include "codec/jpeg/sequential.h"
#include "tiff_support.h"

using namespace tifftest;

namespace {

// YCbCr as a TIFF file's Photometric field says, whatever markers there are.
void tiff_colour(JpegDecoder* d) {
    d->jfif = false;
    d->adobe_transform = 1;
}

// The full path over the whole frame; false on any fault.
bool full_decode(const Bytes& s, std::vector<u32>* out, u32* width, u32* height) {
    auto record = std::make_unique<JpegDecoder>();
    JpegQuickHeader quick;
    JpegStatus st;
    if (!read_quick_header(s.data(), s.size(), record.get(), &quick, &st)) return false;
    JpegLayout layout;
    if (!jpeg_working_layout(record.get(), &layout)) return false;
    u64 workspace_size = jpeg_tile_workspace_size(record.get());
    Scratch scratch(layout.total + workspace_size + 64);
    JpegDecoder* d = (JpegDecoder*)scratch.p;
    memcpy(d, record.get(), sizeof *d);
    JpegPlanes planes;
    JpegRestartIndex index;
    jpeg_planes_from_layout(scratch.p, &layout, &planes, &index);
    for (u32 c = 0; c < d->components; c++) memset(planes.plane[c].coefficients, 0, planes.plane[c].coefficient_count * 2);
    if (!decode_scans(s.data(), s.size(), d, &planes, &index, false, &st) || !check_full_sampling(d)) return false;
    for (u32 c = 0; c < d->components; c++) {
        if (!(d->quant_defined & (1u << d->comp[c].quant_table))) return false;
    }
    tiff_colour(d);
    u8* workspace = scratch.p + align64(layout.total);
    write_idct_constants(workspace);
    u32 stride = (d->width + 7) & ~7u;
    out->assign((size_t)stride * d->height, 0);
    for (u32 y = 0; y < d->height; y += JPEG_TILE) {
        for (u32 x = 0; x < d->width; x += JPEG_TILE) {
            PixelBuffer tile = {(u8*)(out->data() + (size_t)y * stride + x), (u64)stride * 4, JPEG_TILE, JPEG_TILE};
            make_tile(d, &planes, workspace, x, y, std::min(d->width - x, (u32)JPEG_TILE),
                      std::min(d->height - y, (u32)JPEG_TILE), &tile);
        }
    }
    *width = d->width;
    *height = d->height;
    return true;
}

// The direct path: 0 declined, 1 decoded, 2 failed in the data. With
// `wide`, the AC symbols are read through the wide tables, as they are for
// images whose tables came from a table stream.
u32 direct_decode(const Bytes& s, u32 rows_less, std::vector<u32>* out, bool wide = false) {
    auto d = std::make_unique<JpegDecoder>();
    JpegSequentialScan scan;
    if (!jpeg_sequential_begin(s.data(), s.size(), d.get(), &scan)) return 0;
    EXPECT_EQ(d->ac_wide_built, 0u);
    for (u32 t = 0; t < 4 && wide; t++) {
        if (!(d->ac_defined & (1u << t))) continue;
        build_ac_wide(&d->ac[t], d->ac_wide[t]);
        d->ac_wide_built |= 1u << t;
    }
    u64 samples_size, work_size;
    jpeg_sequential_sizes(d.get(), &samples_size, &work_size);
    Scratch samples(samples_size), work(work_size);
    tiff_colour(d.get());
    u32 stride = (d->width + 7) & ~7u;
    out->assign((size_t)stride * d->height, 0);
    u32 rows = d->height - std::min(rows_less, d->height - 1);
    bool ok = jpeg_sequential_decode(s.data(), d.get(), &scan, jpeg_color_mode(d.get()), samples.p, work.p, rows,
                                     (u8*)out->data(), (u64)stride * 4);
    return ok ? 1 : 2;
}

Bytes encode(u32 w, u32 h, u32 quality, u32 subsampling, u32 seed) {
    std::mt19937 rng(seed);
    std::vector<u32> rgba((size_t)w * h);
    for (u32 y = 0; y < h; y++)
        for (u32 x = 0; x < w; x++) {
            u32 v = 0xFF000000u;
            for (u32 c = 0; c < 3; c++) v |= photo_value(x, y, c, 255, rng) << (8 * c);
            rgba[(size_t)y * w + x] = v;
        }
    JpegEncodeSettings settings = {quality, subsampling, 0};
    std::vector<u8> work(jpeg_encode_workspace_bytes(&settings, w, h));
    Bytes out(jpeg_encode_output_bound(&settings, w, h));
    JpegEncodeResult r;
    if (!jpeg_encode(span_of(rgba.data(), rgba.size() * 4), (u64)w * 4, w, h, &settings, work.data(), work.size(),
                     out.data(), out.size(), &r)) {
        return {};
    }
    out.resize(r.bytes);
    return out;
}

// Rows [0, rows) of `width` pixels of two images of the same stride.
void expect_same_rows(const std::vector<u32>& a, const std::vector<u32>& b, u32 width, u32 rows, const char* what) {
    u32 stride = (width + 7) & ~7u;
    for (u32 y = 0; y < rows; y++) {
        for (u32 x = 0; x < width; x++) {
            ASSERT_EQ(a[(size_t)y * stride + x], b[(size_t)y * stride + x]) << what << " at " << x << "," << y;
        }
    }
}

}  // namespace

TEST(TiffJpegDirect, ChromaRowFilterMatchesScalar) {
    std::mt19937 rng(7);
    for (u32 count = 2; count < 300; count += count < 40 ? 1 : 37) {
        std::vector<u8> near(count + 64), far(count + 64), want(2 * count + 64), got(2 * count + 64);
        for (u32 rep = 0; rep < 4; rep++) {
            for (auto& v : near) v = (u8)(rep == 3 ? 255 : rng());
            for (auto& v : far) v = (u8)(rep == 3 ? 255 : rng());
            jpeg_h2v2_row_scalar(near.data(), far.data(), want.data(), count);
            jpeg_h2v2_row_sse2(near.data(), far.data(), got.data(), count);
            for (u32 i = 0; i < 2 * count; i++) ASSERT_EQ(want[i], got[i]) << count << " at " << i;
            if (!__builtin_cpu_supports("avx2")) continue;
            std::fill(got.begin(), got.end(), 0);
            jpeg_h2v2_row_avx2(near.data(), far.data(), got.data(), count);
            for (u32 i = 0; i < 2 * count; i++) ASSERT_EQ(want[i], got[i]) << "avx2 " << count << " at " << i;
        }
    }
    // One case by hand: the edge samples repeated.
    const u8 near[8] = {10, 20, 30}, far[8] = {0, 40, 30};
    u8 out[32] = {};
    jpeg_h2v2_row_scalar(near, far, out, 3);
    // t = 30, 100, 120: (90 + 30 + 8) >> 4, (90 + 100 + 7) >> 4, (300 + 30 + 8) >> 4, ...
    const u8 want[6] = {8, 12, 21, 26, 29, 30};
    for (u32 i = 0; i < 6; i++) EXPECT_EQ(out[i], want[i]) << i;
}

TEST(TiffJpegDirect, SamePixelsAsTheFullPath) {
    const u32 sizes[][2] = {{8, 8}, {3, 5}, {17, 9}, {64, 16}, {100, 1}, {301, 277}, {256, 256}, {600, 24}};
    u32 taken = 0;
    for (u32 variant : {JPEG_KERNELS_SCALAR, JPEG_KERNELS_SSE2, JPEG_KERNELS_AVX2}) {
        if (!jpeg_sequential_force_kernels(variant)) continue;
        for (const auto& size : sizes) {
            for (u32 subsampling : {0u, 1u}) {
                for (u32 quality : {40u, 95u}) {
                    Bytes s = encode(size[0], size[1], quality, subsampling, size[0] * 7 + quality);
                    ASSERT_FALSE(s.empty());
                    std::vector<u32> full, direct;
                    u32 w = 0, h = 0;
                    ASSERT_TRUE(full_decode(s, &full, &w, &h));
                    for (u32 less : {0u, 1u}) {
                        u32 r = direct_decode(s, less, &direct, less == 1);
                        ASSERT_NE(r, 2u) << size[0] << "x" << size[1];
                        if (r == 0) continue;
                        taken++;
                        expect_same_rows(full, direct, w, h - std::min(less, h - 1), "direct");
                    }
                }
            }
        }
    }
    jpeg_sequential_force_kernels(JPEG_KERNELS_BEST);
    // Everything but the narrowest halved chroma goes the direct way.
    EXPECT_GE(taken, 56u);
}

TEST(TiffJpegDirect, DamagedStreamsSucceedOnlyWhereTheFullPathDoes) {
    std::mt19937 rng(11);
    u32 decoded = 0, failed = 0;
    for (u32 subsampling : {0u, 1u}) {
        Bytes good = encode(72, 40, 80, subsampling, 3);
        // The entropy-coded data: from after the scan header to the end marker.
        u64 sos = 0;
        for (u64 i = 0; i + 1 < good.size(); i++) {
            if (good[i] == 0xFF && good[i + 1] == 0xDA) sos = i;
        }
        ASSERT_GT(sos, 0u);
        u64 data = sos + 2 + (good[sos + 2] << 8 | good[sos + 3]);
        // The scan's components listed in other orders: its data is then
        // read with other tables and block counts.
        for (u32 turn = 1; turn < 3; turn++) {
            Bytes s = good;
            for (u32 i = 0; i < 3; i++) {
                s[sos + 5 + 2 * i] = good[sos + 5 + 2 * ((i + turn) % 3)];
                s[sos + 6 + 2 * i] = good[sos + 6 + 2 * ((i + turn) % 3)];
            }
            std::vector<u32> full, direct;
            u32 w = 0, h = 0;
            bool full_ok = full_decode(s, &full, &w, &h);
            if (direct_decode(s, 0, &direct) == 1) {
                ASSERT_TRUE(full_ok) << "order " << turn;
                expect_same_rows(full, direct, w, h, "reordered");
            }
        }
        for (u32 trial = 0; trial < 400; trial++) {
            Bytes s = good;
            u32 kind = trial % 4;
            u64 at = data + rng() % (good.size() - 2 - data);
            if (kind == 0) {
                s[at] ^= (u8)(1u << (rng() % 8));
            } else if (kind == 1) {
                s.resize(at);
            } else if (kind == 2) {
                s[at] = 0xFF;
                s[at + 1] = (u8)(0xD0 + rng() % 8);
            } else {
                s.erase(s.begin() + (long)at, s.begin() + (long)at + 1 + rng() % 3);
            }
            std::vector<u32> full, direct, direct_wide;
            u32 w = 0, h = 0;
            bool full_ok = full_decode(s, &full, &w, &h);
            u32 r = direct_decode(s, 0, &direct);
            // The wide tables read the same symbols: the same outcome.
            ASSERT_EQ(direct_decode(s, 0, &direct_wide, true), r) << "trial " << trial;
            if (r == 1) {
                ASSERT_TRUE(full_ok) << "trial " << trial;
                expect_same_rows(full, direct, w, h, "damaged");
                expect_same_rows(full, direct_wide, w, h, "damaged, wide");
                decoded++;
            } else if (r == 2) {
                failed++;
            }
        }
    }
    // Both outcomes occur: flipped bits mostly still decode, cut data fails.
    EXPECT_GT(decoded, 20u);
    EXPECT_GT(failed, 20u);
}
