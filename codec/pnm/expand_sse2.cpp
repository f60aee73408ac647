// SSE2 row kernels. SSE2 has no byte shuffle, so three-byte pixels are
// spread by whole-register byte shifts: a 16-byte load at pixel i holds
// pixel i + k at byte 3k, and shifting the register left by k bytes moves it
// to byte 4k, its place in the output; a mask per lane keeps the right
// three bytes. Red and blue are exchanged with 32-bit lane shifts. Each
// 4-pixel step loads 16 bytes of which it uses 12, so the vector loop stops
// while at least 16 bytes of source remain and the scalar twin does the
// rest.
#include <emmintrin.h>

#include "codec/pnm/expand.h"

// Four RGB (or BGR) pixels from a 16-byte load into four 32-bit lanes, the
// fourth byte of each lane zero.
static QB_FORCE_INLINE __m128i spread3(__m128i v) {
    const __m128i m0 = _mm_setr_epi32(0x00FFFFFF, 0, 0, 0);
    const __m128i m1 = _mm_setr_epi32(0, 0x00FFFFFF, 0, 0);
    const __m128i m2 = _mm_setr_epi32(0, 0, 0x00FFFFFF, 0);
    const __m128i m3 = _mm_setr_epi32(0, 0, 0, 0x00FFFFFF);
    __m128i r = _mm_and_si128(v, m0);
    r = _mm_or_si128(r, _mm_and_si128(_mm_slli_si128(v, 1), m1));
    r = _mm_or_si128(r, _mm_and_si128(_mm_slli_si128(v, 2), m2));
    return _mm_or_si128(r, _mm_and_si128(_mm_slli_si128(v, 3), m3));
}

// Exchanges bytes 0 and 2 of every lane; bytes 1 and 3 stay.
static QB_FORCE_INLINE __m128i swap_rb(__m128i v) {
    const __m128i keep = _mm_set1_epi32((int)0xFF00FF00u);
    const __m128i low = _mm_set1_epi32(0xFF);
    __m128i r = _mm_and_si128(v, keep);
    r = _mm_or_si128(r, _mm_and_si128(_mm_srli_epi32(v, 16), low));
    return _mm_or_si128(r, _mm_slli_epi32(_mm_and_si128(v, low), 16));
}

void expand_rgb_sse2(const u8* src, u64 count, u8* dst) {
    const __m128i alpha = _mm_set1_epi32((int)0xFF000000u);
    u64 i = 0;
    // 16 pixels a step read bytes [3i, 3i + 52): 2 pixels of margin.
    for (; i + 18 <= count; i += 16) {
        const u8* s = src + 3 * i;
        u8* d = dst + 4 * i;
        __m128i a = spread3(_mm_loadu_si128((const __m128i*)s));
        __m128i b = spread3(_mm_loadu_si128((const __m128i*)(s + 12)));
        __m128i c = spread3(_mm_loadu_si128((const __m128i*)(s + 24)));
        __m128i e = spread3(_mm_loadu_si128((const __m128i*)(s + 36)));
        _mm_storeu_si128((__m128i*)d, _mm_or_si128(a, alpha));
        _mm_storeu_si128((__m128i*)(d + 16), _mm_or_si128(b, alpha));
        _mm_storeu_si128((__m128i*)(d + 32), _mm_or_si128(c, alpha));
        _mm_storeu_si128((__m128i*)(d + 48), _mm_or_si128(e, alpha));
    }
    expand_rgb_scalar(src + 3 * i, count - i, dst + 4 * i);
}

void expand_bgr_sse2(const u8* src, u64 count, u8* dst) {
    const __m128i alpha = _mm_set1_epi32((int)0xFF000000u);
    u64 i = 0;
    for (; i + 18 <= count; i += 16) {
        const u8* s = src + 3 * i;
        u8* d = dst + 4 * i;
        __m128i a = swap_rb(spread3(_mm_loadu_si128((const __m128i*)s)));
        __m128i b = swap_rb(spread3(_mm_loadu_si128((const __m128i*)(s + 12))));
        __m128i c = swap_rb(spread3(_mm_loadu_si128((const __m128i*)(s + 24))));
        __m128i e = swap_rb(spread3(_mm_loadu_si128((const __m128i*)(s + 36))));
        _mm_storeu_si128((__m128i*)d, _mm_or_si128(a, alpha));
        _mm_storeu_si128((__m128i*)(d + 16), _mm_or_si128(b, alpha));
        _mm_storeu_si128((__m128i*)(d + 32), _mm_or_si128(c, alpha));
        _mm_storeu_si128((__m128i*)(d + 48), _mm_or_si128(e, alpha));
    }
    expand_bgr_scalar(src + 3 * i, count - i, dst + 4 * i);
}

void expand_bgra_sse2(const u8* src, u64 count, u8* dst) {
    u64 i = 0;
    for (; i + 8 <= count; i += 8) {
        __m128i a = _mm_loadu_si128((const __m128i*)(src + 4 * i));
        __m128i b = _mm_loadu_si128((const __m128i*)(src + 4 * i + 16));
        _mm_storeu_si128((__m128i*)(dst + 4 * i), swap_rb(a));
        _mm_storeu_si128((__m128i*)(dst + 4 * i + 16), swap_rb(b));
    }
    expand_bgra_scalar(src + 4 * i, count - i, dst + 4 * i);
}

void expand_grey_sse2(const u8* src, u64 count, u8* dst) {
    const __m128i ones = _mm_set1_epi8((char)0xFF);
    u64 i = 0;
    for (; i + 16 <= count; i += 16) {
        __m128i y = _mm_loadu_si128((const __m128i*)(src + i));
        __m128i yy_lo = _mm_unpacklo_epi8(y, y);     // Y Y per pixel, pixels 0..7
        __m128i yy_hi = _mm_unpackhi_epi8(y, y);     // pixels 8..15
        __m128i ya_lo = _mm_unpacklo_epi8(y, ones);  // Y 255
        __m128i ya_hi = _mm_unpackhi_epi8(y, ones);
        u8* d = dst + 4 * i;
        _mm_storeu_si128((__m128i*)d, _mm_unpacklo_epi16(yy_lo, ya_lo));
        _mm_storeu_si128((__m128i*)(d + 16), _mm_unpackhi_epi16(yy_lo, ya_lo));
        _mm_storeu_si128((__m128i*)(d + 32), _mm_unpacklo_epi16(yy_hi, ya_hi));
        _mm_storeu_si128((__m128i*)(d + 48), _mm_unpackhi_epi16(yy_hi, ya_hi));
    }
    expand_grey_scalar(src + i, count - i, dst + 4 * i);
}
