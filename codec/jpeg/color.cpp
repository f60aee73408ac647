// Colour conversion rows and the triangular upsampling rows, scalar twins of
// the SSE2 kernels. YCbCr uses 16.16 fixed point with arithmetic shifts; each
// channel is clamped to 0..255 and alpha is 255. Every row kernel handles the
// count rounded up to 8, like its vector twin.
#include "codec/jpeg/kernels.h"

static QB_FORCE_INLINE u8 clamp255(i32 v) {
    return (u8)(v < 0 ? 0 : (v > 255 ? 255 : v));
}

static QB_FORCE_INLINE u32 round8(u32 count) {
    return (count + 7) & ~7u;
}

void jpeg_ycc_row_scalar(const u8* y, const u8* cb, const u8* cr, u8* out, u32 count) {
    for (u32 i = 0; i < round8(count); i++) {
        i32 l = y[i];
        i32 b = cb[i] - 128;
        i32 r = cr[i] - 128;
        out[4 * i + 0] = clamp255(l + ((91881 * r + 32768) >> 16));
        out[4 * i + 1] = clamp255(l + ((-22554 * b - 46802 * r + 32768) >> 16));
        out[4 * i + 2] = clamp255(l + ((116130 * b + 32768) >> 16));
        out[4 * i + 3] = 255;
    }
}

void jpeg_rgb_row_scalar(const u8* r, const u8* g, const u8* b, u8* out, u32 count) {
    for (u32 i = 0; i < round8(count); i++) {
        out[4 * i + 0] = r[i];
        out[4 * i + 1] = g[i];
        out[4 * i + 2] = b[i];
        out[4 * i + 3] = 255;
    }
}

void jpeg_grey_row_scalar(const u8* y, u8* out, u32 count) {
    for (u32 i = 0; i < round8(count); i++) {
        out[4 * i + 0] = y[i];
        out[4 * i + 1] = y[i];
        out[4 * i + 2] = y[i];
        out[4 * i + 3] = 255;
    }
}

// round(x / 255) for x up to 255 * 255 (never a tie: 255 is odd).
static QB_FORCE_INLINE u8 div255(u32 x) {
    return (u8)((x + 127) / 255);
}

void jpeg_cmyk_row_scalar(const u8* c, const u8* m, const u8* y, const u8* k, u8* out, u32 count) {
    for (u32 i = 0; i < round8(count); i++) {
        out[4 * i + 0] = div255((u32)c[i] * k[i]);
        out[4 * i + 1] = div255((u32)m[i] * k[i]);
        out[4 * i + 2] = div255((u32)y[i] * k[i]);
        out[4 * i + 3] = 255;
    }
}

void jpeg_ycck_row_scalar(const u8* y, const u8* cb, const u8* cr, const u8* k, u8* out, u32 count) {
    jpeg_ycc_row_scalar(y, cb, cr, out, count);
    for (u32 i = 0; i < round8(count); i++) {
        for (u32 j = 0; j < 3; j++) out[4 * i + j] = div255((255u - out[4 * i + j]) * k[i]);
    }
}

// ---- Upsampling --------------------------------------------------------------------

void jpeg_upsample_h2_scalar(const u8* in, u8* out, u32 count) {
    for (u32 i = 0; i < round8(count); i++) {
        u32 s = 3u * in[i + 1];
        out[2 * i] = (u8)((s + in[i] + 1) >> 2);
        out[2 * i + 1] = (u8)((s + in[i + 2] + 2) >> 2);
    }
}

void jpeg_column_sum_scalar(const u8* near, const u8* far, u16* t, u32 count) {
    for (u32 i = 0; i < round8(count); i++) t[i + 1] = (u16)(3u * near[i] + far[i]);
}

void jpeg_upsample_h2v2_scalar(const u16* t, u8* out, u32 count) {
    for (u32 i = 0; i < round8(count); i++) {
        u32 s = 3u * t[i + 1];
        out[2 * i] = (u8)((s + t[i] + 8) >> 4);
        out[2 * i + 1] = (u8)((s + t[i + 2] + 7) >> 4);
    }
}

// ---- Preview rows ------------------------------------------------------------------

void jpeg_preview_row_scalar(const i16* dc, i32 q, u8* row, u32 count) {
    for (u32 i = 0; i < count; i++) row[i] = clamp255(((dc[i] * q + 4) >> 3) + 128);
}

void jpeg_widen_row_scalar(const u8* in, u8* out, u32 count, u32 shift) {
    for (u32 j = 0; j < count; j++) out[j] = in[j >> shift];
}
