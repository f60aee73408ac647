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

// The gathers win here: 0.62-0.67 ns a pixel against 0.69-0.75 for the SSE2
// form's scalar loads, on a tile row at 51 % to 90 % (AMD EPYC, AVX2).
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

// The difference colour of eight pixel pairs, in 32-bit lanes.
QB_FORCE_INLINE __m256i difference8(__m256i va, __m256i vb) {
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
    return _mm256_or_si256(_mm256_or_si256(v, blue), _mm256_set1_epi32((i32)0xFF000000u));
}

void difference_row_avx2(u32* dst, const u32* a, const u32* b, u32 count) {
    u32 i = 0;
    for (; i + 8 <= count; i += 8) {
        __m256i va = _mm256_loadu_si256((const __m256i*)(a + i));
        __m256i vb = _mm256_loadu_si256((const __m256i*)(b + i));
        _mm256_storeu_si256((__m256i*)(dst + i), difference8(va, vb));
    }
    for (; i < count; i++) dst[i] = difference_pixel(a[i], b[i]);
}

// ---- Streaming stores ---------------------------------------------------------

// The pixels before dst's first 32-byte boundary (at most seven, fewer when
// the row is shorter).
QB_FORCE_INLINE u32 unaligned_head(const u32* dst, u32 count) {
    u32 head = (u32)((32 - ((uintptr_t)dst & 31)) & 31) / 4;
    return head < count ? head : count;
}

void composite_row_stream_avx2(u32* dst, const u32* src, u32 count) {
    const __m256i amask = _mm256_set1_epi32((i32)0xFF000000u);
    u32 i = unaligned_head(dst, count);
    for (u32 k = 0; k < i; k++) dst[k] = composite_pixel(dst[k], src[k]);
    for (; i + 8 <= count; i += 8) {
        __m256i s = _mm256_loadu_si256((const __m256i*)(src + i));
        if (!_mm256_testc_si256(s, amask)) s = over8(_mm256_load_si256((const __m256i*)(dst + i)), s);
        _mm256_stream_si256((__m256i*)(dst + i), s);
    }
    for (; i < count; i++) dst[i] = composite_pixel(dst[i], src[i]);
}

// Groups with a translucent pixel go over black first (over8's rule).
void difference_over_black_stream_avx2(u32* dst, const u32* a, const u32* b, u32 count) {
    const __m256i amask = _mm256_set1_epi32((i32)0xFF000000u);
    u32 i = unaligned_head(dst, count);
    for (u32 k = 0; k < i; k++) dst[k] = difference_over_black_pixel(a[k], b[k]);
    for (; i + 8 <= count; i += 8) {
        __m256i va = _mm256_loadu_si256((const __m256i*)(a + i));
        __m256i vb = _mm256_loadu_si256((const __m256i*)(b + i));
        if (!_mm256_testc_si256(_mm256_and_si256(va, vb), amask)) {
            va = over8(amask, va);
            vb = over8(amask, vb);
        }
        _mm256_stream_si256((__m256i*)(dst + i), difference8(va, vb));
    }
    for (; i < count; i++) dst[i] = difference_over_black_pixel(a[i], b[i]);
}

// ---- Bilinear runs, composited -----------------------------------------------

// Eight sampled pixels over dst[0..7]: an opaque group is stored, the rest
// composited (composite_row's rule).
QB_FORCE_INLINE void over_store8(u32* dst, __m256i px) {
    // testc: every alpha bit of the eight pixels set.
    if (_mm256_testc_si256(px, _mm256_set1_epi32((i32)0xFF000000u))) {
        _mm256_storeu_si256((__m256i*)dst, px);
    } else {
        _mm256_storeu_si256((__m256i*)dst, over8(_mm256_loadu_si256((const __m256i*)dst), px));
    }
}

