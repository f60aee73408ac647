// The 8 x 8 transpose of 16-bit lanes that the forward and inverse
// transforms' SSE2 kernels share: eight rows in, eight columns out.
#pragma once

#include <emmintrin.h>

#include "base/types.h"

static QB_FORCE_INLINE void transpose8(__m128i* v) {
    __m128i a0 = _mm_unpacklo_epi16(v[0], v[1]);
    __m128i a1 = _mm_unpackhi_epi16(v[0], v[1]);
    __m128i a2 = _mm_unpacklo_epi16(v[2], v[3]);
    __m128i a3 = _mm_unpackhi_epi16(v[2], v[3]);
    __m128i a4 = _mm_unpacklo_epi16(v[4], v[5]);
    __m128i a5 = _mm_unpackhi_epi16(v[4], v[5]);
    __m128i a6 = _mm_unpacklo_epi16(v[6], v[7]);
    __m128i a7 = _mm_unpackhi_epi16(v[6], v[7]);
    __m128i b0 = _mm_unpacklo_epi32(a0, a2);
    __m128i b1 = _mm_unpackhi_epi32(a0, a2);
    __m128i b2 = _mm_unpacklo_epi32(a1, a3);
    __m128i b3 = _mm_unpackhi_epi32(a1, a3);
    __m128i b4 = _mm_unpacklo_epi32(a4, a6);
    __m128i b5 = _mm_unpackhi_epi32(a4, a6);
    __m128i b6 = _mm_unpacklo_epi32(a5, a7);
    __m128i b7 = _mm_unpackhi_epi32(a5, a7);
    v[0] = _mm_unpacklo_epi64(b0, b4);
    v[1] = _mm_unpackhi_epi64(b0, b4);
    v[2] = _mm_unpacklo_epi64(b1, b5);
    v[3] = _mm_unpackhi_epi64(b1, b5);
    v[4] = _mm_unpacklo_epi64(b2, b6);
    v[5] = _mm_unpackhi_epi64(b2, b6);
    v[6] = _mm_unpacklo_epi64(b3, b7);
    v[7] = _mm_unpackhi_epi64(b3, b7);
}
