// The encoder's pixel kernels in plain C++ (the scalar twins) and their
// dispatch. The forward transform is the accurate integer factorisation of
// Loeffler, Ligtenberg and Moschytz with 13-bit constants; the row pass keeps
// two extra bits (PASS1_BITS) that the column pass removes, and both passes
// round to nearest. Its output is 8 times the true coefficient, which the
// quantiser's divisors (8 * Q) absorb. The vector twins must match these
// results bit for bit.
#include "codec/jpeg/encode.h"

#include "base/cpu.h"

// ---- Colour conversion ----------------------------------------------------------
// 16-bit fixed point; the Cb and Cr offsets hold 128 << 16 plus a rounding
// half less one, so the results stay within 0..255 without clamping.

void jpeg_rgba_to_ycc_scalar(const u8* rgba, u8* y, u8* cb, u8* cr, u32 count) {
    u32 n = (count + 7) & ~7u;
    for (u32 i = 0; i < n; i++) {
        i32 r = rgba[4 * i], g = rgba[4 * i + 1], b = rgba[4 * i + 2];
        y[i] = (u8)((19595 * r + 38470 * g + 7471 * b + 32768) >> 16);
        cb[i] = (u8)((-11059 * r - 21709 * g + 32768 * b + 8421375) >> 16);
        cr[i] = (u8)((32768 * r - 27439 * g - 5329 * b + 8421375) >> 16);
    }
}

// ---- Downsampling -----------------------------------------------------------------

void jpeg_downsample_scalar(const u8* a, const u8* b, u8* out, u32 count) {
    u32 n = (count + 15) & ~15u;
    for (u32 i = 0; i < n; i++) {
        out[i] = (u8)((a[2 * i] + a[2 * i + 1] + b[2 * i] + b[2 * i + 1] + 1 + (i & 1)) >> 2);
    }
}

// ---- Forward DCT and quantisation ----------------------------------------------------

enum : i32 {
    FIX_0_298631336 = 2446,
    FIX_0_390180644 = 3196,
    FIX_0_541196100 = 4433,
    FIX_0_765366865 = 6270,
    FIX_0_899976223 = 7373,
    FIX_1_175875602 = 9633,
    FIX_1_501321110 = 12299,
    FIX_1_847759065 = 15137,
    FIX_1_961570560 = 16069,
    FIX_2_053119869 = 16819,
    FIX_2_562915447 = 20995,
    FIX_3_072711026 = 25172,
};

// One 8-point pass over d[0], d[step], ... d[7 * step]. `pass` 1 scales the
// even sums up by 2 bits and descales the rotations by 11; pass 2 descales
// the even sums by 2 and the rotations by 15. Results are stored as 16-bit
// values, as the vector kernel keeps them.
static QB_FORCE_INLINE void fdct_pass(i16* d, u32 step, u32 pass) {
    i32 x0 = d[0], x1 = d[step], x2 = d[2 * step], x3 = d[3 * step];
    i32 x4 = d[4 * step], x5 = d[5 * step], x6 = d[6 * step], x7 = d[7 * step];
    i32 tmp0 = x0 + x7, tmp7 = x0 - x7;
    i32 tmp1 = x1 + x6, tmp6 = x1 - x6;
    i32 tmp2 = x2 + x5, tmp5 = x2 - x5;
    i32 tmp3 = x3 + x4, tmp4 = x3 - x4;
    i32 tmp10 = tmp0 + tmp3, tmp13 = tmp0 - tmp3;
    i32 tmp11 = tmp1 + tmp2, tmp12 = tmp1 - tmp2;
    u32 shift = pass == 1 ? 11 : 15;
    i32 round = 1 << (shift - 1);
    if (pass == 1) {
        d[0] = (i16)((tmp10 + tmp11) * 4);
        d[4 * step] = (i16)((tmp10 - tmp11) * 4);
    } else {
        d[0] = (i16)((tmp10 + tmp11 + 2) >> 2);
        d[4 * step] = (i16)((tmp10 - tmp11 + 2) >> 2);
    }
    i32 z1 = (tmp12 + tmp13) * FIX_0_541196100;
    d[2 * step] = (i16)((z1 + tmp13 * FIX_0_765366865 + round) >> shift);
    d[6 * step] = (i16)((z1 - tmp12 * FIX_1_847759065 + round) >> shift);

    i32 z3 = tmp4 + tmp6, z4 = tmp5 + tmp7;
    i32 z5 = (z3 + z4) * FIX_1_175875602;
    i32 za = (tmp4 + tmp7) * -FIX_0_899976223;
    i32 zb = (tmp5 + tmp6) * -FIX_2_562915447;
    z3 = z3 * -FIX_1_961570560 + z5;
    z4 = z4 * -FIX_0_390180644 + z5;
    d[7 * step] = (i16)((tmp4 * FIX_0_298631336 + za + z3 + round) >> shift);
    d[5 * step] = (i16)((tmp5 * FIX_2_053119869 + zb + z4 + round) >> shift);
    d[3 * step] = (i16)((tmp6 * FIX_3_072711026 + zb + z3 + round) >> shift);
    d[1 * step] = (i16)((tmp7 * FIX_1_501321110 + za + z4 + round) >> shift);
}