// The last group of a row, ending at the row's end: lanes below `done`
// were composited by an earlier group and keep what dst holds. (An opaque
// pixel composites to itself, so over8 needs no select for those.)
QB_FORCE_INLINE void over_store8_after(u32* dst, __m256i px, u32 done) {
    __m256i d = _mm256_loadu_si256((const __m256i*)dst);
    __m256i keep = _mm256_cmpgt_epi32(_mm256_set1_epi32((i32)done), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    _mm256_storeu_si256((__m256i*)dst, _mm256_blendv_epi8(over8(d, px), d, keep));
}

// The stores of the runs below: composited (the _over kernels) or the
// samples alone.
template <bool Over>
QB_FORCE_INLINE void put8(u32* dst, __m256i px) {
    if constexpr (Over) {
        over_store8(dst, px);
    } else {
        _mm256_storeu_si256((__m256i*)dst, px);
    }
}

// The last group of a row; its samples below `done` are the ones an
// earlier group stored, so storing them again changes nothing.
template <bool Over>
QB_FORCE_INLINE void put8_after(u32* dst, __m256i px, u32 done) {
    if constexpr (Over) {
        over_store8_after(dst, px, done);
    } else {
        _mm256_storeu_si256((__m256i*)dst, px);
    }
}

template <bool Over>
QB_FORCE_INLINE u32 put1(u32 dst, u32 px) {
    return Over ? composite_pixel(dst, px) : px;
}

// The vertical blend of a[0..7] and b[0..7] in 16-bit lanes: pixels 0, 1,
// 4, 5 in *lo and 2, 3, 6, 7 in *hi (unpacking works within 128-bit halves).
QB_FORCE_INLINE void vertical8(const u32* a, const u32* b, __m256i ivy, __m256i vy, __m256i* lo, __m256i* hi) {
    __m256i va = _mm256_loadu_si256((const __m256i*)a);
    __m256i vb = _mm256_loadu_si256((const __m256i*)b);
    *lo = mix16(lo16(va), lo16(vb), ivy, vy);
    *hi = mix16(hi16(va), hi16(vb), ivy, vy);
}

// Halving: sixteen pixels of each row give eight. The even and odd pixels
// are split apart by a float shuffle within halves, so the result comes out
// as pixels 0, 1, 4, 5 | 2, 3, 6, 7 and one cross-half permute orders it.
QB_FORCE_INLINE __m256i halves8(const u32* a, const u32* b, __m256i ivy, __m256i vy, __m256i ivx, __m256i vx) {
    __m256i l0, h0, l1, h1;
    vertical8(a, b, ivy, vy, &l0, &h0);
    vertical8(a + 8, b + 8, ivy, vy, &l1, &h1);
    __m256 f0 = _mm256_castsi256_ps(_mm256_packus_epi16(l0, h0));
    __m256 f1 = _mm256_castsi256_ps(_mm256_packus_epi16(l1, h1));
    __m256i even = _mm256_castps_si256(_mm256_shuffle_ps(f0, f1, _MM_SHUFFLE(2, 0, 2, 0)));
    __m256i odd = _mm256_castps_si256(_mm256_shuffle_ps(f0, f1, _MM_SHUFFLE(3, 1, 3, 1)));
    __m256i l = mix16(lo16(even), lo16(odd), ivx, vx);
    __m256i h = mix16(hi16(even), hi16(odd), ivx, vx);
    return _mm256_permute4x64_epi64(_mm256_packus_epi16(l, h), _MM_SHUFFLE(3, 1, 2, 0));
}

template <bool Over>
QB_FORCE_INLINE void halves_run(u32* dst, const u32* a, const u32* b, u32 count, u32 wy, u32 wx) {
    const __m256i vy = _mm256_set1_epi16((i16)wy);
    const __m256i ivy = _mm256_set1_epi16((i16)(256 - wy));
    const __m256i vx = _mm256_set1_epi16((i16)wx);
    const __m256i ivx = _mm256_set1_epi16((i16)(256 - wx));
    u32 i = 0;
    for (; i + 8 <= count; i += 8) put8<Over>(dst + i, halves8(a + 2 * i, b + 2 * i, ivy, vy, ivx, vx));
    if (i < count && count >= 8) {
        u32 last = count - 8;
        put8_after<Over>(dst + last, halves8(a + 2 * last, b + 2 * last, ivy, vy, ivx, vx), i - last);
        return;
    }
    for (; i < count; i++) {
        u32 even = blend_pixel(a[2 * i], b[2 * i], wy);
        u32 odd = blend_pixel(a[2 * i + 1], b[2 * i + 1], wy);
        dst[i] = put1<Over>(dst[i], blend_pixel(even, odd, wx));
    }
}

void blend_halves_over_avx2(u32* dst, const u32* a, const u32* b, u32 count, u32 wy, u32 wx) {
    halves_run<true>(dst, a, b, count, wy, wx);
}

void blend_halves_avx2(u32* dst, const u32* a, const u32* b, u32 count, u32 wy, u32 wx) {
    halves_run<false>(dst, a, b, count, wy, wx);
}

// Eight pixels at i and at i + 1, each blended vertically (the careful form).
QB_FORCE_INLINE __m256i shifted8(const u32* a, const u32* b, __m256i ivy, __m256i vy, __m256i ivx, __m256i vx) {
    __m256i l0, h0, l1, h1;
    vertical8(a, b, ivy, vy, &l0, &h0);
    vertical8(a + 1, b + 1, ivy, vy, &l1, &h1);
    return _mm256_packus_epi16(mix16(l0, l1, ivx, vx), mix16(h0, h1, ivx, vx));
}

// Blending in signed bytes, for weights 1 to 255. With p' = p - 128 (the
// byte p xor 0x80), a' (256 - w) + b' w = a (256 - w) + b w - 32768 lies in
// -32768 .. 32512, so maddubs (unsigned weight bytes 256 - w and w times the
// signed pixel bytes, each pair summed) gives it exactly in a 16-bit lane,
// and its arithmetic shift right by 8 is the blend minus 128: a signed byte
// again. One multiply per channel instead of two, and no widening.
QB_FORCE_INLINE __m256i pair_weights(u32 w) {
    return _mm256_set1_epi16((i16)((256 - w) | w << 8));
}

// Eight pixels of a and b (signed bytes, in order) blended with the weight pair.
QB_FORCE_INLINE __m256i blend_signed8(__m256i a, __m256i b, __m256i pair) {
    __m256i lo = _mm256_srai_epi16(_mm256_maddubs_epi16(pair, _mm256_unpacklo_epi8(a, b)), 8);
    __m256i hi = _mm256_srai_epi16(_mm256_maddubs_epi16(pair, _mm256_unpackhi_epi8(a, b)), 8);
    return _mm256_packs_epi16(lo, hi);
}

// The vertical blend of a[0..7] and b[0..7] as signed bytes.
QB_FORCE_INLINE __m256i vertical_signed8(const u32* a, const u32* b, __m256i pair) {
    const __m256i bias = _mm256_set1_epi8((char)0x80);
    __m256i va = _mm256_xor_si256(_mm256_loadu_si256((const __m256i*)a), bias);
    __m256i vb = _mm256_xor_si256(_mm256_loadu_si256((const __m256i*)b), bias);
    return blend_signed8(va, vb, pair);
}

// Each source pixel is blended vertically once: the fast loop carries the
// next group's vertical blend to the following step and takes pixels i + 1
// to i + 8 from the two groups (one cross-half permute, one byte alignment
// within halves). It runs while that next group lies within the count + 1
// pixels read; the careful form finishes the row, its last group ending at
// the row's end. A weight of 0 (no byte 256 - w) takes the careful form
// throughout; regular runs never have wx 0, and wy is 0 on few rows.
template <bool Over>
QB_FORCE_INLINE void shifted_run(u32* dst, const u32* a, const u32* b, u32 count, u32 wy, u32 wx) {
    const __m256i vy = _mm256_set1_epi16((i16)wy);
    const __m256i ivy = _mm256_set1_epi16((i16)(256 - wy));
    const __m256i vx = _mm256_set1_epi16((i16)wx);
    const __m256i ivx = _mm256_set1_epi16((i16)(256 - wx));
    u32 i = 0;
    if (count >= 15 && wy != 0 && wx != 0) {
        const __m256i pair_y = pair_weights(wy);
        const __m256i pair_x = pair_weights(wx);
        const __m256i bias = _mm256_set1_epi8((char)0x80);
        __m256i v = vertical_signed8(a, b, pair_y);  // pixels i to i + 7
        for (; i + 15 <= count; i += 8) {
            __m256i next = vertical_signed8(a + i + 8, b + i + 8, pair_y);
            __m256i shifted = _mm256_alignr_epi8(_mm256_permute2x128_si256(v, next, 0x21), v, 4);
            put8<Over>(dst + i, _mm256_xor_si256(blend_signed8(v, shifted, pair_x), bias));
            v = next;
        }
    }
    for (; i + 8 <= count; i += 8) put8<Over>(dst + i, shifted8(a + i, b + i, ivy, vy, ivx, vx));
    if (i < count && count >= 8) {
        u32 last = count - 8;
        put8_after<Over>(dst + last, shifted8(a + last, b + last, ivy, vy, ivx, vx), i - last);
        return;
    }
    for (; i < count; i++) {
        u32 here = blend_pixel(a[i], b[i], wy);
        u32 next = blend_pixel(a[i + 1], b[i + 1], wy);
        dst[i] = put1<Over>(dst[i], blend_pixel(here, next, wx));
    }
}

void blend_shifted_over_avx2(u32* dst, const u32* a, const u32* b, u32 count, u32 wy, u32 wx) {
    shifted_run<true>(dst, a, b, count, wy, wx);
}

void blend_shifted_avx2(u32* dst, const u32* a, const u32* b, u32 count, u32 wy, u32 wx) {
    shifted_run<false>(dst, a, b, count, wy, wx);
}

// ---- Pyramid reduction ------------------------------------------------------------

// As the SSE2 form within each 128-bit half: eight pixels of each row give
// pair sums 0, 1 | 2, 3 (pixels 0 to 3 | 4 to 7); the pack of two such
// groups comes out as pixels 0, 1, 4, 5 | 2, 3, 6, 7 and one permute orders it.
QB_FORCE_INLINE __m256i reduce_pairs(__m256i a, __m256i b) {
    __m256i lo = _mm256_add_epi16(lo16(a), lo16(b));
    __m256i hi = _mm256_add_epi16(hi16(a), hi16(b));
    return _mm256_add_epi16(_mm256_unpacklo_epi64(lo, hi), _mm256_unpackhi_epi64(lo, hi));
}

void reduce_row_avx2(u32* out, const u32* a, const u32* b, u32 count) {
    const __m256i two = _mm256_set1_epi16(2);
    u32 i = 0;
    for (; i + 8 <= count; i += 8) {
        __m256i s0 = reduce_pairs(_mm256_loadu_si256((const __m256i*)(a + 2 * i)),
                                  _mm256_loadu_si256((const __m256i*)(b + 2 * i)));
        __m256i s1 = reduce_pairs(_mm256_loadu_si256((const __m256i*)(a + 2 * i + 8)),
                                  _mm256_loadu_si256((const __m256i*)(b + 2 * i + 8)));
        s0 = _mm256_srli_epi16(_mm256_add_epi16(s0, two), 2);
        s1 = _mm256_srli_epi16(_mm256_add_epi16(s1, two), 2);
        __m256i packed = _mm256_packus_epi16(s0, s1);
        _mm256_storeu_si256((__m256i*)(out + i), _mm256_permute4x64_epi64(packed, _MM_SHUFFLE(3, 1, 2, 0)));
    }
    for (; i < count; i++) out[i] = reduce_pixel(a[2 * i], a[2 * i + 1], b[2 * i], b[2 * i + 1]);
}

// ---- Bilinear columns, composited ---------------------------------------------

template <bool Over>
QB_FORCE_INLINE void pairs_scalar(u32* dst, const u32* a, const u32* b, const u8* left, const u8* right,
                                  const u8* weight, u32 count, u32 wy) {
    for (u32 i = 0; i < count; i++) {
        u32 l = blend_pixel(a[left[i]], b[left[i]], wy);
        u32 r = blend_pixel(a[right[i]], b[right[i]], wy);
        dst[i] = put1<Over>(dst[i], blend_pixel(l, r, weight[i]));
    }
}

// Four columns whose pixels lie within eight of the rows' pixels from
// base: those eight blended vertically (signed bytes, as above; a weight of
// 0 is the upper row itself), each column's pair picked by one cross-half
// permute, the channels of each pair interleaved and blended horizontally by
// maddubs. Out: columns 0, 1 | 2, 3 as signed 16-bit lanes.
QB_FORCE_INLINE __m256i pairs4(const u32* a, const u32* b, u32 base, __m256i pair_y, bool flat, __m256i index,
                               __m256i wx) {
    const __m256i bias = _mm256_set1_epi8((char)0x80);
    const __m256i interleave = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15, 0, 4, 1, 5, 2,
                                                6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    __m256i v = flat ? _mm256_xor_si256(_mm256_loadu_si256((const __m256i*)(a + base)), bias)
                     : vertical_signed8(a + base, b + base, pair_y);
    __m256i g = _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(v, index), interleave);
    return _mm256_srai_epi16(_mm256_maddubs_epi16(wx, g), 8);
}

