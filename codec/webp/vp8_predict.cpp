// Reconstruction of the lossy frame's blocks: intra prediction (four 16 x 16
// luma modes, four 8 x 8 chroma modes, ten 4 x 4 luma modes) and the
// inverse transforms whose residue is added to it.
//
// Prediction works in the record's work area, rows VP8_WORK_STRIDE bytes
// apart, where each block has its row above and its column to the left
// (with the corner) in place: the caller fills them from the neighbours,
// or with 127 above the frame and 129 left of it. The luma block's row
// above runs 4 pixels further right (the macroblock above and to the right,
// whose pixels the 4 x 4 modes of the right column use), and those 4 pixels
// are repeated above rows 4, 8 and 12, so the right column of 4 x 4 blocks
// inside the macroblock sees them too.
#include "codec/webp/vp8.h"

static constexpr i64 S = VP8_WORK_STRIDE;

static QB_FORCE_INLINE u8 clip8(i32 v) {
    return (u8)(v < 0 ? 0 : v > 255 ? 255 : v);
}
static QB_FORCE_INLINE u8 avg2(u32 a, u32 b) {
    return (u8)((a + b + 1) >> 1);
}
static QB_FORCE_INLINE u8 avg3(u32 a, u32 b, u32 c) {
    return (u8)((a + 2 * b + c + 2) >> 2);
}

// ---- Inverse transforms ---------------------------------------------------------

// The transforms keep every intermediate in 16 bits, wrapping (adds) or
// saturating (the short form) exactly as libwebp's SSE2 kernels do, so that
// even a damaged stream's out-of-range coefficients give libwebp's pixels.
// On valid streams nothing overflows and all forms agree with the plain
// integer arithmetic.
static QB_FORCE_INLINE i32 w16(i32 v) {
    return (i16)(u16)(u32)v;
}
static QB_FORCE_INLINE i32 sat16(i32 v) {
    return v < -32768 ? -32768 : v > 32767 ? 32767 : v;
}
// x * sqrt(2) * cos(pi / 8) and x * sqrt(2) * sin(pi / 8) in 16-bit fixed
// point: the high halves of 16 x 16-bit products, plus x.
static QB_FORCE_INLINE i32 mul_hi(i32 a, i32 k) {
    return (a * k) >> 16;
}

// One pass over four columns (or rows): v[0], v[4], v[8], v[12] in.
static QB_FORCE_INLINE void pass16(i32 i0, i32 i1, i32 i2, i32 i3, i32* out) {
    i32 a = w16(i0 + i2);
    i32 b = w16(i0 - i2);
    i32 c = w16(w16(i1 - i3) + w16(mul_hi(i1, -30068) - mul_hi(i3, 20091)));
    i32 d = w16(w16(i1 + i3) + w16(mul_hi(i1, 20091) + mul_hi(i3, -30068)));
    out[0] = w16(a + d);
    out[1] = w16(b + c);
    out[2] = w16(b - c);
    out[3] = w16(a - d);
}

void vp8_idct_add(const i16* in, u8* dst, u64 stride) {
    i32 t[16];
    for (u32 i = 0; i < 4; i++) pass16(in[i], in[4 + i], in[8 + i], in[12 + i], t + 4 * i);
    for (u32 i = 0; i < 4; i++) {  // t[4 k + i] is row i of column k
        i32 r[4];
        pass16(w16(t[i] + 4), t[4 + i], t[8 + i], t[12 + i], r);
        u8* row = dst + i * stride;
        for (u32 k = 0; k < 4; k++) row[k] = clip8(row[k] + (r[k] >> 3));
    }
}

void vp8_idct_add2(const i16* in, u8* dst, u64 stride) {
    vp8_idct_add(in, dst, stride);
    vp8_idct_add(in + 16, dst + 4, stride);
}

// Only coefficients 0, 1 and 4 set: one row pattern and one column pattern.
void vp8_idct_add_ac3(const i16* in, u8* dst, u64 stride) {
    i32 a = w16(in[0] + 4);
    i32 c4 = w16(mul_hi(in[4], 35468));
    i32 d4 = w16(mul_hi(in[4], 20091) + in[4]);
    i32 c1 = mul_hi(in[1], 35468);
    i32 d1 = mul_hi(in[1], 20091) + in[1];
    i32 across[4] = {w16(d1), w16(c1), w16(-c1), w16(-d1)};
    for (u32 y = 0; y < 4; y++) {
        u8* row = dst + y * stride;
        for (u32 x = 0; x < 4; x++) {
            i32 b = sat16(a + across[x]);
            i32 m = y == 0 ? sat16(b + d4) : y == 1 ? sat16(b + c4) : y == 2 ? sat16(b - c4) : sat16(b - d4);
            row[x] = clip8(sat16(row[x] + (m >> 3)));
        }
    }
}

