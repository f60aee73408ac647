// The inverse DCT's SSE2 arithmetic as residues in registers, shared by
// the SSE2 kernels and the AVX2 set's 4 x 4 prediction with its residue.
#pragma once

#include <emmintrin.h>

#include "codec/webp/vp8.h"

// The scalar transform's 16-bit arithmetic, four lanes at a time (the low
// halves of the registers): a pass over the columns, a transpose, a pass
// over the rows, a transpose back.

static inline void idct_pass(__m128i i0, __m128i i1, __m128i i2, __m128i i3, __m128i* o) {
    const __m128i k1 = _mm_set1_epi16(20091);
    const __m128i k2 = _mm_set1_epi16(-30068);
    __m128i a = _mm_add_epi16(i0, i2);
    __m128i b = _mm_sub_epi16(i0, i2);
    __m128i c = _mm_add_epi16(_mm_sub_epi16(i1, i3), _mm_sub_epi16(_mm_mulhi_epi16(i1, k2), _mm_mulhi_epi16(i3, k1)));
    __m128i d = _mm_add_epi16(_mm_add_epi16(i1, i3), _mm_add_epi16(_mm_mulhi_epi16(i1, k1), _mm_mulhi_epi16(i3, k2)));
    o[0] = _mm_add_epi16(a, d);
    o[1] = _mm_add_epi16(b, c);
    o[2] = _mm_sub_epi16(b, c);
    o[3] = _mm_sub_epi16(a, d);
}

static inline void transpose4(const __m128i* r, __m128i* c) {
    __m128i t0 = _mm_unpacklo_epi16(r[0], r[1]);
    __m128i t1 = _mm_unpacklo_epi16(r[2], r[3]);
    __m128i u0 = _mm_unpacklo_epi32(t0, t1);
    __m128i u1 = _mm_unpackhi_epi32(t0, t1);
    c[0] = u0;
    c[1] = _mm_srli_si128(u0, 8);
    c[2] = u1;
    c[3] = _mm_srli_si128(u1, 8);
}

// The residue of the full transform, rows 0 and 1 in one register, 2 and
// 3 in the other.
static QB_FORCE_INLINE void idct_rows(const i16* in, __m128i* m01, __m128i* m23) {
    __m128i rows[4], cols[4], out[4], res[4];
    // Lanes are columns: rows of intermediate values come out.
    idct_pass(_mm_loadl_epi64((const __m128i*)in), _mm_loadl_epi64((const __m128i*)(in + 4)),
              _mm_loadl_epi64((const __m128i*)(in + 8)), _mm_loadl_epi64((const __m128i*)(in + 12)), rows);
    transpose4(rows, cols);  // lanes are rows now
    idct_pass(_mm_add_epi16(cols[0], _mm_set1_epi16(4)), cols[1], cols[2], cols[3], out);
    for (u32 k = 0; k < 4; k++) out[k] = _mm_srai_epi16(out[k], 3);
    transpose4(out, res);
    *m01 = _mm_unpacklo_epi64(res[0], res[1]);
    *m23 = _mm_unpacklo_epi64(res[2], res[3]);
}

// The short form (coefficients 0, 1 and 4): a column pattern added to a
// row pattern, with the scalar kernel's saturating 16-bit steps; rows 0
// and 1 in one register, rows 2 and 3 in the other.
static QB_FORCE_INLINE void ac3_rows(const i16* in, __m128i* m01_out, __m128i* m23_out) {
    const __m128i k1 = _mm_set1_epi16(20091);
    const __m128i k2 = _mm_set1_epi16(-30068);  // 35468 - 65536: x * 35468 >> 16 is this product's high half plus x
    // Lanes: in[0], in[4], in[1] and their negations where needed.
    __m128i x = _mm_set_epi16(0, 0, 0, 0, 0, 0, in[1], in[4]);
    __m128i c = _mm_add_epi16(_mm_mulhi_epi16(x, k2), x);  // c4, c1
    __m128i d = _mm_add_epi16(_mm_mulhi_epi16(x, k1), x);  // d4, d1
    __m128i c4 = _mm_shufflelo_epi16(c, 0), d4 = _mm_shufflelo_epi16(d, 0);
    __m128i c1 = _mm_shufflelo_epi16(c, 0x55), d1 = _mm_shufflelo_epi16(d, 0x55);
    __m128i zero = _mm_setzero_si128();
    // Across a row: d1, c1, -c1, -d1.
    __m128i dc = _mm_unpacklo_epi16(d1, c1);
    __m128i across = _mm_unpacklo_epi32(dc, _mm_sub_epi16(zero, _mm_shufflelo_epi16(dc, 0xB1)));
    across = _mm_unpacklo_epi64(across, across);
    __m128i b = _mm_adds_epi16(_mm_set1_epi16((short)(in[0] + 4)), across);
    __m128i m01 = _mm_adds_epi16(b, _mm_unpacklo_epi64(_mm_unpacklo_epi64(d4, d4), _mm_unpacklo_epi64(c4, c4)));
    __m128i m23 = _mm_subs_epi16(b, _mm_unpacklo_epi64(_mm_unpacklo_epi64(c4, c4), _mm_unpacklo_epi64(d4, d4)));
    *m01_out = _mm_srai_epi16(m01, 3);
    *m23_out = _mm_srai_epi16(m23, 3);
}

// The residue of a block of transform kind 1 (DC only), 2 (coefficients
// 0, 1 and 4) or 3 (full), rows as idct_rows gives them; the coefficients
// used are cleared.
static QB_FORCE_INLINE void residue_rows(i16* in, u32 kind, __m128i* m01, __m128i* m23) {
    if (kind == 3) {
        idct_rows(in, m01, m23);
        _mm_storeu_si128((__m128i*)in, _mm_setzero_si128());
        _mm_storeu_si128((__m128i*)(in + 8), _mm_setzero_si128());
    } else if (kind == 2) {
        ac3_rows(in, m01, m23);
        in[0] = in[1] = in[4] = 0;
    } else {
        *m01 = *m23 = _mm_set1_epi16((short)((in[0] + 4) >> 3));
        in[0] = 0;
    }
}
