// SSE2 inverse DCT: one block as eight rows of eight 16-bit lanes. Each pass
// interleaves input pairs and forms every product sum with _mm_madd_epi16
// against the constant pairs of the workspace table, so both passes are the
// same code: the first runs down the columns, a transpose turns the rows into
// columns, the second runs along the rows, and a last transpose restores
// rows for the store. Saturation to 16 bits and to 0..255 comes from the
// pack instructions, exactly as the scalar twin clamps.
#include "codec/jpeg/kernels.h"

#include <emmintrin.h>

#include "codec/jpeg/transpose_sse2.h"

static QB_FORCE_INLINE __m128i k_row(const u8* constants, u32 r) {
    return _mm_loadu_si128((const __m128i*)(constants + 16 * r));
}

// Four lanes of one pass: p04, p26, p13, p57 are interleaved input pairs.
static QB_FORCE_INLINE void pass_half(__m128i p04, __m128i p26, __m128i p13, __m128i p57, const __m128i* k,
                                      __m128i round, int shift, __m128i* y) {
    __m128i a = _mm_madd_epi16(p04, k[0]);
    __m128i c = _mm_madd_epi16(p04, k[1]);
    __m128i b = _mm_madd_epi16(p26, k[2]);
    __m128i d = _mm_madd_epi16(p26, k[3]);
    __m128i e0 = _mm_add_epi32(a, b);
    __m128i e3 = _mm_sub_epi32(a, b);
    __m128i e1 = _mm_add_epi32(c, d);
    __m128i e2 = _mm_sub_epi32(c, d);
    __m128i o0 = _mm_add_epi32(_mm_madd_epi16(p13, k[4]), _mm_madd_epi16(p57, k[5]));
    __m128i o1 = _mm_add_epi32(_mm_madd_epi16(p13, k[6]), _mm_madd_epi16(p57, k[7]));
    __m128i o2 = _mm_add_epi32(_mm_madd_epi16(p13, k[8]), _mm_madd_epi16(p57, k[9]));
    __m128i o3 = _mm_add_epi32(_mm_madd_epi16(p13, k[10]), _mm_madd_epi16(p57, k[11]));
    e0 = _mm_add_epi32(e0, round);
    e1 = _mm_add_epi32(e1, round);
    e2 = _mm_add_epi32(e2, round);
    e3 = _mm_add_epi32(e3, round);
    __m128i s = _mm_cvtsi32_si128(shift);
    y[0] = _mm_sra_epi32(_mm_add_epi32(e0, o0), s);
    y[7] = _mm_sra_epi32(_mm_sub_epi32(e0, o0), s);
    y[1] = _mm_sra_epi32(_mm_add_epi32(e1, o1), s);
    y[6] = _mm_sra_epi32(_mm_sub_epi32(e1, o1), s);
    y[2] = _mm_sra_epi32(_mm_add_epi32(e2, o2), s);
    y[5] = _mm_sra_epi32(_mm_sub_epi32(e2, o2), s);
    y[3] = _mm_sra_epi32(_mm_add_epi32(e3, o3), s);
    y[4] = _mm_sra_epi32(_mm_sub_epi32(e3, o3), s);
}

// v[i] holds input x_i in each of its 8 lanes; the result replaces it.
static QB_FORCE_INLINE void pass(__m128i* v, const __m128i* k, __m128i round, int shift) {
    __m128i lo[8];
    __m128i hi[8];
    pass_half(_mm_unpacklo_epi16(v[0], v[4]), _mm_unpacklo_epi16(v[2], v[6]), _mm_unpacklo_epi16(v[1], v[3]),
              _mm_unpacklo_epi16(v[5], v[7]), k, round, shift, lo);
    pass_half(_mm_unpackhi_epi16(v[0], v[4]), _mm_unpackhi_epi16(v[2], v[6]), _mm_unpackhi_epi16(v[1], v[3]),
              _mm_unpackhi_epi16(v[5], v[7]), k, round, shift, hi);
#pragma GCC unroll 8
    for (u32 i = 0; i < 8; i++) v[i] = _mm_packs_epi32(lo[i], hi[i]);
}

// One block with the constant rows already loaded. The loops are unrolled
// by hand's order so the eight rows stay in registers.
static QB_FORCE_INLINE void idct_block(const i16* coef, const i16* quant, const __m128i* k, u8* out, u64 stride) {
    __m128i v[8];
#pragma GCC unroll 8
    for (u32 i = 0; i < 8; i++) {
        v[i] = _mm_mullo_epi16(_mm_loadu_si128((const __m128i*)(coef + 8 * i)),
                               _mm_loadu_si128((const __m128i*)(quant + 8 * i)));
    }
    // All AC products zero: every sample is the same (see the scalar twin).
    __m128i any = _mm_or_si128(_mm_or_si128(_mm_or_si128(v[1], v[2]), _mm_or_si128(v[3], v[4])),
                               _mm_or_si128(_mm_or_si128(v[5], v[6]), v[7]));
    any = _mm_or_si128(any, _mm_andnot_si128(_mm_cvtsi32_si128(0xFFFF), v[0]));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) == 0xFFFF) {
        i32 x0 = (i16)_mm_cvtsi128_si32(v[0]);
        i32 s = 4 * x0 < -32768 ? -32768 : (4 * x0 > 32767 ? 32767 : 4 * x0);
        i32 f = ((s + 16) >> 5) + 128;
        __m128i flat = _mm_set1_epi8((char)(u8)(f < 0 ? 0 : (f > 255 ? 255 : f)));
#pragma GCC unroll 8
        for (u32 i = 0; i < 8; i++) _mm_storel_epi64((__m128i*)(out + i * stride), flat);
        return;
    }
    pass(v, k, _mm_set1_epi32(1024), 11);
    transpose8(v);
    pass(v, k, _mm_set1_epi32(131072), 18);
    transpose8(v);
    __m128i bias = _mm_set1_epi16(128);
#pragma GCC unroll 4
    for (u32 i = 0; i < 8; i += 2) {
        __m128i a = _mm_adds_epi16(v[i], bias);
        __m128i b = _mm_adds_epi16(v[i + 1], bias);
        __m128i bytes = _mm_packus_epi16(a, b);
        _mm_storel_epi64((__m128i*)(out + i * stride), bytes);
        _mm_storel_epi64((__m128i*)(out + (i + 1) * stride), _mm_srli_si128(bytes, 8));
    }
}

void jpeg_idct_sse2(const i16* coef, const i16* quant, const u8* constants, u8* out, u64 stride) {
    __m128i k[12];
#pragma GCC unroll 12
    for (u32 r = 0; r < 12; r++) k[r] = k_row(constants, r);
    idct_block(coef, quant, k, out, stride);
}

void jpeg_idct_row_sse2(const i16* coef, u32 count, const i16* quant, const u8* constants, u8* out, u64 stride) {
    __m128i k[12];
#pragma GCC unroll 12
    for (u32 r = 0; r < 12; r++) k[r] = k_row(constants, r);
    for (u32 j = 0; j < count; j++) {
        // The block eight ahead asked for, as the AVX2 kernel does.
        const char* ahead = (const char*)(coef + 64 * (j + 8));
        _mm_prefetch(ahead, _MM_HINT_T0);
        _mm_prefetch(ahead + 64, _MM_HINT_T0);
        idct_block(coef + 64 * j, quant, k, out + 8 * j, stride);
    }
}
