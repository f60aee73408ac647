// SSE2 twin of the conversion to sRGB: the three rows of each pixel are
// added as four 32-bit lanes, two pixels are narrowed to 16 bits together
// (saturating, which keeps the clamp's result) and clamped to [0, 1], and
// the six lanes index the encoding table. Same bytes as icc_row_scalar.
#include <emmintrin.h>
#include <string.h>

#include "codec/icc/icc.h"

static inline __m128i row_sum(const IccTransform* t, u32 p) {
    __m128i r = _mm_load_si128((const __m128i*)t->rows[0][p & 0xFF]);
    __m128i g = _mm_load_si128((const __m128i*)t->rows[1][(p >> 8) & 0xFF]);
    __m128i b = _mm_load_si128((const __m128i*)t->rows[2][(p >> 16) & 0xFF]);
    return _mm_add_epi32(_mm_add_epi32(r, g), b);
}

// Lanes 0 to 2 of a 64-bit group of four clamped 16-bit values, encoded,
// with the pixel's own alpha.
static inline u32 encode_pixel(const IccTransform* t, u64 lanes, u32 p) {
    const u8* e = t->encode;
    return (u32)e[lanes & 0xFFFF] | ((u32)e[(lanes >> 16) & 0xFFFF] << 8) | ((u32)e[(lanes >> 32) & 0xFFFF] << 16) |
           (p & 0xFF000000u);
}

void icc_row_sse2(const IccTransform* t, const u8* src, u8* dst, u64 count) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi16((i16)ICC_ONE);
    u64 i = 0;
    for (; i + 4 <= count; i += 4) {
        u32 p[4];
        memcpy(p, src + 4 * i, 16);
        __m128i v01 = _mm_packs_epi32(row_sum(t, p[0]), row_sum(t, p[1]));
        __m128i v23 = _mm_packs_epi32(row_sum(t, p[2]), row_sum(t, p[3]));
        v01 = _mm_min_epi16(_mm_max_epi16(v01, zero), one);
        v23 = _mm_min_epi16(_mm_max_epi16(v23, zero), one);
        u32 q[4];
        q[0] = encode_pixel(t, (u64)_mm_cvtsi128_si64(v01), p[0]);
        q[1] = encode_pixel(t, (u64)_mm_cvtsi128_si64(_mm_unpackhi_epi64(v01, v01)), p[1]);
        q[2] = encode_pixel(t, (u64)_mm_cvtsi128_si64(v23), p[2]);
        q[3] = encode_pixel(t, (u64)_mm_cvtsi128_si64(_mm_unpackhi_epi64(v23, v23)), p[3]);
        memcpy(dst + 4 * i, q, 16);
    }
    for (; i < count; i++) {
        u32 p;
        memcpy(&p, src + 4 * i, 4);
        __m128i v = _mm_packs_epi32(row_sum(t, p), zero);
        v = _mm_min_epi16(_mm_max_epi16(v, zero), one);
        u32 q = encode_pixel(t, (u64)_mm_cvtsi128_si64(v), p);
        memcpy(dst + 4 * i, &q, 4);
    }
}
