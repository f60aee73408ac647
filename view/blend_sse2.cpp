// SSE2 variants of the pixel kernels. Pixels are widened to 16-bit lanes
// (two pixels per register); every product and sum of the channel rules stays
// below 2^16, so mullo/add/srli in 16-bit lanes give the scalar results bit
// for bit. Each loop runs on whole groups (8 pixels for compositing, 4
// elsewhere) and finishes the row with the scalar rule.
#include <emmintrin.h>

#include "view/blend.h"

// Two pixels (the low or high half of v) per register, one channel per lane.
QB_FORCE_INLINE __m128i lo16(__m128i v) {
    return _mm_unpacklo_epi8(v, _mm_setzero_si128());
}
QB_FORCE_INLINE __m128i hi16(__m128i v) {
    return _mm_unpackhi_epi8(v, _mm_setzero_si128());
}

// (a * iw + b * w) >> 8 on 16-bit lanes, one weight per lane.
QB_FORCE_INLINE __m128i mix16(__m128i a, __m128i b, __m128i iw, __m128i w) {
    return _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(a, iw), _mm_mullo_epi16(b, w)), 8);
}

void blend_rows_sse2(u32* out, const u32* a, const u32* b, u32 count, u32 weight) {
    __m128i w = _mm_set1_epi16((i16)weight);
    __m128i iw = _mm_set1_epi16((i16)(256 - weight));
    u32 i = 0;
    for (; i + 4 <= count; i += 4) {
        __m128i va = _mm_loadu_si128((const __m128i*)(a + i));
        __m128i vb = _mm_loadu_si128((const __m128i*)(b + i));
        __m128i l = mix16(lo16(va), lo16(vb), iw, w);
        __m128i h = mix16(hi16(va), hi16(vb), iw, w);
        _mm_storeu_si128((__m128i*)(out + i), _mm_packus_epi16(l, h));
    }
    for (; i < count; i++) out[i] = blend_pixel(a[i], b[i], weight);
}

void blend_columns_sse2(u32* out, const u32* row, const u8* left, const u8* right, const u8* weight,
                        u32 count) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i k256 = _mm_set1_epi16(256);
    u32 i = 0;
    for (; i + 4 <= count; i += 4) {
        __m128i va = _mm_setr_epi32((i32)row[left[i]], (i32)row[left[i + 1]], (i32)row[left[i + 2]],
                                    (i32)row[left[i + 3]]);
        __m128i vb = _mm_setr_epi32((i32)row[right[i]], (i32)row[right[i + 1]],
                                    (i32)row[right[i + 2]], (i32)row[right[i + 3]]);
        // Four weights, each spread over its pixel's four 16-bit lanes.
        u32 w4 = (u32)weight[i] | (u32)weight[i + 1] << 8 | (u32)weight[i + 2] << 16 | (u32)weight[i + 3] << 24;
        __m128i wb = _mm_cvtsi32_si128((i32)w4);
        wb = _mm_unpacklo_epi8(wb, wb);
        wb = _mm_unpacklo_epi16(wb, wb);
        __m128i w_lo = _mm_unpacklo_epi8(wb, zero);
        __m128i w_hi = _mm_unpackhi_epi8(wb, zero);
        __m128i l = mix16(lo16(va), lo16(vb), _mm_sub_epi16(k256, w_lo), w_lo);
        __m128i h = mix16(hi16(va), hi16(vb), _mm_sub_epi16(k256, w_hi), w_hi);
        _mm_storeu_si128((__m128i*)(out + i), _mm_packus_epi16(l, h));
    }
    for (; i < count; i++) out[i] = blend_pixel(row[left[i]], row[right[i]], weight[i]);
}

