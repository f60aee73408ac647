// YUV 4:2:0 to RGBA as libwebp's default decode does it: chroma upsampled
// 2 x 2 by the "fancy" filter (weights 9, 3, 3, 1 out of 16 from the four
// nearest chroma samples, in two rounding steps), then converted with
// 14-bit fixed-point BT.601 constants. Both happen in one pass, a pair of
// pixels between two chroma columns at a time (a kernel with SSE2 and AVX2
// twins); the first pixel of a row and the last of an even-width row, which
// take their chroma from one column, go one at a time.
#include "codec/webp/vp8.h"

#include "base/cpu.h"

// (v * coeff) >> 8, then clipped from 6 fractional bits to 8 bits (by
// comparisons the compiler turns into conditional moves: the few pixels a
// row outside the pairs come here too, and their values follow the image).
static QB_FORCE_INLINE i32 mul_hi(i32 v, i32 coeff) {
    return (v * coeff) >> 8;
}
static QB_FORCE_INLINE u8 clip_fix(i32 v) {
    v = v < 0 ? 0 : v;
    v = v > 16383 ? 16383 : v;
    return (u8)(v >> 6);
}

static QB_FORCE_INLINE void to_rgba(i32 y, i32 u, i32 v, u8* out) {
    i32 luma = mul_hi(y, 19077);
    out[0] = clip_fix(luma + mul_hi(v, 26149) - 14234);
    out[1] = clip_fix(luma - mul_hi(u, 6419) - mul_hi(v, 13320) + 8708);
    out[2] = clip_fix(luma + mul_hi(u, 33050) - 17685);
    out[3] = 255;
}

// A pixel's chroma from its near chroma row's column n0 (the pixel's own)
// and n1 (the other one beside it) and the far row's f0 and f1: weights 9,
// 3, 3 and 1 out of 16. At the image's left and right edges the other
// column is the pixel's own, and this is (3 n0 + f0 + 2) >> 2, the vertical
// interpolation alone.
static QB_FORCE_INLINE u32 fancy(u32 n0, u32 n1, u32 f0, u32 f1) {
    return (((n0 + f1 + 3 * (n1 + f0) + 8) >> 3) + n0) >> 1;
}

// Chroma at output column 2 j - 1 (`odd`, its own column j - 1) or 2 j (its
// own column j), between chroma columns j - 1 and j of the near row n and
// the far row f.
static QB_FORCE_INLINE u32 between(const u8* n, const u8* f, u32 j, bool odd) {
    if (odd) return fancy(n[j - 1], n[j], f[j - 1], f[j]);
    return fancy(n[j], n[j - 1], f[j], f[j - 1]);
}

void vp8_pairs_to_rgba_scalar(const u8* y, const u8* un, const u8* uf, const u8* vn, const u8* vf, u8* out,
                              u32 pairs) {
    for (u32 i = 0; i < pairs; i++) {
        to_rgba(y[2 * i], between(un, uf, i + 1, true), between(vn, vf, i + 1, true), out + 8 * i);
        to_rgba(y[2 * i + 1], between(un, uf, i + 1, false), between(vn, vf, i + 1, false), out + 8 * i + 4);
    }
}

void vp8_pairs_to_rgba2_scalar(const u8* y0, const u8* y1, const u8* ua, const u8* ub, const u8* va, const u8* vb,
                               u8* out0, u8* out1, u32 pairs) {
    vp8_pairs_to_rgba_scalar(y0, ua, ub, va, vb, out0, pairs);
    vp8_pairs_to_rgba_scalar(y1, ub, ua, vb, va, out1, pairs);
}

// A pixel outside the pairs: its column and the chroma columns it reads
// (pixel 2 j takes column j as its own and j - 1 as the other, pixel 2 j + 1
// column j and j + 1; at the image's edges its own twice).
namespace {
struct Single {
    u32 x, own, other;
};
}  // namespace

static Single single_at(u32 width, u32 x) {
    u32 own = x >> 1;
    u32 other = x & 1 ? (x + 1 < width ? own + 1 : own) : (x > 0 ? own - 1 : own);
    return Single{x, own, other};
}

// The pixel of a row whose near chroma rows are un, vn and far ones uf, vf;
// `out` is indexed by column.
static QB_FORCE_INLINE void single_to_rgba(const u8* y, const u8* un, const u8* uf, const u8* vn, const u8* vf,
                                           Single s, u8* out) {
    to_rgba(y[s.x], fancy(un[s.own], un[s.other], uf[s.own], uf[s.other]),
            fancy(vn[s.own], vn[s.other], vf[s.own], vf[s.other]), out + 4 * (u64)s.x);
}

// ---- Rows ---------------------------------------------------------------------------
// Each output row takes its chroma from the nearest chroma row and the next
// nearest. Inside the row, pixels come in pairs between two chroma columns
// (1 and 2, 3 and 4, ...), converted by the fused kernel; the first pixel,
// an even-width row's last pixel and a pair cut by the rectangle's edges go
// one at a time. Rows 2 k + 1 and 2 k + 2 use the same two chroma rows and
// go through the two-row kernel together.