void jpeg_fdct_scalar(const u8* samples, u64 stride, const JpegQuantDivisors* q, i16* out, u64* masks) {
    for (u32 b = 0; b < 8; b++) {
        i16 block[64];
        for (u32 r = 0; r < 8; r++) {
            for (u32 c = 0; c < 8; c++) block[8 * r + c] = (i16)(samples[r * stride + 8 * b + c] - 128);
        }
        for (u32 r = 0; r < 8; r++) fdct_pass(block + 8 * r, 1, 1);
        for (u32 c = 0; c < 8; c++) fdct_pass(block + c, 8, 2);
        i16* z = out + 64 * b;
        u64 mask = 0;
        for (u32 k = 0; k < 64; k++) {
            u32 n = jpeg_zigzag[k];
            i32 x = block[n];
            u32 m = (u32)(x < 0 ? -x : x);
            i32 v = (i32)(((m + q->correction[n]) * q->reciprocal[n]) >> q->shift[n]);
            z[k] = (i16)(x < 0 ? -v : v);
            mask |= (u64)(v != 0) << k;
        }
        masks[b] = mask;
    }
}

// ---- Dispatch ----------------------------------------------------------------------

static const JpegEncodeKernels k_scalar = {jpeg_rgba_to_ycc_scalar, jpeg_downsample_scalar, jpeg_fdct_scalar,
                                           jpeg_baseline_rows};
static const JpegEncodeKernels k_sse2 = {jpeg_rgba_to_ycc_sse2, jpeg_downsample_sse2, jpeg_fdct_sse2,
                                         jpeg_baseline_rows};
// Downsampling is a small share of the work; the SSE2 kernel stays.
static const JpegEncodeKernels k_avx2 = {jpeg_rgba_to_ycc_avx2, jpeg_downsample_sse2, jpeg_fdct_avx2,
                                         jpeg_baseline_rows_bmi2};
static const JpegEncodeKernels* g_encode_kernels = nullptr;

static bool has_avx2() {
    __builtin_cpu_init();
    return cpu_has_avx2() && __builtin_cpu_supports("bmi");
}

const JpegEncodeKernels* jpeg_encode_kernels() {
    if (!g_encode_kernels) g_encode_kernels = has_avx2() ? &k_avx2 : &k_sse2;
    return g_encode_kernels;
}

bool jpeg_encode_force_kernels(u32 variant) {
    switch (variant) {
        case JPEG_ENCODE_SCALAR: g_encode_kernels = &k_scalar; return true;
        case JPEG_ENCODE_SSE2: g_encode_kernels = &k_sse2; return true;
        case JPEG_ENCODE_AVX2:
            if (!has_avx2()) return false;
            g_encode_kernels = &k_avx2;
            return true;
        case JPEG_ENCODE_BEST: g_encode_kernels = has_avx2() ? &k_avx2 : &k_sse2; return true;
        default: return false;
    }
}
