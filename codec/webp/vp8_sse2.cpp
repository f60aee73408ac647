// SSE2 twins of the lossy decoder's kernels: YUV to RGBA 8 pixels at a
// time. Each product (x * c) >> 8 is the high half of (x << 8) * c in
// unsigned 16 bits; sums that may go negative are taken with unsigned
// saturation, which clamps them at 0 exactly where the scalar clip does,
// and the final shift by 6 with a saturating pack clamps at 255.
#include <emmintrin.h>

#include "codec/webp/vp8.h"

static inline __m128i load8(const u8* p) {
    return _mm_unpacklo_epi8(_mm_setzero_si128(), _mm_loadl_epi64((const __m128i*)p));  // x << 8
}

void vp8_yuv_to_rgba_sse2(const u8* y, const u8* u, const u8* v, u8* out, u32 count) {
    const __m128i k_y = _mm_set1_epi16((short)19077);
    const __m128i k_vr = _mm_set1_epi16((short)26149);
    const __m128i k_ug = _mm_set1_epi16((short)6419);
    const __m128i k_vg = _mm_set1_epi16((short)13320);
    const __m128i k_ub = _mm_set1_epi16((short)33050);
    const __m128i r_off = _mm_set1_epi16((short)14234);
    const __m128i g_off = _mm_set1_epi16((short)8708);
    const __m128i b_off = _mm_set1_epi16((short)17685);
    const __m128i alpha = _mm_set1_epi8((char)0xFF);
    u32 i = 0;
    for (; i + 8 <= count; i += 8) {
        __m128i y8 = load8(y + i), u8v = load8(u + i), v8 = load8(v + i);
        __m128i luma = _mm_mulhi_epu16(y8, k_y);
        __m128i r = _mm_subs_epu16(_mm_add_epi16(luma, _mm_mulhi_epu16(v8, k_vr)), r_off);
        __m128i g = _mm_subs_epu16(_mm_add_epi16(luma, g_off), _mm_mulhi_epu16(u8v, k_ug));
        g = _mm_subs_epu16(g, _mm_mulhi_epu16(v8, k_vg));
        __m128i b = _mm_subs_epu16(_mm_add_epi16(luma, _mm_mulhi_epu16(u8v, k_ub)), b_off);
        r = _mm_srli_epi16(r, 6);
        g = _mm_srli_epi16(g, 6);
        b = _mm_srli_epi16(b, 6);
        __m128i rg = _mm_unpacklo_epi8(_mm_packus_epi16(r, r), _mm_packus_epi16(g, g));
        __m128i ba = _mm_unpacklo_epi8(_mm_packus_epi16(b, b), alpha);
        _mm_storeu_si128((__m128i*)(out + 4 * i), _mm_unpacklo_epi16(rg, ba));
        _mm_storeu_si128((__m128i*)(out + 4 * i + 16), _mm_unpackhi_epi16(rg, ba));
    }
    vp8_yuv_to_rgba_scalar(y + i, u + i, v + i, out + 4 * i, count - i);
}
