// The inverse DCT of the full-resolution path, its constant table and the
// kernel dispatch. The transform is a direct 8-point butterfly with 13-bit
// constants round(8192 * sqrt(2) * cos(k * pi / 16)); some odd-part constants
// are deliberately one off (10704, 2259, 11362, 6436, 2261) and must stay so.
// The constants are kept as 16-bit pairs so the vector kernel forms each
// product sum with one multiply-add; the scalar twin reads the same table.
#include "base/cpu.h"
#include "codec/jpeg/jpeg.h"
#include "codec/jpeg/kernels.h"

#include <string.h>

// Twelve rows of four identical (a, b) pairs, each applied to an interleaved
// input pair; rows 12 to 20 of the 21-row table are kept zero.
//   row 0,1:  (x0, x4) by (8192, 8192), (8192, -8192)
//   row 2,3:  (x2, x6) by (10703, 4433), (4433, -10704)
//   row 4,5:  o0 = (x1, x3) by (11363, 9633) + (x5, x7) by (6437, 2260)
//   row 6,7:  o1 = (9633, -2259), (-11362, -6436)
//   row 8,9:  o2 = (6437, -11362), (2261, 9633)
//   row 10,11: o3 = (2260, -6436), (9633, -11363)
static const i16 k_idct_pairs[12][2] = {
    {8192, 8192},   {8192, -8192},  {10703, 4433}, {4433, -10704}, {11363, 9633}, {6437, 2260},
    {9633, -2259},  {-11362, -6436}, {6437, -11362}, {2261, 9633},  {2260, -6436}, {9633, -11363},
};

void write_idct_constants(u8* workspace) {
    i16 table[21][8] = {};
    for (u32 r = 0; r < 12; r++) {
        for (u32 i = 0; i < 4; i++) {
            table[r][2 * i] = k_idct_pairs[r][0];
            table[r][2 * i + 1] = k_idct_pairs[r][1];
        }
    }
    memset(workspace, 0, 384);
    memcpy(workspace, table, sizeof table);
}

static QB_FORCE_INLINE i32 sat16(i32 v) {
    return v < -32768 ? -32768 : (v > 32767 ? 32767 : v);
}

// One 8-point pass; x and y are strided by `step`. Sums stay below 2^31:
// the largest is 8192 * 65536 + 15136 * 32768 + 29693 * 32768 + 131072.
static QB_FORCE_INLINE void idct_pass(const i32* x, i32* y, const i32 (*k)[2], i32 round, u32 shift) {
    i32 a = k[0][0] * x[0] + k[0][1] * x[4];
    i32 c = k[1][0] * x[0] + k[1][1] * x[4];
    i32 b = k[2][0] * x[2] + k[2][1] * x[6];
    i32 dd = k[3][0] * x[2] + k[3][1] * x[6];
    i32 e0 = a + b;
    i32 e3 = a - b;
    i32 e1 = c + dd;
    i32 e2 = c - dd;
    i32 o0 = k[4][0] * x[1] + k[4][1] * x[3] + k[5][0] * x[5] + k[5][1] * x[7];
    i32 o1 = k[6][0] * x[1] + k[6][1] * x[3] + k[7][0] * x[5] + k[7][1] * x[7];
    i32 o2 = k[8][0] * x[1] + k[8][1] * x[3] + k[9][0] * x[5] + k[9][1] * x[7];
    i32 o3 = k[10][0] * x[1] + k[10][1] * x[3] + k[11][0] * x[5] + k[11][1] * x[7];
    y[0] = sat16((e0 + o0 + round) >> shift);
    y[7] = sat16((e0 - o0 + round) >> shift);
    y[1] = sat16((e1 + o1 + round) >> shift);
    y[6] = sat16((e1 - o1 + round) >> shift);
    y[2] = sat16((e2 + o2 + round) >> shift);
    y[5] = sat16((e2 - o2 + round) >> shift);
    y[3] = sat16((e3 + o3 + round) >> shift);
    y[4] = sat16((e3 - o3 + round) >> shift);
}

// The sample of a block whose dequantised AC terms are all zero: the first
// pass leaves sat16(4 x0) in column 0 and zeros elsewhere, and the second
// gives (8192 s + 131072) >> 18 = (s + 16) >> 5 for every sample.
static QB_FORCE_INLINE u8 flat_sample(i32 x0) {
    i32 v = ((sat16(4 * x0) + 16) >> 5) + 128;
    return (u8)(v < 0 ? 0 : (v > 255 ? 255 : v));
}

