// YUV 4:2:0 to RGBA as libwebp's default decode does it: chroma upsampled
// 2 x 2 by the "fancy" filter (weights 9, 3, 3, 1 out of 16 from the four
// nearest chroma samples, in two rounding steps), then converted with
// 14-bit fixed-point BT.601 constants. Both happen in one pass, a pair of
// pixels between two chroma columns at a time (a kernel with SSE2 and AVX2
// twins); the first pixel of a row and the last of an even-width row, which
// take their chroma from one column, go one at a time.
#include "codec/webp/vp8.h"

#include "base/cpu.h"

// (v * coeff) >> 8, then clipped from 6 fractional bits to 8 bits.
static QB_FORCE_INLINE i32 mul_hi(i32 v, i32 coeff) {
    return (v * coeff) >> 8;
}
static QB_FORCE_INLINE u8 clip_fix(i32 v) {
    return (v & ~16383) == 0 ? (u8)(v >> 6) : v < 0 ? 0 : 255;
}

static QB_FORCE_INLINE void to_rgba(i32 y, i32 u, i32 v, u8* out) {
    i32 luma = mul_hi(y, 19077);
    out[0] = clip_fix(luma + mul_hi(v, 26149) - 14234);
    out[1] = clip_fix(luma - mul_hi(u, 6419) - mul_hi(v, 13320) + 8708);
    out[2] = clip_fix(luma + mul_hi(u, 33050) - 17685);
    out[3] = 255;
}