// Eight columns from i in two groups of four, each reading the eight pixels
// from its first left index (or from the rows' last eight). A column of
// weight 0 reads its left pixel twice with weight 128 (maddubs has no byte
// for 256 - 0; a pixel blended with itself is itself under any weight, as
// with right equal to left). False when a group's columns span more than
// eight pixels or the rows are shorter than eight.
QB_FORCE_INLINE bool pairs8(const u32* a, const u32* b, u32 width, const u8* left, const u8* right,
                            const u8* weight, u32 i, __m256i pair_y, bool flat, __m256i* out) {
    u32 b0 = left[i], b1 = left[i + 4];
    if (width < 8) return false;
    b0 = b0 + 8 <= width ? b0 : width - 8;
    b1 = b1 + 8 <= width ? b1 : width - 8;
    if ((u32)right[i + 3] - b0 > 7 || (u32)right[i + 7] - b1 > 7) return false;
    const __m128i zero = _mm_setzero_si128();
    const __m256i spread0 = _mm256_setr_epi8(0, 1, 0, 1, 0, 1, 0, 1, 2, 3, 2, 3, 2, 3, 2, 3, 4, 5, 4, 5, 4, 5, 4, 5,
                                             6, 7, 6, 7, 6, 7, 6, 7);
    const __m256i spread1 = _mm256_add_epi8(spread0, _mm256_set1_epi8(8));
    __m128i l = _mm_loadl_epi64((const __m128i*)(left + i));
    __m128i r = _mm_loadl_epi64((const __m128i*)(right + i));
    __m128i w = _mm_loadl_epi64((const __m128i*)(weight + i));
    __m128i w0 = _mm_cmpeq_epi8(w, zero);
    r = _mm_blendv_epi8(r, l, w0);
    w = _mm_or_si128(w, _mm_and_si128(w0, _mm_set1_epi8((char)0x80)));
    __m128i from = _mm_cvtsi64_si128((i64)((u64)(b0 * 0x01010101u) | (u64)(b1 * 0x01010101u) << 32));
    __m128i pairs = _mm_unpacklo_epi8(_mm_sub_epi8(l, from), _mm_sub_epi8(r, from));
    __m256i index0 = _mm256_cvtepu8_epi32(pairs);
    __m256i index1 = _mm256_cvtepu8_epi32(_mm_srli_si128(pairs, 8));
    // 256 - w and w per column, as bytes.
    __m256i wpairs = _mm256_broadcastsi128_si256(_mm_unpacklo_epi8(_mm_sub_epi8(zero, w), w));
    __m256i p0 = pairs4(a, b, b0, pair_y, flat, index0, _mm256_shuffle_epi8(wpairs, spread0));
    __m256i p1 = pairs4(a, b, b1, pair_y, flat, index1, _mm256_shuffle_epi8(wpairs, spread1));
    __m256i px = _mm256_permute4x64_epi64(_mm256_packs_epi16(p0, p1), _MM_SHUFFLE(3, 1, 2, 0));
    *out = _mm256_xor_si256(px, _mm256_set1_epi8((char)0x80));
    return true;
}

