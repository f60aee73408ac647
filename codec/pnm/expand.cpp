// Scalar row kernels and the kernel table. Pixels are assembled as one
// little-endian u32 (R in the low byte) and stored with memcpy, which the
// compiler turns into plain 32-bit moves.
#include "codec/pnm/expand.h"

#include <string.h>

#include "base/cpu.h"

static const ExpandKernels k_scalar = {expand_rgb_scalar, expand_bgr_scalar, expand_bgra_scalar, expand_grey_scalar};
static const ExpandKernels k_sse2 = {expand_rgb_sse2, expand_bgr_sse2, expand_bgra_sse2, expand_grey_sse2};

// Grey and BGRA gain nothing from a byte shuffle: they keep SSE2.
static const ExpandKernels k_avx2 = {expand_rgb_avx2, expand_bgr_avx2, expand_bgra_sse2, expand_grey_sse2};

ExpandKernels expand_kernels = k_sse2;
static bool g_kernels_chosen = false;

bool expand_kernels_supported(u32 variant) {
    if (variant == EXPAND_KERNELS_SCALAR || variant == EXPAND_KERNELS_SSE2) return true;
    if (variant == EXPAND_KERNELS_AVX2) return cpu_has_avx2();
    return false;
}

bool expand_kernels_force(u32 variant) {
    if (!expand_kernels_supported(variant)) return false;
    g_kernels_chosen = true;
    expand_kernels = variant == EXPAND_KERNELS_SCALAR ? k_scalar : (variant == EXPAND_KERNELS_SSE2 ? k_sse2 : k_avx2);
    return true;
}

void expand_kernels_ensure() {
    if (g_kernels_chosen) return;
    __builtin_cpu_init();
    expand_kernels_force(expand_kernels_supported(EXPAND_KERNELS_AVX2) ? EXPAND_KERNELS_AVX2 : EXPAND_KERNELS_SSE2);
}

static QB_FORCE_INLINE void store_pixel(u8* dst, u32 v) {
    memcpy(dst, &v, 4);
}

void expand_rgb_scalar(const u8* src, u64 count, u8* dst) {
    for (u64 i = 0; i < count; i++, src += 3, dst += 4)
        store_pixel(dst, (u32)src[0] | (u32)src[1] << 8 | (u32)src[2] << 16 | 0xFF000000u);
}

void expand_bgr_scalar(const u8* src, u64 count, u8* dst) {
    for (u64 i = 0; i < count; i++, src += 3, dst += 4)
        store_pixel(dst, (u32)src[2] | (u32)src[1] << 8 | (u32)src[0] << 16 | 0xFF000000u);
}

void expand_bgra_scalar(const u8* src, u64 count, u8* dst) {
    for (u64 i = 0; i < count; i++, src += 4, dst += 4)
        store_pixel(dst, (u32)src[2] | (u32)src[1] << 8 | (u32)src[0] << 16 | (u32)src[3] << 24);
}

void expand_grey_scalar(const u8* src, u64 count, u8* dst) {
    for (u64 i = 0; i < count; i++, dst += 4) store_pixel(dst, (u32)src[i] * 0x010101u | 0xFF000000u);
}

bool expand_alpha_all_zero(const u8* rgba, u64 count) {
    for (u64 i = 0; i < count; i++)
        if (rgba[4 * i + 3]) return false;
    return true;
}

void expand_set_opaque(u8* rgba, u64 count) {
    for (u64 i = 0; i < count; i++) rgba[4 * i + 3] = 255;
}
