// SSE2 composition, 8 pixels a step: the eight colours are looked up one by
// one (SSE2 has no gather) and assembled into two vectors; when the frame has
// a transparent index, a byte compare of the eight indices, widened to 32-bit
// lanes, picks the canvas pixel instead without a branch. The largest index
// is a running byte maximum 16 bytes at a time.
#include <emmintrin.h>
#include <string.h>

#include "codec/gif/gif.h"

void gif_compose_sse2(const u8* indices, u32 count, const u32* lut, i32 transparent, u8* dst) {
    u32 i = 0;
    if (transparent == (i32)GIF_NO_TRANSPARENT) {
        for (; i + 8 <= count; i += 8) {
            const u8* p = indices + i;
            __m128i lo = _mm_setr_epi32((i32)lut[p[0]], (i32)lut[p[1]], (i32)lut[p[2]], (i32)lut[p[3]]);
            __m128i hi = _mm_setr_epi32((i32)lut[p[4]], (i32)lut[p[5]], (i32)lut[p[6]], (i32)lut[p[7]]);
            _mm_storeu_si128((__m128i*)(dst + 4 * i), lo);
            _mm_storeu_si128((__m128i*)(dst + 4 * i + 16), hi);
        }
    } else {
        const __m128i key = _mm_set1_epi8((char)transparent);
        for (; i + 8 <= count; i += 8) {
            const u8* p = indices + i;
            __m128i lo = _mm_setr_epi32((i32)lut[p[0]], (i32)lut[p[1]], (i32)lut[p[2]], (i32)lut[p[3]]);
            __m128i hi = _mm_setr_epi32((i32)lut[p[4]], (i32)lut[p[5]], (i32)lut[p[6]], (i32)lut[p[7]]);
            __m128i hit = _mm_cmpeq_epi8(_mm_loadl_epi64((const __m128i*)p), key);
            hit = _mm_unpacklo_epi8(hit, hit);
            __m128i hit_lo = _mm_unpacklo_epi16(hit, hit);
            __m128i hit_hi = _mm_unpackhi_epi16(hit, hit);
            __m128i old_lo = _mm_loadu_si128((const __m128i*)(dst + 4 * i));
            __m128i old_hi = _mm_loadu_si128((const __m128i*)(dst + 4 * i + 16));
            lo = _mm_or_si128(_mm_and_si128(hit_lo, old_lo), _mm_andnot_si128(hit_lo, lo));
            hi = _mm_or_si128(_mm_and_si128(hit_hi, old_hi), _mm_andnot_si128(hit_hi, hi));
            _mm_storeu_si128((__m128i*)(dst + 4 * i), lo);
            _mm_storeu_si128((__m128i*)(dst + 4 * i + 16), hi);
        }
    }
    gif_compose_scalar(indices + i, count - i, lut, transparent, dst + 4 * i);
}

u32 gif_max_index_sse2(const u8* indices, u64 count) {
    __m128i m = _mm_setzero_si128();
    u64 i = 0;
    for (; i + 16 <= count; i += 16) m = _mm_max_epu8(m, _mm_loadu_si128((const __m128i*)(indices + i)));
    m = _mm_max_epu8(m, _mm_srli_si128(m, 8));
    m = _mm_max_epu8(m, _mm_srli_si128(m, 4));
    m = _mm_max_epu8(m, _mm_srli_si128(m, 2));
    m = _mm_max_epu8(m, _mm_srli_si128(m, 1));
    u32 best = (u32)_mm_cvtsi128_si32(m) & 0xFF;
    u32 tail = gif_max_index_scalar(indices + i, count - i);
    return tail > best ? tail : best;
}