// a = alpha + (alpha >> 7) in all four lanes of each pixel; 256 - a beside it.
QB_FORCE_INLINE void alpha16(__m128i px, __m128i* a_out, __m128i* ia_out) {
    __m128i al = _mm_shufflehi_epi16(_mm_shufflelo_epi16(px, 0xFF), 0xFF);
    __m128i a = _mm_add_epi16(al, _mm_srli_epi16(al, 7));
    *a_out = a;
    *ia_out = _mm_sub_epi16(_mm_set1_epi16(256), a);
}

// Four pixels over four background pixels. An opaque pixel has a = 256 and
// 256 - a = 0: 255 * 256 >> 8 is 255 again, so opaque lanes need no select.
QB_FORCE_INLINE __m128i over4(__m128i dst, __m128i src) {
    __m128i s_lo = lo16(src), s_hi = hi16(src);
    __m128i a_lo, ia_lo, a_hi, ia_hi;
    alpha16(s_lo, &a_lo, &ia_lo);
    alpha16(s_hi, &a_hi, &ia_hi);
    // 255 * 256 does not fit a signed lane but does fit an unsigned one,
    // and mullo keeps the low 16 bits: exact for these unsigned products.
    __m128i l = mix16(lo16(dst), s_lo, ia_lo, a_lo);
    __m128i h = mix16(hi16(dst), s_hi, ia_hi, a_hi);
    return _mm_packus_epi16(l, h);
}

void composite_row_sse2(u32* dst, const u32* src, u32 count) {
    const __m128i amask = _mm_set1_epi32((i32)0xFF000000u);
    u32 i = 0;
    for (; i + 8 <= count; i += 8) {
        __m128i s0 = _mm_loadu_si128((const __m128i*)(src + i));
        __m128i s1 = _mm_loadu_si128((const __m128i*)(src + i + 4));
        __m128i opaque = _mm_and_si128(_mm_cmpeq_epi32(_mm_and_si128(s0, amask), amask),
                                       _mm_cmpeq_epi32(_mm_and_si128(s1, amask), amask));
        if (_mm_movemask_epi8(opaque) == 0xFFFF) {
            _mm_storeu_si128((__m128i*)(dst + i), s0);
            _mm_storeu_si128((__m128i*)(dst + i + 4), s1);
            continue;
        }
        __m128i d0 = _mm_loadu_si128((const __m128i*)(dst + i));
        __m128i d1 = _mm_loadu_si128((const __m128i*)(dst + i + 4));
        _mm_storeu_si128((__m128i*)(dst + i), over4(d0, s0));
        _mm_storeu_si128((__m128i*)(dst + i + 4), over4(d1, s1));
    }
    for (; i < count; i++) dst[i] = composite_pixel(dst[i], src[i]);
}

// The difference colour of four pixel pairs, in 32-bit lanes.
QB_FORCE_INLINE __m128i difference4(__m128i a, __m128i b) {
    __m128i d = _mm_or_si128(_mm_subs_epu8(a, b), _mm_subs_epu8(b, a));
    d = _mm_and_si128(d, _mm_set1_epi32(0x00FFFFFF));
    // Largest of the three byte distances into the low byte of each lane.
    __m128i m = _mm_max_epu8(d, _mm_srli_epi32(d, 8));
    m = _mm_max_epu8(m, _mm_srli_epi32(d, 16));
    m = _mm_and_si128(m, _mm_set1_epi32(0xFF));
    __m128i g = _mm_add_epi32(m, m);  // 0 .. 510, in the low 16 bits
    __m128i blue = _mm_subs_epu16(_mm_set1_epi32(128), g);
    blue = _mm_andnot_si128(_mm_cmpeq_epi32(m, _mm_setzero_si128()), blue);
    __m128i green = _mm_subs_epu16(g, _mm_set1_epi32(255));
    __m128i red = _mm_sub_epi32(g, green);  // min(g, 255)
    __m128i v = _mm_or_si128(_mm_slli_epi32(red, 16), _mm_slli_epi32(green, 8));
    return _mm_or_si128(_mm_or_si128(v, blue), _mm_set1_epi32((i32)0xFF000000u));
}

