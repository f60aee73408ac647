// YUV 4:2:0 to RGBA as libwebp's default decode does it: chroma upsampled
// 2 x 2 by the "fancy" filter (weights 9, 3, 3, 1 out of 16 from the four
// nearest chroma samples, in two rounding steps), then converted with
// 14-bit fixed-point BT.601 constants.
#include "codec/webp/vp8.h"

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

void vp8_yuv_row(const u8* y, const u8* u_near, const u8* u_far, const u8* v_near, const u8* v_far, u8* out,
                 u32 width) {
    to_rgba(y[0], edge(u_near, u_far, 0), edge(v_near, v_far, 0), out);
    u32 pairs = (width - 1) >> 1;
    for (u32 j = 1; j <= pairs; j++) {
        to_rgba(y[2 * j - 1], between(u_near, u_far, j, true), between(v_near, v_far, j, true), out + 8 * j - 4);
        to_rgba(y[2 * j], between(u_near, u_far, j, false), between(v_near, v_far, j, false), out + 8 * j);
    }
    if (!(width & 1)) {
        u32 last = pairs;
        to_rgba(y[width - 1], edge(u_near, u_far, last), edge(v_near, v_far, last), out + 4 * (width - 1));
    }
}