// Only coefficient 0 set.
void vp8_idct_add_dc(const i16* in, u8* dst, u64 stride) {
    i32 dc = (in[0] + 4) >> 3;
    for (u32 y = 0; y < 4; y++) {
        for (u32 x = 0; x < 4; x++) dst[y * stride + x] = clip8(dst[y * stride + x] + dc);
    }
}

void vp8_iwht(const i16* in, i16* out) {
    i32 t[16];
    for (u32 i = 0; i < 4; i++) {
        i32 a0 = in[i] + in[12 + i];
        i32 a1 = in[4 + i] + in[8 + i];
        i32 a2 = in[4 + i] - in[8 + i];
        i32 a3 = in[i] - in[12 + i];
        t[i] = a0 + a1;
        t[8 + i] = a0 - a1;
        t[4 + i] = a3 + a2;
        t[12 + i] = a3 - a2;
    }
    for (u32 i = 0; i < 4; i++) {
        i32 dc = t[4 * i] + 3;
        i32 a0 = dc + t[4 * i + 3];
        i32 a1 = t[4 * i + 1] + t[4 * i + 2];
        i32 a2 = t[4 * i + 1] - t[4 * i + 2];
        i32 a3 = dc - t[4 * i + 3];
        // Block (row i, column k) takes coefficient 0 from entry 4 i + k.
        out[16 * (4 * i + 0)] = (i16)((a0 + a1) >> 3);
        out[16 * (4 * i + 1)] = (i16)((a3 + a2) >> 3);
        out[16 * (4 * i + 2)] = (i16)((a0 - a1) >> 3);
        out[16 * (4 * i + 3)] = (i16)((a3 - a2) >> 3);
    }
}

// ---- Whole-block modes ----------------------------------------------------------

static void fill(u8* dst, u32 size, u8 value) {
    for (u32 y = 0; y < size; y++) memset(dst + y * S, value, size);
}

static void predict_block(u8* dst, u32 size, u32 log2, u32 mode, bool has_top, bool has_left) {
    const u8* top = dst - S;
    switch (mode) {
    case VP8_DC_PRED: {
        u32 sum = 0;
        if (has_top) {
            for (u32 i = 0; i < size; i++) sum += top[i];
        }
        if (has_left) {
            for (u32 i = 0; i < size; i++) sum += dst[i * S - 1];
        }
        u32 value = 128;
        if (has_top && has_left) {
            value = (sum + size) >> (log2 + 1);
        } else if (has_top || has_left) {
            value = (sum + (size >> 1)) >> log2;
        }
        fill(dst, size, (u8)value);
        break;
    }
    case VP8_V_PRED:
        for (u32 y = 0; y < size; y++) memcpy(dst + y * S, top, size);
        break;
    case VP8_H_PRED:
        for (u32 y = 0; y < size; y++) memset(dst + y * S, dst[y * S - 1], size);
        break;
    default: {  // TM: left + above - corner
        i32 corner = top[-1];
        for (u32 y = 0; y < size; y++) {
            i32 left = dst[y * S - 1] - corner;
            for (u32 x = 0; x < size; x++) dst[y * S + x] = clip8(left + top[x]);
        }
        break;
    }
    }
}

void vp8_predict_luma16(u8* dst, u32 mode, bool has_top, bool has_left) {
    predict_block(dst, 16, 4, mode, has_top, has_left);
}

void vp8_predict_chroma8(u8* dst, u32 mode, bool has_top, bool has_left) {
    predict_block(dst, 8, 3, mode, has_top, has_left);
}

// ---- 4 x 4 modes --------------------------------------------------------------------