void difference_row_sse2(u32* dst, const u32* a, const u32* b, u32 count) {
    u32 i = 0;
    for (; i + 4 <= count; i += 4) {
        __m128i va = _mm_loadu_si128((const __m128i*)(a + i));
        __m128i vb = _mm_loadu_si128((const __m128i*)(b + i));
        _mm_storeu_si128((__m128i*)(dst + i), difference4(va, vb));
    }
    for (; i < count; i++) dst[i] = difference_pixel(a[i], b[i]);
}

// ---- Streaming stores ---------------------------------------------------------

// The pixels before dst's first 16-byte boundary (at most three, fewer when
// the row is shorter).
QB_FORCE_INLINE u32 unaligned_head(const u32* dst, u32 count) {
    u32 head = (u32)((16 - ((uintptr_t)dst & 15)) & 15) / 4;
    return head < count ? head : count;
}

void stream_fence() {
    _mm_sfence();
}

void composite_row_stream_sse2(u32* dst, const u32* src, u32 count) {
    const __m128i amask = _mm_set1_epi32((i32)0xFF000000u);
    u32 i = unaligned_head(dst, count);
    for (u32 k = 0; k < i; k++) dst[k] = composite_pixel(dst[k], src[k]);
    for (; i + 4 <= count; i += 4) {
        __m128i s = _mm_loadu_si128((const __m128i*)(src + i));
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(s, amask), amask)) != 0xFFFF) {
            s = over4(_mm_load_si128((const __m128i*)(dst + i)), s);
        }
        _mm_stream_si128((__m128i*)(dst + i), s);
    }
    for (; i < count; i++) dst[i] = composite_pixel(dst[i], src[i]);
}

// Groups with a translucent pixel go over black first (over4's rule).
void difference_over_black_stream_sse2(u32* dst, const u32* a, const u32* b, u32 count) {
    const __m128i amask = _mm_set1_epi32((i32)0xFF000000u);
    u32 i = unaligned_head(dst, count);
    for (u32 k = 0; k < i; k++) dst[k] = difference_over_black_pixel(a[k], b[k]);
    for (; i + 4 <= count; i += 4) {
        __m128i va = _mm_loadu_si128((const __m128i*)(a + i));
        __m128i vb = _mm_loadu_si128((const __m128i*)(b + i));
        __m128i both = _mm_and_si128(va, vb);
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(both, amask), amask)) != 0xFFFF) {
            va = over4(amask, va);
            vb = over4(amask, vb);
        }
        _mm_stream_si128((__m128i*)(dst + i), difference4(va, vb));
    }
    for (; i < count; i++) dst[i] = difference_over_black_pixel(a[i], b[i]);
}

// ---- Bilinear runs, composited -----------------------------------------------

// Four sampled pixels over dst[0..3]: an opaque group is stored, the rest
// composited (composite_row's rule).
QB_FORCE_INLINE void over_store4(u32* dst, __m128i px) {
    const __m128i amask = _mm_set1_epi32((i32)0xFF000000u);
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(px, amask), amask)) == 0xFFFF) {
        _mm_storeu_si128((__m128i*)dst, px);
    } else {
        _mm_storeu_si128((__m128i*)dst, over4(_mm_loadu_si128((const __m128i*)dst), px));
    }
}

// The last group of a row, ending at the row's end: lanes below `done` were
// composited by an earlier group and keep what dst holds. (An opaque pixel
// composites to itself, so over4 needs no select for those.)
QB_FORCE_INLINE void over_store4_after(u32* dst, __m128i px, u32 done) {
    __m128i d = _mm_loadu_si128((const __m128i*)dst);
    __m128i keep = _mm_cmpgt_epi32(_mm_set1_epi32((i32)done), _mm_setr_epi32(0, 1, 2, 3));
    _mm_storeu_si128((__m128i*)dst, _mm_or_si128(_mm_and_si128(keep, d), _mm_andnot_si128(keep, over4(d, px))));
}

