// AVX2 row kernels for three-byte pixels. A byte shuffle places each pixel
// in its 32-bit lane, so 8 pixels take two 12-byte loads (one per 128-bit
// half), one shuffle and one OR with opaque alpha, against the four shifts
// and masks per 4 pixels the SSE2 twins need. Each 12-byte load reads 16
// bytes, so the vector loop stops while 2 pixels of source remain beyond
// its step. A row of at least 18 pixels then takes one more step ending 2
// pixels before its end, over pixels already written (the source and the
// target never overlap), and the scalar twin does the last 2: a 256-pixel
// tile row would otherwise leave 16 of its pixels to the scalar loop.
#include <immintrin.h>

#include "codec/pnm/expand.h"

// Two 16-byte loads 12 bytes apart: pixels i..i+3 in the low half and
// i+4..i+7 in the high half.
static QB_FORCE_INLINE __m256i load_8_pixels(const u8* s) {
    __m128i lo = _mm_loadu_si128((const __m128i*)s);
    __m128i hi = _mm_loadu_si128((const __m128i*)(s + 12));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

// 16 pixels, reading bytes [0, 52) of s.
static QB_FORCE_INLINE void expand16(const u8* s, u8* d, __m256i order, __m256i alpha) {
    __m256i a = _mm256_shuffle_epi8(load_8_pixels(s), order);
    __m256i b = _mm256_shuffle_epi8(load_8_pixels(s + 24), order);
    _mm256_storeu_si256((__m256i*)d, _mm256_or_si256(a, alpha));
    _mm256_storeu_si256((__m256i*)(d + 32), _mm256_or_si256(b, alpha));
}

static QB_FORCE_INLINE void expand3(const u8* src, u64 count, u8* dst, __m256i order, ExpandFn tail) {
    const __m256i alpha = _mm256_set1_epi32((int)0xFF000000u);
    u64 i = 0;
    // 16 pixels a step read bytes [3i, 3i + 52): 2 pixels of margin.
    for (; i + 18 <= count; i += 16) expand16(src + 3 * i, dst + 4 * i, order, alpha);
    if (count >= 18 && i < count - 2) {
        i = count - 18;
        expand16(src + 3 * i, dst + 4 * i, order, alpha);
        i += 16;
    }
    tail(src + 3 * i, count - i, dst + 4 * i);
}

void expand_rgb_avx2(const u8* src, u64 count, u8* dst) {
    // -1 (high bit set) clears the alpha byte before the OR.
    const __m256i order = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
                                           0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    expand3(src, count, dst, order, expand_rgb_scalar);
}

void expand_bgr_avx2(const u8* src, u64 count, u8* dst) {
    const __m256i order = _mm256_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1,  //
                                           2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
    expand3(src, count, dst, order, expand_bgr_scalar);
}
