// The JPEG decoder's vector kernels and their dispatch: the inverse DCT of one
// block, the upsampling rows and the colour conversion rows. Every kernel has
// a scalar twin with the same signature and bit-identical results; the table
// is filled once from a CPU check, and tests may force any variant.
#pragma once

#include "base/types.h"

// Dequantises one block (products wrap to 16 bits), runs the two passes of
// the inverse DCT with the constants that write_idct_constants placed in
// `constants`, and writes 8 rows of 8 samples `stride` bytes apart.
typedef void (*JpegIdctFn)(const i16* coefficients, const i16* quant, const u8* constants, u8* out, u64 stride);
// The same for `count` blocks stored one after another (64 coefficients
// each), written side by side: block j's samples start at out + 8 j.
typedef void (*JpegIdctRowFn)(const i16* coefficients, u32 count, const i16* quant, const u8* constants, u8* out,
                              u64 stride);

// Colour conversion of one row into RGBA bytes. Both variants convert the
// count rounded up to a multiple of 8 pixels: sources and target carry slack.
typedef void (*JpegYccRowFn)(const u8* y, const u8* cb, const u8* cr, u8* out, u32 count);
typedef void (*JpegGreyRowFn)(const u8* y, u8* out, u32 count);
// Four-component rows into RGBA, on the stored values (which by Adobe's
// convention are inverted ink amounts): CMYK gives R = C K / 255, G = M K /
// 255, B = Y K / 255, rounded; YCCK first turns Y, Cb, Cr into R, G, B as
// ycc_row does, takes C = 255 - R (and so on) as libjpeg-turbo does, then
// the same products with K.
typedef void (*JpegCmykRowFn)(const u8* c, const u8* m, const u8* y, const u8* k, u8* out, u32 count);

// Triangular upsampling. `in` has count + 2 entries: in[0] and in[count + 1]
// repeat the samples beyond each end. Writes 2 * count outputs.
//   h2: out[2i] = (3 in[i+1] + in[i] + 1) >> 2, out[2i+1] = (3 in[i+1] + in[i+2] + 2) >> 2
typedef void (*JpegUpsampleH2Fn)(const u8* in, u8* out, u32 count);
// Vertical-then-horizontal for 2 x 2: t = 3 * near + far per column is
// formed by the caller into `t` (count + 2 entries with the edge copies), then
//   out[2i] = (3 t[i+1] + t[i] + 8) >> 4, out[2i+1] = (3 t[i+1] + t[i+2] + 7) >> 4
typedef void (*JpegUpsampleH2V2Fn)(const u16* t, u8* out, u32 count);
// t[i + 1] = 3 * near[i] + far[i] for i < count.
typedef void (*JpegColumnSumFn)(const u8* near, const u8* far, u16* t, u32 count);
// Preview samples from DC terms: row[i] = clamp(((dc[i] * q + 4) >> 3) + 128,
// 0, 255) for i below count, a multiple of 8.
typedef void (*JpegPreviewRowFn)(const i16* dc, i32 q, u8* row, u32 count);
// Each sample repeated 1 << shift times (shift 1 or 2): out[j] = in[j >> shift]
// for j below count, a multiple of 16.
typedef void (*JpegWidenRowFn)(const u8* in, u8* out, u32 count, u32 shift);
// Offset of the first 0xFF byte at or after `pos`, or `length` when none.
typedef u64 (*JpegFindFfFn)(const u8* p, u64 pos, u64 length);

struct JpegKernels {
    JpegIdctFn idct;
    JpegIdctRowFn idct_row;
    JpegYccRowFn ycc_row;
    JpegYccRowFn rgb_row;
    JpegGreyRowFn grey_row;
    JpegUpsampleH2Fn upsample_h2;
    JpegColumnSumFn column_sum;
    JpegUpsampleH2V2Fn upsample_h2v2;
    JpegFindFfFn find_ff;
    JpegPreviewRowFn preview_row;
    JpegWidenRowFn widen_row;
    JpegCmykRowFn cmyk_row;
    JpegCmykRowFn ycck_row;
};

