// AVX2 variants of the row kernels, built with -mavx2 for this file only and
// chosen at start-up only after a CPU check. The same 16-bit lane arithmetic
// as the SSE2 file on twice the width; unpack and pack both work within
// 128-bit halves, so pixels come back in their order. Tails use the scalar
// rule.
#include <immintrin.h>

#include "view/blend.h"

QB_FORCE_INLINE __m256i lo16(__m256i v) {
    return _mm256_unpacklo_epi8(v, _mm256_setzero_si256());
}
QB_FORCE_INLINE __m256i hi16(__m256i v) {
    return _mm256_unpackhi_epi8(v, _mm256_setzero_si256());
}
QB_FORCE_INLINE __m256i mix16(__m256i a, __m256i b, __m256i iw, __m256i w) {
    return _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(a, iw), _mm256_mullo_epi16(b, w)), 8);
}

void blend_rows_avx2(u32* out, const u32* a, const u32* b, u32 count, u32 weight) {
    __m256i w = _mm256_set1_epi16((i16)weight);
    __m256i iw = _mm256_set1_epi16((i16)(256 - weight));
    u32 i = 0;
    for (; i + 8 <= count; i += 8) {
        __m256i va = _mm256_loadu_si256((const __m256i*)(a + i));
        __m256i vb = _mm256_loadu_si256((const __m256i*)(b + i));
        __m256i l = mix16(lo16(va), lo16(vb), iw, w);
        __m256i h = mix16(hi16(va), hi16(vb), iw, w);
        _mm256_storeu_si256((__m256i*)(out + i), _mm256_packus_epi16(l, h));
    }
    for (; i < count; i++) out[i] = blend_pixel(a[i], b[i], weight);
}

void blend_columns_avx2(u32* out, const u32* row, const u8* left, const u8* right, const u8* weight,
                        u32 count) {
    // Each pixel's weight in its four bytes, in pixel order within each
    // 128-bit half, so that lo16 and hi16 line the weights up with the pixels.
    const __m256i spread = _mm256_setr_epi8(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5,
                                            5, 6, 6, 6, 6, 7, 7, 7, 7);
    const __m256i k256 = _mm256_set1_epi16(256);
    u32 i = 0;
    for (; i + 8 <= count; i += 8) {
        __m256i li = _mm256_cvtepu8_epi32(_mm_loadl_epi64((const __m128i*)(left + i)));
        __m256i ri = _mm256_cvtepu8_epi32(_mm_loadl_epi64((const __m128i*)(right + i)));
        __m256i va = _mm256_i32gather_epi32((const int*)row, li, 4);
        __m256i vb = _mm256_i32gather_epi32((const int*)row, ri, 4);
        __m256i w = _mm256_shuffle_epi8(_mm256_broadcastq_epi64(_mm_loadl_epi64((const __m128i*)(weight + i))),
                                        spread);
        __m256i w_lo = lo16(w), w_hi = hi16(w);
        __m256i l = mix16(lo16(va), lo16(vb), _mm256_sub_epi16(k256, w_lo), w_lo);
        __m256i h = mix16(hi16(va), hi16(vb), _mm256_sub_epi16(k256, w_hi), w_hi);
        _mm256_storeu_si256((__m256i*)(out + i), _mm256_packus_epi16(l, h));
    }
    for (; i < count; i++) out[i] = blend_pixel(row[left[i]], row[right[i]], weight[i]);
}

QB_FORCE_INLINE __m256i over8(__m256i dst, __m256i src) {
    __m256i s_lo = lo16(src), s_hi = hi16(src);
    __m256i al = _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(s_lo, 0xFF), 0xFF);
    __m256i ah = _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(s_hi, 0xFF), 0xFF);
    __m256i a_lo = _mm256_add_epi16(al, _mm256_srli_epi16(al, 7));
    __m256i a_hi = _mm256_add_epi16(ah, _mm256_srli_epi16(ah, 7));
    __m256i k256 = _mm256_set1_epi16(256);
    __m256i l = mix16(lo16(dst), s_lo, _mm256_sub_epi16(k256, a_lo), a_lo);
    __m256i h = mix16(hi16(dst), s_hi, _mm256_sub_epi16(k256, a_hi), a_hi);
    return _mm256_packus_epi16(l, h);
}

void composite_row_avx2(u32* dst, const u32* src, u32 count) {
    const __m256i amask = _mm256_set1_epi32((i32)0xFF000000u);
    u32 i = 0;
    for (; i + 8 <= count; i += 8) {
        __m256i s = _mm256_loadu_si256((const __m256i*)(src + i));
        __m256i opaque = _mm256_cmpeq_epi32(_mm256_and_si256(s, amask), amask);
        if (_mm256_movemask_epi8(opaque) == -1) {
            _mm256_storeu_si256((__m256i*)(dst + i), s);
            continue;
        }
        __m256i d = _mm256_loadu_si256((const __m256i*)(dst + i));
        _mm256_storeu_si256((__m256i*)(dst + i), over8(d, s));
    }
    for (; i < count; i++) dst[i] = composite_pixel(dst[i], src[i]);
}

void difference_row_avx2(u32* dst, const u32* a, const u32* b, u32 count) {
    u32 i = 0;
    for (; i + 8 <= count; i += 8) {
        __m256i va = _mm256_loadu_si256((const __m256i*)(a + i));
        __m256i vb = _mm256_loadu_si256((const __m256i*)(b + i));
        __m256i d = _mm256_or_si256(_mm256_subs_epu8(va, vb), _mm256_subs_epu8(vb, va));
        d = _mm256_and_si256(d, _mm256_set1_epi32(0x00FFFFFF));
        __m256i m = _mm256_max_epu8(d, _mm256_srli_epi32(d, 8));
        m = _mm256_max_epu8(m, _mm256_srli_epi32(d, 16));
        m = _mm256_and_si256(m, _mm256_set1_epi32(0xFF));
        __m256i g = _mm256_add_epi32(m, m);
        __m256i blue = _mm256_subs_epu16(_mm256_set1_epi32(128), g);
        blue = _mm256_andnot_si256(_mm256_cmpeq_epi32(m, _mm256_setzero_si256()), blue);
        __m256i green = _mm256_subs_epu16(g, _mm256_set1_epi32(255));
        __m256i red = _mm256_sub_epi32(g, green);
        __m256i v = _mm256_or_si256(_mm256_slli_epi32(red, 16), _mm256_slli_epi32(green, 8));
        v = _mm256_or_si256(_mm256_or_si256(v, blue), _mm256_set1_epi32((i32)0xFF000000u));
        _mm256_storeu_si256((__m256i*)(dst + i), v);
    }
    for (; i < count; i++) dst[i] = difference_pixel(a[i], b[i]);
}
