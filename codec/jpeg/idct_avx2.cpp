// AVX2 inverse DCT of a row of blocks, two at a time: block j in the low
// 128-bit lane, block j + 1 in the high one. Every instruction the SSE2
// kernel uses (multiply-add, unpacks, packs, shifts) works within each lane
// here, so each lane runs exactly the SSE2 kernel's arithmetic and the
// results are bit for bit those of the scalar twin. A pair takes the flat
// shortcut only when both blocks are flat, and the low-corner passes (below)
// only when both blocks' terms lie in their top-left 4 x 4; otherwise both
// are transformed in full, which gives the same samples. An odd last block
// goes through the SSE2 kernel.
#include <immintrin.h>

#include "codec/jpeg/kernels.h"
#include "codec/jpeg/transpose_avx2.h"

static QB_FORCE_INLINE __m256i both(const void* p) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128((const __m128i*)p));
}

static QB_FORCE_INLINE __m256i pair(const i16* a, const i16* b) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128((const __m128i*)a)),
                                   _mm_loadu_si128((const __m128i*)b), 1);
}

// The even half from rows 0 and 4 and rows 2 and 6, then the outputs from
// it and the odd half o0 to o3.
static QB_FORCE_INLINE void butterfly(__m256i p04, __m256i p26, __m256i o0, __m256i o1, __m256i o2, __m256i o3,
                                      const __m256i* k, __m256i round, int shift, __m256i* y) {
    __m256i a = _mm256_madd_epi16(p04, k[0]);
    __m256i c = _mm256_madd_epi16(p04, k[1]);
    __m256i b = _mm256_madd_epi16(p26, k[2]);
    __m256i d = _mm256_madd_epi16(p26, k[3]);
    __m256i e0 = _mm256_add_epi32(_mm256_add_epi32(a, b), round);
    __m256i e3 = _mm256_add_epi32(_mm256_sub_epi32(a, b), round);
    __m256i e1 = _mm256_add_epi32(_mm256_add_epi32(c, d), round);
    __m256i e2 = _mm256_add_epi32(_mm256_sub_epi32(c, d), round);
    __m128i s = _mm_cvtsi32_si128(shift);
    y[0] = _mm256_sra_epi32(_mm256_add_epi32(e0, o0), s);
    y[7] = _mm256_sra_epi32(_mm256_sub_epi32(e0, o0), s);
    y[1] = _mm256_sra_epi32(_mm256_add_epi32(e1, o1), s);
    y[6] = _mm256_sra_epi32(_mm256_sub_epi32(e1, o1), s);
    y[2] = _mm256_sra_epi32(_mm256_add_epi32(e2, o2), s);
    y[5] = _mm256_sra_epi32(_mm256_sub_epi32(e2, o2), s);
    y[3] = _mm256_sra_epi32(_mm256_add_epi32(e3, o3), s);
    y[4] = _mm256_sra_epi32(_mm256_sub_epi32(e3, o3), s);
}

static QB_FORCE_INLINE void pass_half(__m256i p04, __m256i p26, __m256i p13, __m256i p57, const __m256i* k,
                                      __m256i round, int shift, __m256i* y) {
    butterfly(p04, p26, _mm256_add_epi32(_mm256_madd_epi16(p13, k[4]), _mm256_madd_epi16(p57, k[5])),
              _mm256_add_epi32(_mm256_madd_epi16(p13, k[6]), _mm256_madd_epi16(p57, k[7])),
              _mm256_add_epi32(_mm256_madd_epi16(p13, k[8]), _mm256_madd_epi16(p57, k[9])),
              _mm256_add_epi32(_mm256_madd_epi16(p13, k[10]), _mm256_madd_epi16(p57, k[11])), k, round, shift, y);
}

