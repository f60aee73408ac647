// Row conversions of the uncompressed layouts: the scalar twins of the SSE2
// byte-order kernels, the palette lookup, and the choice of kernel variant.
// A pixel is built as one little-endian word R | G << 8 | B << 16 | A << 24,
// which is the memory order R, G, B, A.
#include <string.h>

#include "codec/bmp/bmp.h"

// ---- Byte order ---------------------------------------------------------------

static QB_FORCE_INLINE void store_word(u8* dst, u32 v) {
    memcpy(dst, &v, 4);
}

void bmp_bgr_scalar(const u8* src, u32 count, u8* dst) {
    for (u32 i = 0; i < count; i++, src += 3, dst += 4)
        store_word(dst, (u32)src[2] | (u32)src[1] << 8 | (u32)src[0] << 16 | 0xFF000000u);
}

// B, G, R, x as a word is x << 24 | R << 16 | G << 8 | B: swapping the bytes
// of B and R is a 16-bit rotation of the 0x00FF00FF lanes.
static QB_FORCE_INLINE u32 swap_rb(u32 v) {
    u32 rb = v & 0x00FF00FFu;
    return (v & 0xFF00FF00u) | (rb >> 16) | (rb << 16);
}

void bmp_bgrx_scalar(const u8* src, u32 count, u8* dst) {
    for (u32 i = 0; i < count; i++, src += 4, dst += 4) {
        u32 v;
        memcpy(&v, src, 4);
        store_word(dst, swap_rb(v) | 0xFF000000u);
    }
}

void bmp_bgra_scalar(const u8* src, u32 count, u8* dst) {
    for (u32 i = 0; i < count; i++, src += 4, dst += 4) {
        u32 v;
        memcpy(&v, src, 4);
        store_word(dst, swap_rb(v));
    }
}

// ---- Palette ------------------------------------------------------------------

// Four lookups a step: the loads are independent, so they overlap.
void bmp_index8_row(const u8* src, u32 count, const u32* lut, u8* dst) {
    u32 i = 0;
    for (; i + 4 <= count; i += 4) {
        u32 a = lut[src[i]], b = lut[src[i + 1]], c = lut[src[i + 2]], d = lut[src[i + 3]];
        store_word(dst + 4 * i, a);
        store_word(dst + 4 * i + 4, b);
        store_word(dst + 4 * i + 8, c);
        store_word(dst + 4 * i + 12, d);
    }
    for (; i < count; i++) store_word(dst + 4 * i, lut[src[i]]);
}

// ---- Channel scaling ----------------------------------------------------------------

// Rounded to nearest; readers differ here (truncation, bit replication), and
// the nearest value is the one every channel width can share.
u32 bmp_scale_channel(u32 v, u32 bits) {
    u64 max = ((u64)1 << bits) - 1;
    return (u32)(((u64)v * 510 + max) / (2 * max));
}

// ---- Variant choice -----------------------------------------------------------

static const BmpKernels k_scalar = {bmp_bgr_scalar, bmp_bgrx_scalar, bmp_bgra_scalar};
static const BmpKernels k_sse2 = {bmp_bgr_sse2, bmp_bgrx_sse2, bmp_bgra_sse2};

// SSE2 is part of every x86-64 CPU, so it needs no check.
BmpKernels bmp_kernels = k_sse2;

bool bmp_kernels_force(u32 variant) {
    if (variant == BMP_KERNELS_SCALAR) {
        bmp_kernels = k_scalar;
        return true;
    }
    if (variant == BMP_KERNELS_SSE2) {
        bmp_kernels = k_sse2;
        return true;
    }
    return false;
}