// The stores of the runs below: composited (the _over kernels) or the
// samples alone.
template <bool Over>
QB_FORCE_INLINE void put4(u32* dst, __m128i px) {
    if constexpr (Over) {
        over_store4(dst, px);
    } else {
        _mm_storeu_si128((__m128i*)dst, px);
    }
}

// The last group of a row; its samples below `done` are the ones an
// earlier group stored, so storing them again changes nothing.
template <bool Over>
QB_FORCE_INLINE void put4_after(u32* dst, __m128i px, u32 done) {
    if constexpr (Over) {
        over_store4_after(dst, px, done);
    } else {
        _mm_storeu_si128((__m128i*)dst, px);
    }
}

template <bool Over>
QB_FORCE_INLINE u32 put1(u32 dst, u32 px) {
    return Over ? composite_pixel(dst, px) : px;
}

// The vertical blend of a[0..3] and b[0..3] in 16-bit lanes: pixels 0 and 1
// in *lo, 2 and 3 in *hi. Exact: each lane is at most 255.
QB_FORCE_INLINE void vertical4(const u32* a, const u32* b, __m128i ivy, __m128i vy, __m128i* lo, __m128i* hi) {
    __m128i va = _mm_loadu_si128((const __m128i*)a);
    __m128i vb = _mm_loadu_si128((const __m128i*)b);
    *lo = mix16(lo16(va), lo16(vb), ivy, vy);
    *hi = mix16(hi16(va), hi16(vb), ivy, vy);
}

// The high pixel of x and the low pixel of y, in 16-bit lanes: the pixels
// one place on from x's.
QB_FORCE_INLINE __m128i next_pair(__m128i x, __m128i y) {
    return _mm_castpd_si128(_mm_shuffle_pd(_mm_castsi128_pd(x), _mm_castsi128_pd(y), 1));
}

// Halving: eight pixels of each row give four. The vertical blend in 16-bit
// lanes, packed back to bytes (exact: each result is at most 255), then the
// even and odd pixels split apart with a float shuffle and blended
// horizontally.
QB_FORCE_INLINE __m128i halves4(const u32* a, const u32* b, __m128i ivy, __m128i vy, __m128i ivx, __m128i vx) {
    __m128i l0, h0, l1, h1;
    vertical4(a, b, ivy, vy, &l0, &h0);
    vertical4(a + 4, b + 4, ivy, vy, &l1, &h1);
    __m128 f0 = _mm_castsi128_ps(_mm_packus_epi16(l0, h0));
    __m128 f1 = _mm_castsi128_ps(_mm_packus_epi16(l1, h1));
    __m128i even = _mm_castps_si128(_mm_shuffle_ps(f0, f1, _MM_SHUFFLE(2, 0, 2, 0)));
    __m128i odd = _mm_castps_si128(_mm_shuffle_ps(f0, f1, _MM_SHUFFLE(3, 1, 3, 1)));
    __m128i l = mix16(lo16(even), lo16(odd), ivx, vx);
    __m128i h = mix16(hi16(even), hi16(odd), ivx, vx);
    return _mm_packus_epi16(l, h);
}

template <bool Over>
QB_FORCE_INLINE void halves_run(u32* dst, const u32* a, const u32* b, u32 count, u32 wy, u32 wx) {
    const __m128i vy = _mm_set1_epi16((i16)wy);
    const __m128i ivy = _mm_set1_epi16((i16)(256 - wy));
    const __m128i vx = _mm_set1_epi16((i16)wx);
    const __m128i ivx = _mm_set1_epi16((i16)(256 - wx));
    u32 i = 0;
    for (; i + 4 <= count; i += 4) put4<Over>(dst + i, halves4(a + 2 * i, b + 2 * i, ivy, vy, ivx, vx));
    if (i < count && count >= 4) {
        u32 last = count - 4;
        put4_after<Over>(dst + last, halves4(a + 2 * last, b + 2 * last, ivy, vy, ivx, vx), i - last);
        return;
    }
    for (; i < count; i++) {
        u32 even = blend_pixel(a[2 * i], b[2 * i], wy);
        u32 odd = blend_pixel(a[2 * i + 1], b[2 * i + 1], wy);
        dst[i] = put1<Over>(dst[i], blend_pixel(even, odd, wx));
    }
}