void vp8_output_rect(const u8* scratch, u32 x, u32 y, u32 w, u32 h, const PixelBuffer* target) {
    const Vp8Decoder* d = (const Vp8Decoder*)scratch;
    const Vp8Layout& l = d->layout;
    const Vp8Kernels* k = vp8_kernels();
    u32 uv_h = (d->height + 1) >> 1;
    u32 end = x + w;
    u32 paired_end = d->width & 1 ? d->width : d->width - 1;  // pairs cover pixels 1 to here
    u32 stop = end < paired_end ? end : paired_end;
    u32 first = x;  // the first pixel of a pair
    while (first < end && (first == 0 || !(first & 1))) first++;
    u32 pairs = first < stop ? (stop - first) >> 1 : 0;
    u32 c = (first - 1) >> 1;
    // At most one pixel before the pairs and one after them, the same
    // columns on every row.
    bool lead = first > x;
    bool trail = first + 2 * pairs < end;
    Single lead_at = single_at(d->width, x), trail_at = single_at(d->width, end - 1);
    const u64 ys = l.y_stride, cs = l.uv_stride, stride = target->stride;
    for (u32 i = 0; i < h;) {
        u32 r = y + i;
        u32 near_row = r >> 1;
        u32 far_row;
        if (r & 1) {
            far_row = near_row + 1 < uv_h ? near_row + 1 : near_row;
        } else {
            far_row = near_row > 0 ? near_row - 1 : 0;
        }
        u8* out = target->pixels + (u64)i * stride - 4 * (u64)x;  // indexed by column
        const u8* luma = scratch + l.y + (u64)r * ys;
        const u8* un = scratch + l.u + (u64)near_row * cs;
        const u8* uf = scratch + l.u + (u64)far_row * cs;
        const u8* vn = scratch + l.v + (u64)near_row * cs;
        const u8* vf = scratch + l.v + (u64)far_row * cs;
        // The single pixels go after the pairs: first, their few loads
        // would be the ones waiting for the rows to arrive, with little work
        // to hide the wait (the conversion measured 5% slower).
        if ((r & 1) && i + 1 < h) {
            // Row r + 1 exists, so chroma row near_row + 1 does: it is the
            // next row's near one and this row's far one.
            u8* out1 = out + stride;
            const u8* luma1 = luma + ys;
            k->pairs_to_rgba2(luma + first, luma1 + first, un + c, uf + c, vn + c, vf + c, out + 4 * first,
                              out1 + 4 * first, pairs);
            if (lead) {
                single_to_rgba(luma, un, uf, vn, vf, lead_at, out);
                single_to_rgba(luma1, uf, un, vf, vn, lead_at, out1);
            }
            if (trail) {
                single_to_rgba(luma, un, uf, vn, vf, trail_at, out);
                single_to_rgba(luma1, uf, un, vf, vn, trail_at, out1);
            }
            i += 2;
            continue;
        }
        k->pairs_to_rgba(luma + first, un + c, uf + c, vn + c, vf + c, out + 4 * first, pairs);
        if (lead) single_to_rgba(luma, un, uf, vn, vf, lead_at, out);
        if (trail) single_to_rgba(luma, un, uf, vn, vf, trail_at, out);
        i++;
    }
}

// ---- Kernel choice ----------------------------------------------------------------

static const Vp8Kernels k_scalar = {vp8_filter_simple_mb_scalar, vp8_filter_normal_mb_scalar,
                                    vp8_idct_add, vp8_idct_add2, vp8_idct_add_ac3, vp8_idct_add_dc, vp8_predict_luma4, vp8_luma4_add,
                                    vp8_predict_luma16, vp8_predict_chroma8,
                                    vp8_pairs_to_rgba_scalar, vp8_pairs_to_rgba2_scalar, vp8_parse_residuals};
static const Vp8Kernels k_sse2 = {vp8_filter_simple_mb_sse2, vp8_filter_normal_mb_sse2,
                                  vp8_idct_add_sse2, vp8_idct_add2_sse2, vp8_idct_add_ac3_sse2,
                                  vp8_idct_add_dc_sse2, vp8_predict_luma4_sse2, vp8_luma4_add_sse2, vp8_predict_luma16_sse2,
                                  vp8_predict_chroma8_sse2, vp8_pairs_to_rgba_sse2, vp8_pairs_to_rgba2_sse2,
                                  vp8_parse_residuals};
// AVX2 pays in the conversion (about 1.7 times the SSE2 kernel's speed), in
// the normal loop filter (chroma beside luma) and in the 4 x 4 prediction
// (byte shuffles instead of a branch on the mode); the other kernels stay
// SSE2.
static const Vp8Kernels k_avx2 = {vp8_filter_simple_mb_sse2, vp8_filter_normal_mb_avx2,
                                  vp8_idct_add_sse2, vp8_idct_add2_sse2, vp8_idct_add_ac3_sse2,
                                  vp8_idct_add_dc_sse2, vp8_predict_luma4_sse2, vp8_luma4_add_avx2, vp8_predict_luma16_sse2,
                                  vp8_predict_chroma8_sse2, vp8_pairs_to_rgba_avx2, vp8_pairs_to_rgba2_avx2,
                                  vp8_parse_residuals_avx2};
static const Vp8Kernels* g_kernels = nullptr;

bool vp8_kernels_supported(u32 variant) {
    __builtin_cpu_init();
    if (variant == VP8_KERNELS_AVX2) return cpu_has_avx2();
    return variant <= VP8_KERNELS_BEST;
}

const Vp8Kernels* vp8_kernels() {
    if (g_kernels == nullptr) vp8_force_kernels(VP8_KERNELS_BEST);
    return g_kernels;
}

bool vp8_force_kernels(u32 variant) {
    if (!vp8_kernels_supported(variant)) return false;
    if (variant == VP8_KERNELS_BEST) variant = vp8_kernels_supported(VP8_KERNELS_AVX2) ? VP8_KERNELS_AVX2 : VP8_KERNELS_SSE2;
    g_kernels = variant == VP8_KERNELS_SCALAR ? &k_scalar : variant == VP8_KERNELS_SSE2 ? &k_sse2 : &k_avx2;
    return true;
}