enum : u32 { JPEG_KERNELS_SCALAR = 0, JPEG_KERNELS_SSE2 = 1, JPEG_KERNELS_BEST = 2, JPEG_KERNELS_AVX2 = 3 };

const JpegKernels* jpeg_kernels();
// Test hook: selects a variant; false when the machine lacks it.
bool jpeg_force_kernels(u32 variant);

void jpeg_idct_scalar(const i16* coefficients, const i16* quant, const u8* constants, u8* out, u64 stride);
void jpeg_idct_sse2(const i16* coefficients, const i16* quant, const u8* constants, u8* out, u64 stride);
void jpeg_idct_row_scalar(const i16* coefficients, u32 count, const i16* quant, const u8* constants, u8* out,
                          u64 stride);
void jpeg_idct_row_sse2(const i16* coefficients, u32 count, const i16* quant, const u8* constants, u8* out,
                        u64 stride);
void jpeg_idct_row_avx2(const i16* coefficients, u32 count, const i16* quant, const u8* constants, u8* out,
                        u64 stride);
void jpeg_ycc_row_scalar(const u8* y, const u8* cb, const u8* cr, u8* out, u32 count);
void jpeg_ycc_row_sse2(const u8* y, const u8* cb, const u8* cr, u8* out, u32 count);
void jpeg_ycc_row_avx2(const u8* y, const u8* cb, const u8* cr, u8* out, u32 count);
void jpeg_rgb_row_scalar(const u8* r, const u8* g, const u8* b, u8* out, u32 count);
void jpeg_rgb_row_sse2(const u8* r, const u8* g, const u8* b, u8* out, u32 count);
void jpeg_grey_row_scalar(const u8* y, u8* out, u32 count);
void jpeg_grey_row_sse2(const u8* y, u8* out, u32 count);
void jpeg_upsample_h2_scalar(const u8* in, u8* out, u32 count);
void jpeg_upsample_h2_sse2(const u8* in, u8* out, u32 count);
void jpeg_column_sum_scalar(const u8* near, const u8* far, u16* t, u32 count);
void jpeg_column_sum_sse2(const u8* near, const u8* far, u16* t, u32 count);
void jpeg_column_sum_avx2(const u8* near, const u8* far, u16* t, u32 count);
void jpeg_upsample_h2v2_scalar(const u16* t, u8* out, u32 count);
void jpeg_upsample_h2v2_sse2(const u16* t, u8* out, u32 count);
void jpeg_upsample_h2v2_avx2(const u16* t, u8* out, u32 count);
void jpeg_preview_row_scalar(const i16* dc, i32 q, u8* row, u32 count);
void jpeg_preview_row_sse2(const i16* dc, i32 q, u8* row, u32 count);
void jpeg_widen_row_scalar(const u8* in, u8* out, u32 count, u32 shift);
void jpeg_widen_row_sse2(const u8* in, u8* out, u32 count, u32 shift);
u64 jpeg_find_ff_scalar(const u8* p, u64 pos, u64 length);
// Bit i set when coefficient i of the 64 is not zero; the SSE2 twin is
// inlined from mask_sse2.h.
u64 jpeg_nonzero_mask_scalar(const i16* block);
u64 jpeg_find_ff_sse2(const u8* p, u64 pos, u64 length);
void jpeg_cmyk_row_scalar(const u8* c, const u8* m, const u8* y, const u8* k, u8* out, u32 count);
void jpeg_cmyk_row_sse2(const u8* c, const u8* m, const u8* y, const u8* k, u8* out, u32 count);
void jpeg_ycck_row_scalar(const u8* y, const u8* cb, const u8* cr, const u8* k, u8* out, u32 count);
void jpeg_ycck_row_sse2(const u8* y, const u8* cb, const u8* cr, const u8* k, u8* out, u32 count);