void blend_halves_over_sse2(u32* dst, const u32* a, const u32* b, u32 count, u32 wy, u32 wx) {
    halves_run<true>(dst, a, b, count, wy, wx);
}

void blend_halves_sse2(u32* dst, const u32* a, const u32* b, u32 count, u32 wy, u32 wx) {
    halves_run<false>(dst, a, b, count, wy, wx);
}

// Four pixels at i and at i + 1, each blended vertically (the careful form).
QB_FORCE_INLINE __m128i shifted4(const u32* a, const u32* b, __m128i ivy, __m128i vy, __m128i ivx, __m128i vx) {
    __m128i l0, h0, l1, h1;
    vertical4(a, b, ivy, vy, &l0, &h0);
    vertical4(a + 1, b + 1, ivy, vy, &l1, &h1);
    return _mm_packus_epi16(mix16(l0, l1, ivx, vx), mix16(h0, h1, ivx, vx));
}

// Each source pixel is blended vertically once: the fast loop carries the
// next group's vertical blend to the following step and takes pixels i + 1
// to i + 4 from the two groups by a shuffle. It runs while that next group
// lies within the count + 1 pixels read; the careful form finishes the row,
// its last group ending at the row's end.
template <bool Over>
QB_FORCE_INLINE void shifted_run(u32* dst, const u32* a, const u32* b, u32 count, u32 wy, u32 wx) {
    const __m128i vy = _mm_set1_epi16((i16)wy);
    const __m128i ivy = _mm_set1_epi16((i16)(256 - wy));
    const __m128i vx = _mm_set1_epi16((i16)wx);
    const __m128i ivx = _mm_set1_epi16((i16)(256 - wx));
    u32 i = 0;
    if (count >= 7) {
        __m128i lo, hi;  // pixels i, i + 1 and i + 2, i + 3
        vertical4(a, b, ivy, vy, &lo, &hi);
        for (; i + 7 <= count; i += 4) {
            __m128i next_lo, next_hi;
            vertical4(a + i + 4, b + i + 4, ivy, vy, &next_lo, &next_hi);
            __m128i l = mix16(lo, next_pair(lo, hi), ivx, vx);
            __m128i h = mix16(hi, next_pair(hi, next_lo), ivx, vx);
            put4<Over>(dst + i, _mm_packus_epi16(l, h));
            lo = next_lo;
            hi = next_hi;
        }
    }
    for (; i + 4 <= count; i += 4) put4<Over>(dst + i, shifted4(a + i, b + i, ivy, vy, ivx, vx));
    if (i < count && count >= 4) {
        u32 last = count - 4;
        put4_after<Over>(dst + last, shifted4(a + last, b + last, ivy, vy, ivx, vx), i - last);
        return;
    }
    for (; i < count; i++) {
        u32 here = blend_pixel(a[i], b[i], wy);
        u32 next = blend_pixel(a[i + 1], b[i + 1], wy);
        dst[i] = put1<Over>(dst[i], blend_pixel(here, next, wx));
    }
}

void blend_shifted_over_sse2(u32* dst, const u32* a, const u32* b, u32 count, u32 wy, u32 wx) {
    shifted_run<true>(dst, a, b, count, wy, wx);
}

void blend_shifted_sse2(u32* dst, const u32* a, const u32* b, u32 count, u32 wy, u32 wx) {
    shifted_run<false>(dst, a, b, count, wy, wx);
}