static QB_FORCE_INLINE void pass(__m256i* v, const __m256i* k, __m256i round, int shift) {
    __m256i lo[8];
    __m256i hi[8];
    pass_half(_mm256_unpacklo_epi16(v[0], v[4]), _mm256_unpacklo_epi16(v[2], v[6]),
              _mm256_unpacklo_epi16(v[1], v[3]), _mm256_unpacklo_epi16(v[5], v[7]), k, round, shift, lo);
    pass_half(_mm256_unpackhi_epi16(v[0], v[4]), _mm256_unpackhi_epi16(v[2], v[6]),
              _mm256_unpackhi_epi16(v[1], v[3]), _mm256_unpackhi_epi16(v[5], v[7]), k, round, shift, hi);
#pragma GCC unroll 8
    for (u32 i = 0; i < 8; i++) v[i] = _mm256_packs_epi32(lo[i], hi[i]);
}

// The passes for a pair whose dequantised terms all lie in the top-left
// 4 x 4 corner (most chroma blocks of a good-quality file). The first pass
// then sees rows 4-7 at zero, so its odd half drops the rows-5-and-7
// products, and columns 4-7 at zero, whose outputs are (0 + rounding) >>
// 11 = 0; its outputs' columns 4-7 are then zero, which the second pass
// sees as rows 4-7 at zero again. Every product dropped is zero, so the
// samples are exactly those of the full passes.
static QB_FORCE_INLINE void pass_half_low(__m256i p04, __m256i p26, __m256i p13, const __m256i* k, __m256i round,
                                          int shift, __m256i* y) {
    butterfly(p04, p26, _mm256_madd_epi16(p13, k[4]), _mm256_madd_epi16(p13, k[6]), _mm256_madd_epi16(p13, k[8]),
              _mm256_madd_epi16(p13, k[10]), k, round, shift, y);
}

// The first pass of a low pair: columns 0-3 only, columns 4-7 zero.
static QB_FORCE_INLINE void pass_low_first(__m256i* v, const __m256i* k) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i lo[8];
    pass_half_low(_mm256_unpacklo_epi16(v[0], zero), _mm256_unpacklo_epi16(v[2], zero),
                  _mm256_unpacklo_epi16(v[1], v[3]), k, _mm256_set1_epi32(1024), 11, lo);
#pragma GCC unroll 8
    for (u32 i = 0; i < 8; i++) v[i] = _mm256_packs_epi32(lo[i], zero);
}

// The second pass of a low pair: every column, rows 4-7 zero.
static QB_FORCE_INLINE void pass_low_second(__m256i* v, const __m256i* k) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i round = _mm256_set1_epi32(131072);
    __m256i lo[8];
    __m256i hi[8];
    pass_half_low(_mm256_unpacklo_epi16(v[0], zero), _mm256_unpacklo_epi16(v[2], zero),
                  _mm256_unpacklo_epi16(v[1], v[3]), k, round, 18, lo);
    pass_half_low(_mm256_unpackhi_epi16(v[0], zero), _mm256_unpackhi_epi16(v[2], zero),
                  _mm256_unpackhi_epi16(v[1], v[3]), k, round, 18, hi);
#pragma GCC unroll 8
    for (u32 i = 0; i < 8; i++) v[i] = _mm256_packs_epi32(lo[i], hi[i]);
}

// The flat sample of a block whose AC products are all zero (as the scalar
// twin's flat_sample), from its dequantised DC term.
static QB_FORCE_INLINE u8 flat_of(i32 x0) {
    i32 s = 4 * x0 < -32768 ? -32768 : (4 * x0 > 32767 ? 32767 : 4 * x0);
    i32 f = ((s + 16) >> 5) + 128;
    return (u8)(f < 0 ? 0 : (f > 255 ? 255 : f));
}