// The columns from i on, fewer than eight or all of a row shorter than
// eight: the last group ends at the row's end (planned here, as pairs8
// does), keeping the columns an earlier group composited; or the scalar
// rule.
template <bool Over>
QB_FORCE_INLINE void pairs_tail(u32* dst, const u32* a, const u32* b, const PairColumns* c, u32 i, u32 count,
                                u32 wy) {
    const __m256i pair_y = pair_weights(wy == 0 ? 1 : wy);
    __m256i px;
    if (i < count && count >= 8 &&
        pairs8(a, b, c->width, c->left, c->right, c->weight, count - 8, pair_y, wy == 0, &px)) {
        put8_after<Over>(dst + count - 8, px, i - (count - 8));
        return;
    }
    pairs_scalar<Over>(dst + i, a, b, c->left + i, c->right + i, c->weight + i, count - i, wy);
}

// Eight columns of rows a and b from the plan's indices and weight pairs,
// in order.
QB_FORCE_INLINE __m256i pairs_planned8(const u32* a, const u32* b, u32 b0, u32 b1, __m256i pair_y, bool flat,
                                       __m256i index0, __m256i index1, __m256i w0, __m256i w1) {
    __m256i p0 = pairs4(a, b, b0, pair_y, flat, index0, w0);
    __m256i p1 = pairs4(a, b, b1, pair_y, flat, index1, w1);
    __m256i px = _mm256_permute4x64_epi64(_mm256_packs_epi16(p0, p1), _MM_SHUFFLE(3, 1, 2, 0));
    return _mm256_xor_si256(px, _mm256_set1_epi8((char)0x80));
}

