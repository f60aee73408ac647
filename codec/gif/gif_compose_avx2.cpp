// AVX2 composition: the eight colours of a step come from one gather, the
// transparent index is a 32-bit lane compare and a byte blend.
#include <immintrin.h>

#include "codec/gif/gif.h"

void gif_compose_avx2(const u8* indices, u32 count, const u32* lut, i32 transparent, u8* dst) {
    u32 i = 0;
    if (transparent == (i32)GIF_NO_TRANSPARENT) {
        for (; i + 8 <= count; i += 8) {
            __m256i idx = _mm256_cvtepu8_epi32(_mm_loadl_epi64((const __m128i*)(indices + i)));
            __m256i colour = _mm256_i32gather_epi32((const int*)lut, idx, 4);
            _mm256_storeu_si256((__m256i*)(dst + 4 * i), colour);
        }
    } else {
        const __m256i key = _mm256_set1_epi32(transparent);
        for (; i + 8 <= count; i += 8) {
            __m256i idx = _mm256_cvtepu8_epi32(_mm_loadl_epi64((const __m128i*)(indices + i)));
            __m256i colour = _mm256_i32gather_epi32((const int*)lut, idx, 4);
            __m256i old = _mm256_loadu_si256((const __m256i*)(dst + 4 * i));
            __m256i hit = _mm256_cmpeq_epi32(idx, key);
            _mm256_storeu_si256((__m256i*)(dst + 4 * i), _mm256_blendv_epi8(colour, old, hit));
        }
    }
    gif_compose_scalar(indices + i, count - i, lut, transparent, dst + 4 * i);
}
