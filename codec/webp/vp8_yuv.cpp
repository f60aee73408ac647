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

// Chroma at the first (and, for an even width, the last) column: vertical
// interpolation only.
static QB_FORCE_INLINE u32 edge(const u8* n, const u8* f, u32 j) {
    return (3 * n[j] + f[j] + 2) >> 2;
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

// One pixel of a row, whichever rule gives its chroma.
void vp8_pixel_to_rgba(const u8* y, const u8* un, const u8* uf, const u8* vn, const u8* vf, u32 width, u32 x,
                       u8* out) {
    u32 u, v;
    if (x == 0 || (x == width - 1 && !(width & 1))) {
        u = edge(un, uf, x >> 1);
        v = edge(vn, vf, x >> 1);
    } else {
        u = between(un, uf, (x + 1) >> 1, x & 1);
        v = between(vn, vf, (x + 1) >> 1, x & 1);
    }
    to_rgba(y[x], u, v, out);
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
// AVX2 pays in the conversion (about twice the SSE2 kernel's speed), in
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