void jpeg_idct_scalar(const i16* coef, const i16* quant, const u8* constants, u8* out, u64 stride) {
    u32 ac = 0;
    for (u32 i = 1; i < 64; i++) ac |= (u16)((u32)coef[i] * (u32)quant[i]);
    if (ac == 0) {
        u8 v = flat_sample((i16)(u16)((u32)coef[0] * (u32)quant[0]));
        for (u32 row = 0; row < 8; row++) memset(out + row * stride, v, 8);
        return;
    }
    i32 k[12][2];
    for (u32 r = 0; r < 12; r++) {
        i16 pair[2];
        memcpy(pair, constants + 16 * r, 4);
        k[r][0] = pair[0];
        k[r][1] = pair[1];
    }
    i32 t[64];
    for (u32 col = 0; col < 8; col++) {
        i32 x[8];
        i32 y[8];
        for (u32 i = 0; i < 8; i++) x[i] = (i16)(u16)((u32)coef[i * 8 + col] * (u32)quant[i * 8 + col]);
        idct_pass(x, y, k, 1024, 11);
        for (u32 i = 0; i < 8; i++) t[i * 8 + col] = y[i];
    }
    for (u32 row = 0; row < 8; row++) {
        i32 y[8];
        idct_pass(t + row * 8, y, k, 131072, 18);
        for (u32 i = 0; i < 8; i++) {
            i32 v = y[i] + 128;
            out[row * stride + i] = (u8)(v < 0 ? 0 : (v > 255 ? 255 : v));
        }
    }
}

void jpeg_idct_row_scalar(const i16* coef, u32 count, const i16* quant, const u8* constants, u8* out, u64 stride) {
    for (u32 j = 0; j < count; j++) jpeg_idct_scalar(coef + 64 * j, quant, constants, out + 8 * j, stride);
}

// ---- Dispatch ----------------------------------------------------------------------

// AVX2 is used for the inverse DCT, two blocks a step (a tile's transforms
// took about 60 % of its time with SSE2), and for the YCbCr rows, 16 pixels
// a step (then the next largest part); the other row kernels keep SSE2.
static const JpegKernels k_scalar = {jpeg_idct_scalar,        jpeg_idct_row_scalar,    jpeg_ycc_row_scalar,
                                     jpeg_rgb_row_scalar,     jpeg_grey_row_scalar,    jpeg_upsample_h2_scalar,
                                     jpeg_column_sum_scalar,  jpeg_upsample_h2v2_scalar, jpeg_find_ff_scalar,
                                     jpeg_preview_row_scalar, jpeg_widen_row_scalar,
                                     jpeg_cmyk_row_scalar,    jpeg_ycck_row_scalar};
static const JpegKernels k_sse2 = {jpeg_idct_sse2,        jpeg_idct_row_sse2,    jpeg_ycc_row_sse2,
                                   jpeg_rgb_row_sse2,     jpeg_grey_row_sse2,    jpeg_upsample_h2_sse2,
                                   jpeg_column_sum_sse2,  jpeg_upsample_h2v2_sse2, jpeg_find_ff_sse2,
                                   jpeg_preview_row_sse2, jpeg_widen_row_sse2,
                                   jpeg_cmyk_row_sse2,    jpeg_ycck_row_sse2};
static const JpegKernels k_avx2 = {jpeg_idct_sse2,        jpeg_idct_row_avx2,    jpeg_ycc_row_avx2,
                                   jpeg_rgb_row_sse2,     jpeg_grey_row_sse2,    jpeg_upsample_h2_sse2,
                                   jpeg_column_sum_avx2,  jpeg_upsample_h2v2_avx2, jpeg_find_ff_sse2,
                                   jpeg_preview_row_sse2, jpeg_widen_row_sse2,
                                   jpeg_cmyk_row_sse2,    jpeg_ycck_row_sse2};

static bool has_avx2() {
    __builtin_cpu_init();
    return cpu_has_avx2();
}

// Chosen on first use from the CPU check; SSE2 is part of x86-64.
static const JpegKernels* g_jpeg_kernels = nullptr;

const JpegKernels* jpeg_kernels() {
    if (__builtin_expect(g_jpeg_kernels == nullptr, 0)) g_jpeg_kernels = has_avx2() ? &k_avx2 : &k_sse2;
    return g_jpeg_kernels;
}

bool jpeg_force_kernels(u32 variant) {
    switch (variant) {
    case JPEG_KERNELS_SCALAR: g_jpeg_kernels = &k_scalar; return true;
    case JPEG_KERNELS_SSE2: g_jpeg_kernels = &k_sse2; return true;
    case JPEG_KERNELS_AVX2:
        if (!has_avx2()) return false;
        g_jpeg_kernels = &k_avx2;
        return true;
    case JPEG_KERNELS_BEST: g_jpeg_kernels = has_avx2() ? &k_avx2 : &k_sse2; return true;
    default: return false;
    }
}