// ---- Pyramid reduction ------------------------------------------------------------

// Four pixels of each row give two: the rows summed in 16-bit lanes, then
// each pixel pair's sum from the two 64-bit halves (pixels 0 and 1 of the
// widened low half, 2 and 3 of the high one).
QB_FORCE_INLINE __m128i reduce_pairs(__m128i a, __m128i b) {
    __m128i lo = _mm_add_epi16(lo16(a), lo16(b));
    __m128i hi = _mm_add_epi16(hi16(a), hi16(b));
    return _mm_add_epi16(_mm_unpacklo_epi64(lo, hi), _mm_unpackhi_epi64(lo, hi));
}

void reduce_row_sse2(u32* out, const u32* a, const u32* b, u32 count) {
    const __m128i two = _mm_set1_epi16(2);
    u32 i = 0;
    for (; i + 4 <= count; i += 4) {
        __m128i s0 = reduce_pairs(_mm_loadu_si128((const __m128i*)(a + 2 * i)),
                                  _mm_loadu_si128((const __m128i*)(b + 2 * i)));
        __m128i s1 = reduce_pairs(_mm_loadu_si128((const __m128i*)(a + 2 * i + 4)),
                                  _mm_loadu_si128((const __m128i*)(b + 2 * i + 4)));
        s0 = _mm_srli_epi16(_mm_add_epi16(s0, two), 2);
        s1 = _mm_srli_epi16(_mm_add_epi16(s1, two), 2);
        _mm_storeu_si128((__m128i*)(out + i), _mm_packus_epi16(s0, s1));
    }
    for (; i < count; i++) out[i] = reduce_pixel(a[2 * i], a[2 * i + 1], b[2 * i], b[2 * i + 1]);
}

// ---- Bilinear columns, composited ---------------------------------------------

QB_FORCE_INLINE u32 load4(const u8* p) {
    u32 v;
    __builtin_memcpy(&v, p, 4);
    return v;
}

// Columns k and k + 1 vertically blended, each as its pair: the pixels left
// and left + 1 of both rows (one 64-bit load per row), in 16-bit lanes with
// the left pixel in lanes 0 to 3.
QB_FORCE_INLINE void pairs2(const u32* a, const u32* b, u32 l0, u32 l1, __m128i ivy, __m128i vy, __m128i* v0,
                            __m128i* v1) {
    __m128i x = _mm_unpacklo_epi64(_mm_loadl_epi64((const __m128i*)(a + l0)), _mm_loadl_epi64((const __m128i*)(a + l1)));
    __m128i y = _mm_unpacklo_epi64(_mm_loadl_epi64((const __m128i*)(b + l0)), _mm_loadl_epi64((const __m128i*)(b + l1)));
    *v0 = mix16(lo16(x), lo16(y), ivy, vy);
    *v1 = mix16(hi16(x), hi16(y), ivy, vy);
}

// The horizontal blends of two pairs with their weight vectors (256 - w in
// lanes 0 to 3, w in 4 to 7): the two halves of each product summed, pixel
// k in the low half.
QB_FORCE_INLINE __m128i across2(__m128i v0, __m128i v1, __m128i w0, __m128i w1) {
    __m128i h0 = _mm_mullo_epi16(v0, w0), h1 = _mm_mullo_epi16(v1, w1);
    return _mm_srli_epi16(_mm_add_epi16(_mm_unpacklo_epi64(h0, h1), _mm_unpackhi_epi64(h0, h1)), 8);
}

template <bool Over>
QB_FORCE_INLINE void pairs_scalar(u32* dst, const u32* a, const u32* b, const u8* left, const u8* right,
                                  const u8* weight, u32 count, u32 wy) {
    for (u32 i = 0; i < count; i++) {
        u32 l = blend_pixel(a[left[i]], b[left[i]], wy);
        u32 r = blend_pixel(a[right[i]], b[right[i]], wy);
        dst[i] = put1<Over>(dst[i], blend_pixel(l, r, weight[i]));
    }
}

