// The 8 x 8 transpose of 16-bit lanes that the forward and inverse
// transforms' AVX2 kernels share: each 128-bit lane holds one block, eight
// rows in, eight columns out, both blocks at once.
#pragma once

#include <immintrin.h>

#include "base/types.h"

static QB_FORCE_INLINE void transpose8x2(__m256i* v) {
    __m256i a0 = _mm256_unpacklo_epi16(v[0], v[1]);
    __m256i a1 = _mm256_unpackhi_epi16(v[0], v[1]);
    __m256i a2 = _mm256_unpacklo_epi16(v[2], v[3]);
    __m256i a3 = _mm256_unpackhi_epi16(v[2], v[3]);
    __m256i a4 = _mm256_unpacklo_epi16(v[4], v[5]);
    __m256i a5 = _mm256_unpackhi_epi16(v[4], v[5]);
    __m256i a6 = _mm256_unpacklo_epi16(v[6], v[7]);
    __m256i a7 = _mm256_unpackhi_epi16(v[6], v[7]);
    __m256i b0 = _mm256_unpacklo_epi32(a0, a2);
    __m256i b1 = _mm256_unpackhi_epi32(a0, a2);
    __m256i b2 = _mm256_unpacklo_epi32(a1, a3);
    __m256i b3 = _mm256_unpackhi_epi32(a1, a3);
    __m256i b4 = _mm256_unpacklo_epi32(a4, a6);
    __m256i b5 = _mm256_unpackhi_epi32(a4, a6);
    __m256i b6 = _mm256_unpacklo_epi32(a5, a7);
    __m256i b7 = _mm256_unpackhi_epi32(a5, a7);
    v[0] = _mm256_unpacklo_epi64(b0, b4);
    v[1] = _mm256_unpackhi_epi64(b0, b4);
    v[2] = _mm256_unpacklo_epi64(b1, b5);
    v[3] = _mm256_unpackhi_epi64(b1, b5);
    v[4] = _mm256_unpacklo_epi64(b2, b6);
    v[5] = _mm256_unpackhi_epi64(b2, b6);
    v[6] = _mm256_unpacklo_epi64(b3, b7);
    v[7] = _mm256_unpackhi_epi64(b3, b7);
}
