// SSE2 byte-order kernels. Without a byte shuffle, B and R trade places as
// 16-bit words: the 0x00FF00FF lanes of each pixel are rotated by one word
// (pshuflw/pshufhw) and merged with the G and A bytes. 24-bit pixels are
// first spread to 32-bit lanes: a 16-byte load holds four of them at byte
// offsets 0, 3, 6 and 9, which three byte shifts and two unpacks line up.
// The fast loops stop while a whole 16-byte load still fits in the row; the
// scalar twins finish it.
#include <emmintrin.h>

#include "codec/bmp/bmp.h"

static inline __m128i swap_rb(__m128i v) {
    const __m128i rb_mask = _mm_set1_epi32(0x00FF00FF);
    __m128i rb = _mm_and_si128(v, rb_mask);
    rb = _mm_shufflehi_epi16(_mm_shufflelo_epi16(rb, 0xB1), 0xB1);
    return _mm_or_si128(_mm_andnot_si128(rb_mask, v), rb);
}

// Four B, G, R pixels at p (16 bytes readable) as B, G, R, x lanes.
static inline __m128i spread_bgr(const u8* p) {
    __m128i v = _mm_loadu_si128((const __m128i*)p);
    __m128i ab = _mm_unpacklo_epi32(v, _mm_srli_si128(v, 3));
    __m128i cd = _mm_unpacklo_epi32(_mm_srli_si128(v, 6), _mm_srli_si128(v, 9));
    return _mm_unpacklo_epi64(ab, cd);
}

void bmp_bgr_sse2(const u8* src, u32 count, u8* dst) {
    const __m128i alpha = _mm_set1_epi32((i32)0xFF000000u);
    u64 i = 0;
    // Pixels i..i+7 read bytes 3i to 3i + 27.
    for (; 3 * i + 28 <= 3 * (u64)count; i += 8) {
        __m128i lo = swap_rb(spread_bgr(src + 3 * i));
        __m128i hi = swap_rb(spread_bgr(src + 3 * i + 12));
        _mm_storeu_si128((__m128i*)(dst + 4 * i), _mm_or_si128(lo, alpha));
        _mm_storeu_si128((__m128i*)(dst + 4 * i + 16), _mm_or_si128(hi, alpha));
    }
    bmp_bgr_scalar(src + 3 * i, count - (u32)i, dst + 4 * i);
}

void bmp_bgrx_sse2(const u8* src, u32 count, u8* dst) {
    const __m128i alpha = _mm_set1_epi32((i32)0xFF000000u);
    u64 i = 0;
    for (; i + 8 <= count; i += 8) {
        __m128i lo = _mm_loadu_si128((const __m128i*)(src + 4 * i));
        __m128i hi = _mm_loadu_si128((const __m128i*)(src + 4 * i + 16));
        _mm_storeu_si128((__m128i*)(dst + 4 * i), _mm_or_si128(swap_rb(lo), alpha));
        _mm_storeu_si128((__m128i*)(dst + 4 * i + 16), _mm_or_si128(swap_rb(hi), alpha));
    }
    bmp_bgrx_scalar(src + 4 * i, count - (u32)i, dst + 4 * i);
}

void bmp_bgra_sse2(const u8* src, u32 count, u8* dst) {
    u64 i = 0;
    for (; i + 8 <= count; i += 8) {
        __m128i lo = _mm_loadu_si128((const __m128i*)(src + 4 * i));
        __m128i hi = _mm_loadu_si128((const __m128i*)(src + 4 * i + 16));
        _mm_storeu_si128((__m128i*)(dst + 4 * i), swap_rb(lo));
        _mm_storeu_si128((__m128i*)(dst + 4 * i + 16), swap_rb(hi));
    }
    bmp_bgra_scalar(src + 4 * i, count - (u32)i, dst + 4 * i);
}
