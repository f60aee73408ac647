// SSE2 over blend for Rgba8Straight, one pixel per vector of four float
// lanes (red, green, blue, alpha). Every quantity stays below 2^24, so the
// products and sums are exact in single precision; the quotient comes from a
// float division and is then corrected by one in either direction with
// exact float compares, which gives the integer floor bit for bit. The alpha
// lane divides F + 127 by 255, the colour lanes the weighted sum plus F / 2
// by F. MonoA8 and Rgba16 (whose products reach 2^48) use the scalar twin.
#include <emmintrin.h>
#include <string.h>

#include "codec/png/png_rows.h"

static QB_FORCE_INLINE __m128 floor_div(__m128 num, __m128 den) {
    __m128 q = _mm_cvtepi32_ps(_mm_cvttps_epi32(_mm_div_ps(num, den)));
    const __m128 one = _mm_set1_ps(1.0f);
    // q * den is exact; step down while above num, up while q + 1 still fits.
    q = _mm_sub_ps(q, _mm_and_ps(_mm_cmpgt_ps(_mm_mul_ps(q, den), num), one));
    q = _mm_add_ps(q, _mm_and_ps(_mm_cmple_ps(_mm_mul_ps(_mm_add_ps(q, one), den), num), one));
    return q;
}

static void over_rgba8_sse2(const u8* src, u8* dst, u32 count) {
    const __m128i zero = _mm_setzero_si128();
    const __m128 m = _mm_set1_ps(255.0f);
    const __m128 half = _mm_set1_ps(0.5f);
    const __m128 alpha_lane = _mm_castsi128_ps(_mm_setr_epi32(0, 0, 0, -1));
    for (u32 i = 0; i < count; i++) {
        i32 s32, d32;
        memcpy(&s32, src + 4 * i, 4);
        memcpy(&d32, dst + 4 * i, 4);
        __m128 s = _mm_cvtepi32_ps(_mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(s32), zero), zero));
        __m128 d = _mm_cvtepi32_ps(_mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(d32), zero), zero));
        __m128 sa = _mm_shuffle_ps(s, s, 0xFF);
        __m128 da = _mm_shuffle_ps(d, d, 0xFF);
        __m128 sw = _mm_mul_ps(sa, m);                   // Sa * M
        __m128 dw = _mm_mul_ps(da, _mm_sub_ps(m, sa));   // Da * (M - Sa)
        __m128 f = _mm_add_ps(sw, dw);
        __m128 half_f = _mm_cvtepi32_ps(_mm_cvttps_epi32(_mm_mul_ps(f, half)));
        __m128 colour = _mm_add_ps(_mm_add_ps(_mm_mul_ps(s, sw), _mm_mul_ps(d, dw)), half_f);
        __m128 num = _mm_or_ps(_mm_andnot_ps(alpha_lane, colour), _mm_and_ps(alpha_lane, _mm_add_ps(f, _mm_set1_ps(127.0f))));
        __m128 den = _mm_or_ps(_mm_andnot_ps(alpha_lane, f), _mm_and_ps(alpha_lane, m));
        // F = 0 (both alphas 0): the pixel becomes 0; divide by 1 instead.
        __m128 empty = _mm_cmpeq_ps(f, _mm_setzero_ps());
        den = _mm_or_ps(_mm_andnot_ps(empty, den), _mm_and_ps(empty, _mm_set1_ps(1.0f)));
        __m128 q = _mm_andnot_ps(empty, floor_div(num, den));
        __m128i v = _mm_cvttps_epi32(q);
        v = _mm_packs_epi32(v, v);
        v = _mm_packus_epi16(v, v);
        i32 out = _mm_cvtsi128_si32(v);
        memcpy(dst + 4 * i, &out, 4);
    }
}

void over_run_sse2(PixelFormat format, const u8* src, u8* dst, u32 count) {
    if (format == Rgba8Straight) over_rgba8_sse2(src, dst, count);
    else over_run_scalar(format, src, dst, count);
}
