// AVX2-machine conversion of 8-bit RGB to RGBA: with SSSE3 byte shuffles
// (always present beside AVX2) each 12 source bytes spread into four pixels
// in one instruction instead of four word loads. The other kinds use the
// SSE2 kernels.
#include <immintrin.h>

#include "codec/png/png_rows.h"

bool convert_run_avx2(u32 kind, const PngTables* t, const u8* src, u8* dst, u32 padded, u32 depth,
                      u32 count) {
    if (kind != PNG_CONVERT_RGB8) return convert_run_sse2(kind, t, src, dst, padded, depth, count);
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m256i key = _mm256_set1_epi32((i32)t->rgb_key8);
    const __m256i alpha = _mm256_set1_epi32((i32)0xFF000000u);
    for (u32 i = 0; i < padded; i += 8) {
        const u8* s = src + 3 * i;
        __m128i lo = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i*)s), spread);
        __m128i hi = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i*)(s + 12)), spread);
        __m256i v = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
        __m256i hit = _mm256_cmpeq_epi32(v, key);
        _mm256_storeu_si256((__m256i*)(dst + 4 * i), _mm256_andnot_si256(hit, _mm256_or_si256(v, alpha)));
    }
    return false;
}