// The plan of the group of eight columns from i: its index vectors and
// weight pairs; false when the group is marked slow.
QB_FORCE_INLINE bool planned_group(const PairColumns* c, u32 i, u32* b0, u32* b1, __m256i* index0, __m256i* index1,
                                   __m256i* w0, __m256i* w1) {
    const __m256i spread0 = _mm256_setr_epi8(0, 1, 0, 1, 0, 1, 0, 1, 2, 3, 2, 3, 2, 3, 2, 3, 4, 5, 4, 5, 4, 5, 4, 5,
                                             6, 7, 6, 7, 6, 7, 6, 7);
    const __m256i spread1 = _mm256_add_epi8(spread0, _mm256_set1_epi8(8));
    *b0 = c->base[i];
    *b1 = c->base[i + 4];
    if (((*b0 | *b1) & PAIR_SLOW) != 0) return false;
    *index0 = _mm256_cvtepu8_epi32(_mm_loadl_epi64((const __m128i*)(c->offsets + 2 * i)));
    *index1 = _mm256_cvtepu8_epi32(_mm_loadl_epi64((const __m128i*)(c->offsets + 2 * i + 8)));
    __m256i wpairs = _mm256_broadcastsi128_si256(_mm_loadu_si128((const __m128i*)(c->pairs + 2 * i)));
    *w0 = _mm256_shuffle_epi8(wpairs, spread0);
    *w1 = _mm256_shuffle_epi8(wpairs, spread1);
    return true;
}