static QB_FORCE_INLINE void idct_pair(const i16* coef, const i16* quant, const __m256i* k, u8* out, u64 stride) {
    __m256i v[8];
#pragma GCC unroll 8
    for (u32 i = 0; i < 8; i++) v[i] = _mm256_mullo_epi16(pair(coef + 8 * i, coef + 64 + 8 * i), both(quant + 8 * i));
    __m256i any = _mm256_or_si256(_mm256_or_si256(_mm256_or_si256(v[1], v[2]), _mm256_or_si256(v[3], v[4])),
                                  _mm256_or_si256(_mm256_or_si256(v[5], v[6]), v[7]));
    any = _mm256_or_si256(any, _mm256_andnot_si256(_mm256_set_epi32(0, 0, 0, 0xFFFF, 0, 0, 0, 0xFFFF), v[0]));
    if ((u32)_mm256_movemask_epi8(_mm256_cmpeq_epi8(any, _mm256_setzero_si256())) == 0xFFFFFFFFu) {
        __m128i flat_a = _mm_set1_epi8((char)flat_of((i16)_mm256_extract_epi16(v[0], 0)));
        __m128i flat_b = _mm_set1_epi8((char)flat_of((i16)_mm256_extract_epi16(v[0], 8)));
        __m128i both_rows = _mm_unpacklo_epi64(flat_a, flat_b);
#pragma GCC unroll 8
        for (u32 i = 0; i < 8; i++) _mm_storeu_si128((__m128i*)(out + i * stride), both_rows);
        return;
    }
    // Rows 4-7 and, in rows 0-3, columns 4-7 all zero: the low passes.
    __m256i rows_high = _mm256_or_si256(_mm256_or_si256(v[4], v[5]), _mm256_or_si256(v[6], v[7]));
    __m256i cols_high = _mm256_and_si256(_mm256_or_si256(_mm256_or_si256(v[0], v[1]), _mm256_or_si256(v[2], v[3])),
                                         _mm256_set_epi64x(-1, 0, -1, 0));
    if (_mm256_testz_si256(_mm256_or_si256(rows_high, cols_high), _mm256_or_si256(rows_high, cols_high))) {
        pass_low_first(v, k);
        transpose8x2(v);
        pass_low_second(v, k);
    } else {
        pass(v, k, _mm256_set1_epi32(1024), 11);
        transpose8x2(v);
        pass(v, k, _mm256_set1_epi32(131072), 18);
    }
    transpose8x2(v);
    __m256i bias = _mm256_set1_epi16(128);
#pragma GCC unroll 4
    for (u32 i = 0; i < 8; i += 2) {
        // Low lane: block j's rows i and i + 1; high lane: block j + 1's.
        __m256i bytes = _mm256_packus_epi16(_mm256_adds_epi16(v[i], bias), _mm256_adds_epi16(v[i + 1], bias));
        __m128i a = _mm256_castsi256_si128(bytes);
        __m128i b = _mm256_extracti128_si256(bytes, 1);
        _mm_storeu_si128((__m128i*)(out + i * stride), _mm_unpacklo_epi64(a, b));
        _mm_storeu_si128((__m128i*)(out + (i + 1) * stride), _mm_unpackhi_epi64(a, b));
    }
}

void jpeg_idct_row_avx2(const i16* coef, u32 count, const i16* quant, const u8* constants, u8* out, u64 stride) {
    __m256i k[12];
#pragma GCC unroll 12
    for (u32 r = 0; r < 12; r++) k[r] = both(constants + 16 * r);
    u32 j = 0;
    for (; j + 2 <= count; j += 2) {
        // The coefficients come from memory far beyond the caches (a
        // second stage's store is written long before its tiles are made):
        // ask for the pair four pairs ahead (past the row's end, the blocks
        // after it: harmless). About 12 % of a 4:4:4 file's tiles.
        const char* ahead = (const char*)(coef + 64 * (j + 8));
        _mm_prefetch(ahead, _MM_HINT_T0);
        _mm_prefetch(ahead + 64, _MM_HINT_T0);
        _mm_prefetch(ahead + 128, _MM_HINT_T0);
        _mm_prefetch(ahead + 192, _MM_HINT_T0);
        idct_pair(coef + 64 * j, quant, k, out + 8 * j, stride);
    }
    if (j < count) jpeg_idct_sse2(coef + 64 * j, quant, constants, out + 8 * j, stride);
}