void vp8_predict_luma4(u8* dst, u32 mode) {
    // e: the left column bottom to top, the corner, then the 8 pixels above.
    u8 e[13];
    for (u32 i = 0; i < 4; i++) e[i] = dst[(3 - i) * S - 1];
    for (u32 i = 0; i < 9; i++) e[4 + i] = dst[-S - 1 + i];
    const u8* a = e + 5;  // above, a[-1] the corner
    const u8 l[4] = {e[3], e[2], e[1], e[0]};
    u8 b[4][4];  // [row][column]
    switch (mode) {
    case VP8_B_DC: {
        u32 sum = 4;
        for (u32 i = 0; i < 4; i++) sum += a[i] + l[i];
        memset(b, (u8)(sum >> 3), sizeof b);
        break;
    }
    case VP8_B_TM:
        for (u32 y = 0; y < 4; y++) {
            for (u32 x = 0; x < 4; x++) b[y][x] = clip8(l[y] + a[x] - a[-1]);
        }
        break;
    case VP8_B_VE:
        for (i32 x = 0; x < 4; x++) {
            u8 v = avg3(a[x - 1], a[x], a[x + 1]);
            for (u32 y = 0; y < 4; y++) b[y][x] = v;
        }
        break;
    case VP8_B_HE: {
        u8 rows[4] = {avg3(a[-1], l[0], l[1]), avg3(l[0], l[1], l[2]), avg3(l[1], l[2], l[3]),
                      avg3(l[2], l[3], l[3])};
        for (u32 y = 0; y < 4; y++) memset(b[y], rows[y], 4);
        break;
    }
    case VP8_B_LD:
        for (u32 y = 0; y < 4; y++) {
            for (u32 x = 0; x < 4; x++) {
                u32 i = x + y;
                b[y][x] = i < 6 ? avg3(a[i], a[i + 1], a[i + 2]) : avg3(a[6], a[7], a[7]);
            }
        }
        break;
    case VP8_B_RD:
        for (u32 y = 0; y < 4; y++) {
            for (u32 x = 0; x < 4; x++) b[y][x] = avg3(e[3 + x - y], e[4 + x - y], e[5 + x - y]);
        }
        break;
    case VP8_B_VR:
        b[3][0] = avg3(e[1], e[2], e[3]);
        b[2][0] = avg3(e[2], e[3], e[4]);
        b[3][1] = b[1][0] = avg3(e[3], e[4], e[5]);
        b[2][1] = b[0][0] = avg2(e[4], e[5]);
        b[3][2] = b[1][1] = avg3(e[4], e[5], e[6]);
        b[2][2] = b[0][1] = avg2(e[5], e[6]);
        b[3][3] = b[1][2] = avg3(e[5], e[6], e[7]);
        b[2][3] = b[0][2] = avg2(e[6], e[7]);
        b[1][3] = avg3(e[6], e[7], e[8]);
        b[0][3] = avg2(e[7], e[8]);
        break;
    case VP8_B_VL:
        b[0][0] = avg2(a[0], a[1]);
        b[1][0] = avg3(a[0], a[1], a[2]);
        b[2][0] = b[0][1] = avg2(a[1], a[2]);
        b[1][1] = b[3][0] = avg3(a[1], a[2], a[3]);
        b[2][1] = b[0][2] = avg2(a[2], a[3]);
        b[3][1] = b[1][2] = avg3(a[2], a[3], a[4]);
        b[2][2] = b[0][3] = avg2(a[3], a[4]);
        b[3][2] = b[1][3] = avg3(a[3], a[4], a[5]);
        b[2][3] = avg3(a[4], a[5], a[6]);
        b[3][3] = avg3(a[5], a[6], a[7]);
        break;
    case VP8_B_HD:
        b[3][0] = avg2(e[0], e[1]);
        b[3][1] = avg3(e[0], e[1], e[2]);
        b[2][0] = b[3][2] = avg2(e[1], e[2]);
        b[2][1] = b[3][3] = avg3(e[1], e[2], e[3]);
        b[2][2] = b[1][0] = avg2(e[2], e[3]);
        b[2][3] = b[1][1] = avg3(e[2], e[3], e[4]);
        b[1][2] = b[0][0] = avg2(e[3], e[4]);
        b[1][3] = b[0][1] = avg3(e[3], e[4], e[5]);
        b[0][2] = avg3(e[4], e[5], e[6]);
        b[0][3] = avg3(e[5], e[6], e[7]);
        break;
    default:  // HU
        b[0][0] = avg2(l[0], l[1]);
        b[0][1] = avg3(l[0], l[1], l[2]);
        b[0][2] = b[1][0] = avg2(l[1], l[2]);
        b[0][3] = b[1][1] = avg3(l[1], l[2], l[3]);
        b[1][2] = b[2][0] = avg2(l[2], l[3]);
        b[1][3] = b[2][1] = avg3(l[2], l[3], l[3]);
        b[2][2] = b[2][3] = b[3][0] = b[3][1] = b[3][2] = b[3][3] = l[3];
        break;
    }
    for (u32 y = 0; y < 4; y++) memcpy(dst + y * S, b[y], 4);
}

void vp8_luma4_add(u8* dst, u32 mode, u32 kind, i16* in) {
    vp8_predict_luma4(dst, mode);
    if (kind == 3) {
        vp8_idct_add(in, dst, VP8_WORK_STRIDE);
        memset(in, 0, 32);
    } else if (kind == 2) {
        vp8_idct_add_ac3(in, dst, VP8_WORK_STRIDE);
        in[0] = in[1] = in[4] = 0;
    } else if (kind == 1) {
        vp8_idct_add_dc(in, dst, VP8_WORK_STRIDE);
        in[0] = 0;
    }
}
