// Row kernels that widen packed samples to 4-byte RGBA pixels: RGB, BGR,
// BGRA (R and B exchanged, alpha kept) and grey. The PNM and TGA decoders
// run every uncompressed row through them, so they set the speed of both.
// Each SSE2 kernel has a scalar twin with the same results; SSE2 is the
// x86-64 baseline, so the table starts on the SSE2 variants, and the first
// decode that needs the kernels moves the three-byte ones to AVX2 where
// the processor has it. A test-only call can route everything to one
// variant.
#pragma once

#include "base/types.h"

// `count` pixels from `src` to `dst` (4 * count bytes), which do not
// overlap. They read exactly the bytes of the `count` source pixels and
// write exactly 4 * count bytes.
typedef void (*ExpandFn)(const u8* src, u64 count, u8* dst);

struct ExpandKernels {
    ExpandFn rgb;   // R G B       -> R G B 255
    ExpandFn bgr;   // B G R       -> R G B 255
    ExpandFn bgra;  // B G R A     -> R G B A
    ExpandFn grey;  // Y           -> Y Y Y 255
};

extern ExpandKernels expand_kernels;

enum : u32 { EXPAND_KERNELS_SCALAR = 0, EXPAND_KERNELS_SSE2 = 1, EXPAND_KERNELS_AVX2 = 2 };
bool expand_kernels_supported(u32 variant);
// Test-only: route every kernel to `variant`; false for an unknown or
// unsupported one.
bool expand_kernels_force(u32 variant);
// Chooses the fastest variant the processor has, once; decoders call it
// before their first row.
void expand_kernels_ensure();

void expand_rgb_scalar(const u8* src, u64 count, u8* dst);
void expand_bgr_scalar(const u8* src, u64 count, u8* dst);
void expand_bgra_scalar(const u8* src, u64 count, u8* dst);
void expand_grey_scalar(const u8* src, u64 count, u8* dst);
void expand_rgb_sse2(const u8* src, u64 count, u8* dst);
void expand_bgr_sse2(const u8* src, u64 count, u8* dst);
void expand_bgra_sse2(const u8* src, u64 count, u8* dst);
void expand_grey_sse2(const u8* src, u64 count, u8* dst);
void expand_rgb_avx2(const u8* src, u64 count, u8* dst);
void expand_bgr_avx2(const u8* src, u64 count, u8* dst);

// True when every fourth byte (the alpha of `count` RGBA pixels) is zero.
bool expand_alpha_all_zero(const u8* rgba, u64 count);
// Sets the alpha of `count` RGBA pixels to 255.
void expand_set_opaque(u8* rgba, u64 count);