// One cache line of the caller's next memory asked for, while any is left.
QB_FORCE_INLINE void ask_ahead(const u8** ahead, const u8* end) {
    if (*ahead < end) {
        __builtin_prefetch(*ahead, 0, 1);
        *ahead += 64;
    }
}

// Eight columns at a time as the plan has them, then the tail. Groups the
// plan marks slow take the scalar rule.
template <bool Over>
QB_FORCE_INLINE void pairs_run(u32* dst, const u32* a, const u32* b, const PairColumns* c, u32 count, u32 wy) {
    const __m256i pair_y = pair_weights(wy == 0 ? 1 : wy);
    const bool flat = wy == 0;
    const u8* ahead = c->ahead;
    const u8* ahead_end = ahead + (u64)c->ahead_lines * 64;
    u32 i = 0;
    for (; i + 8 <= count; i += 8) {
        ask_ahead(&ahead, ahead_end);
        u32 b0, b1;
        __m256i index0, index1, w0, w1;
        if (!planned_group(c, i, &b0, &b1, &index0, &index1, &w0, &w1)) {
            pairs_scalar<Over>(dst + i, a, b, c->left + i, c->right + i, c->weight + i, 8, wy);
            continue;
        }
        put8<Over>(dst + i, pairs_planned8(a, b, b0, b1, pair_y, flat, index0, index1, w0, w1));
    }
    for (; ahead < ahead_end; ahead += 64) __builtin_prefetch(ahead, 0, 1);
    pairs_tail<Over>(dst, a, b, c, i, count, wy);
}