// Chroma at output column 2 j - 1 (`odd`) or 2 j, between chroma columns
// j - 1 and j of the near row n and the far row f.
static QB_FORCE_INLINE u32 between(const u8* n, const u8* f, u32 j, bool odd) {
    u32 n0 = n[j - 1], n1 = n[j], f0 = f[j - 1], f1 = f[j];
    u32 sum = n0 + n1 + f0 + f1 + 8;
    if (odd) return (((sum + 2 * (n1 + f0)) >> 3) + n0) >> 1;
    return (((sum + 2 * (n0 + f1)) >> 3) + n1) >> 1;
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

// The pixels outside the pairs, two rows at a time. These are a few pixels
// a row, so they are kept free of unpredictable branches: U and V are
// worked out together, U in the low 16 bits of a word and V in the high
// ones (no sum reaches bit 16), and the clipping is by comparisons the
// compiler turns into conditional moves.
static QB_FORCE_INLINE u32 clip_branchless(i32 v) {
    v = v < 0 ? 0 : v;
    v = v > 16383 ? 16383 : v;
    return (u32)v >> 6;
}

static QB_FORCE_INLINE void to_rgba_packed(u32 y, u32 uv, u8* out) {
    i32 u = (i32)(uv & 0xFF), v = (i32)(uv >> 16);
    i32 luma = mul_hi((i32)y, 19077);
    u32 r = clip_branchless(luma + mul_hi(v, 26149) - 14234);
    u32 g = clip_branchless(luma - mul_hi(u, 6419) - mul_hi(v, 13320) + 8708);
    u32 b = clip_branchless(luma + mul_hi(u, 33050) - 17685);
    u32 px = r | g << 8 | b << 16 | 0xFF000000u;
    memcpy(out, &px, 4);  // little-endian: R first
}

// Every pixel's chroma is the first of a pair's formula (see between) with
// its near column and the other one beside it: a near row's columns n0, n1
// and a far row's f0, f1 give (((n0 + f1 + 3 (n1 + f0) + 8) >> 3) + n0) >> 1.
// At the image's left and right edges the other column is the near one,
// and the formula is then (3 n0 + f0 + 2) >> 2, the vertical interpolation
// alone.
static QB_FORCE_INLINE u32 chroma_packed(u32 n0, u32 n1, u32 f0, u32 f1) {
    u32 m = ((n0 + f1 + 3 * (n1 + f0) + 0x00080008u) >> 3) & 0x01FF01FFu;
    return ((m + n0) >> 1) & 0x00FF00FFu;
}

// A pixel outside the pairs: its column and the chroma columns it reads
// (pixel 2 j takes column j as its near one and j - 1 as the other, pixel
// 2 j + 1 column j and j + 1; at the image's edges the near one twice).
namespace {
struct Single {
    u32 x, near, other;
};
}  // namespace

static Single single_at(u32 width, u32 x) {
    u32 near = x >> 1;
    u32 other = x & 1 ? (x + 1 < width ? near + 1 : near) : (x > 0 ? near - 1 : near);
    return Single{x, near, other};
}

// The pixel in two rows sharing chroma rows a and b (the first nearer a,
// the second nearer b; y1 null for the first alone). Out pointers are
// indexed by column.
static QB_FORCE_INLINE void single_to_rgba2(const u8* y0, const u8* y1, const u8* ua, const u8* ub, const u8* va,
                                            const u8* vb, Single s, u8* out0, u8* out1) {
    u32 a0 = ua[s.near] | (u32)va[s.near] << 16, a1 = ua[s.other] | (u32)va[s.other] << 16;
    u32 b0 = ub[s.near] | (u32)vb[s.near] << 16, b1 = ub[s.other] | (u32)vb[s.other] << 16;
    to_rgba_packed(y0[s.x], chroma_packed(a0, a1, b0, b1), out0 + 4 * (u64)s.x);
    if (y1 != nullptr) to_rgba_packed(y1[s.x], chroma_packed(b0, b1, a0, a1), out1 + 4 * (u64)s.x);
}

// ---- Rows ---------------------------------------------------------------------------
// Each output row takes its chroma from the nearest chroma row and the next
// nearest. Inside the row, pixels come in pairs between two chroma columns
// (1 and 2, 3 and 4, ...), converted by the fused kernel; the first pixel,
// an even-width row's last pixel and a pair cut by the rectangle's edges go
// one at a time. Rows 2 k + 1 and 2 k + 2 use the same two chroma rows and
// go through the two-row kernel together.

void vp8_planes_to_rgba(const Vp8Planes* p, u32 x, u32 y, u32 w, u32 h, u8* pixels, u64 stride) {
    const Vp8Kernels* k = vp8_kernels();
    u32 uv_h = (p->height + 1) >> 1;
    u32 end = x + w;
    u32 paired_end = p->width & 1 ? p->width : p->width - 1;  // pairs cover pixels 1 to here
    u32 stop = end < paired_end ? end : paired_end;
    u32 first = x;  // the first pixel of a pair
    while (first < end && (first == 0 || !(first & 1))) first++;
    u32 pairs = first < stop ? (stop - first) >> 1 : 0;
    u32 c = (first - 1) >> 1;
    // At most one pixel before the pairs and one after them, the same
    // columns on every row.
    bool lead = first > x;
    bool trail = first + 2 * pairs < end;
    Single lead_at = single_at(p->width, x), trail_at = single_at(p->width, end - 1);
    u64 ys = p->y_stride, cs = p->uv_stride;
    for (u32 i = 0; i < h;) {
        u32 r = y + i;
        u32 near_row = r >> 1;
        u32 far_row;
        if (r & 1) {
            far_row = near_row + 1 < uv_h ? near_row + 1 : near_row;
        } else {
            far_row = near_row > 0 ? near_row - 1 : 0;
        }
        u8* out = pixels + (u64)i * stride - 4 * (u64)x;  // indexed by column
        const u8* luma = p->y + (u64)r * ys;
        const u8* un = p->u + (u64)near_row * cs;
        const u8* uf = p->u + (u64)far_row * cs;
        const u8* vn = p->v + (u64)near_row * cs;
        const u8* vf = p->v + (u64)far_row * cs;
        if ((r & 1) && i + 1 < h) {
            // Row r + 1 exists, so chroma row near_row + 1 does: it is the
            // next row's near one and this row's far one.
            u8* out1 = out + stride;
            const u8* luma1 = luma + ys;
            k->pairs_to_rgba2(luma + first, luma1 + first, un + c, uf + c, vn + c, vf + c, out + 4 * first,
                              out1 + 4 * first, pairs);
            // The single pixels after the pairs: first, their few loads
            // would be the ones waiting for the rows to arrive, with little
            // work to hide the wait (the conversion measured 5% slower).
            if (lead) single_to_rgba2(luma, luma1, un, uf, vn, vf, lead_at, out, out1);
            if (trail) single_to_rgba2(luma, luma1, un, uf, vn, vf, trail_at, out, out1);
            i += 2;
            continue;
        }
        k->pairs_to_rgba(luma + first, un + c, uf + c, vn + c, vf + c, out + 4 * first, pairs);
        if (lead) single_to_rgba2(luma, nullptr, un, uf, vn, vf, lead_at, out, nullptr);
        if (trail) single_to_rgba2(luma, nullptr, un, uf, vn, vf, trail_at, out, nullptr);
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