// Every column reads the pair left, left + 1: one with right equal to left
// takes weight 0, whose blend is the left pixel as the clamped pair's is.
// Groups of four run while left + 1 lies in the rows (the indices ascend, so
// the rest of the row is the few columns clamped at its end); a group with a
// column reading further apart takes the scalar rule.
template <bool Over>
QB_FORCE_INLINE void pairs_run(u32* dst, const u32* a, const u32* b, const PairColumns* c, u32 count, u32 wy) {
    const u8* left = c->left;
    const u8* right = c->right;
    const u8* weight = c->weight;
    const u32 width = c->width;
    const __m128i vy = _mm_set1_epi16((i16)wy);
    const __m128i ivy = _mm_set1_epi16((i16)(256 - wy));
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi8(1);
    const __m128i k256 = _mm_set1_epi16(256);
    const u8* ahead = c->ahead;
    const u8* ahead_end = ahead + (u64)c->ahead_lines * 64;
    u32 i = 0;
    for (; i + 4 <= count && (u32)left[i + 3] + 1 < width; i += 4) {
        if (ahead < ahead_end) {
            __builtin_prefetch(ahead, 0, 1);
            ahead += 64;
        }
        __m128i d = _mm_sub_epi8(_mm_cvtsi32_si128((i32)load4(right + i)), _mm_cvtsi32_si128((i32)load4(left + i)));
        if ((_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_subs_epu8(d, one), zero)) & 0xF) != 0xF) {
            pairs_scalar<Over>(dst + i, a, b, left + i, right + i, weight + i, 4, wy);
            continue;
        }
        __m128i w = _mm_andnot_si128(_mm_cmpeq_epi8(d, zero), _mm_cvtsi32_si128((i32)load4(weight + i)));
        w = _mm_unpacklo_epi8(w, zero);
        __m128i t = _mm_unpacklo_epi16(_mm_sub_epi16(k256, w), w);  // 256 - w, w per column
        __m128i t01 = _mm_unpacklo_epi16(t, t), t23 = _mm_unpackhi_epi16(t, t);
        __m128i v0, v1, v2, v3;
        pairs2(a, b, left[i], left[i + 1], ivy, vy, &v0, &v1);
        pairs2(a, b, left[i + 2], left[i + 3], ivy, vy, &v2, &v3);
        __m128i p01 = across2(v0, v1, _mm_unpacklo_epi32(t01, t01), _mm_unpackhi_epi32(t01, t01));
        __m128i p23 = across2(v2, v3, _mm_unpacklo_epi32(t23, t23), _mm_unpackhi_epi32(t23, t23));
        put4<Over>(dst + i, _mm_packus_epi16(p01, p23));
    }
    for (; ahead < ahead_end; ahead += 64) __builtin_prefetch(ahead, 0, 1);
    pairs_scalar<Over>(dst + i, a, b, left + i, right + i, weight + i, count - i, wy);
}

void blend_pairs_over_sse2(u32* dst, const u32* a, const u32* b, const PairColumns* c, u32 count, u32 wy) {
    pairs_run<true>(dst, a, b, c, count, wy);
}

void blend_pairs_sse2(u32* dst, const u32* a, const u32* b, const PairColumns* c, u32 count, u32 wy) {
    pairs_run<false>(dst, a, b, c, count, wy);
}

// The SSE2 form takes no plan: the two rows one after the other.
void blend_pairs2_sse2(u32* out0, u32* out1, const u32* a0, const u32* b0, u32 wy0, const u32* a1, const u32* b1,
                       u32 wy1, const PairColumns* c, u32 count) {
    pairs_run<false>(out0, a0, b0, c, count, wy0);
    PairColumns second = *c;
    second.ahead_lines = 0;
    pairs_run<false>(out1, a1, b1, &second, count, wy1);
}