// Two rows through the same columns: each group's plan is loaded once for
// both.
void blend_pairs2_avx2(u32* out0, u32* out1, const u32* a0, const u32* b0, u32 wy0, const u32* a1, const u32* b1,
                       u32 wy1, const PairColumns* c, u32 count) {
    const __m256i pair_y0 = pair_weights(wy0 == 0 ? 1 : wy0);
    const __m256i pair_y1 = pair_weights(wy1 == 0 ? 1 : wy1);
    const u8* ahead = c->ahead;
    const u8* ahead_end = ahead + (u64)c->ahead_lines * 64;
    u32 i = 0;
    for (; i + 8 <= count; i += 8) {
        ask_ahead(&ahead, ahead_end);
        u32 base0, base1;
        __m256i index0, index1, w0, w1;
        if (!planned_group(c, i, &base0, &base1, &index0, &index1, &w0, &w1)) {
            pairs_scalar<false>(out0 + i, a0, b0, c->left + i, c->right + i, c->weight + i, 8, wy0);
            pairs_scalar<false>(out1 + i, a1, b1, c->left + i, c->right + i, c->weight + i, 8, wy1);
            continue;
        }
        put8<false>(out0 + i, pairs_planned8(a0, b0, base0, base1, pair_y0, wy0 == 0, index0, index1, w0, w1));
        put8<false>(out1 + i, pairs_planned8(a1, b1, base0, base1, pair_y1, wy1 == 0, index0, index1, w0, w1));
    }
    for (; ahead < ahead_end; ahead += 64) __builtin_prefetch(ahead, 0, 1);
    pairs_tail<false>(out0, a0, b0, c, i, count, wy0);
    pairs_tail<false>(out1, a1, b1, c, i, count, wy1);
}

void blend_pairs_over_avx2(u32* dst, const u32* a, const u32* b, const PairColumns* c, u32 count, u32 wy) {
    pairs_run<true>(dst, a, b, c, count, wy);
}

void blend_pairs_avx2(u32* dst, const u32* a, const u32* b, const PairColumns* c, u32 count, u32 wy) {
    pairs_run<false>(dst, a, b, c, count, wy);
}
