// SSE2 unfiltering. Sub is a prefix sum inside one 16-byte vector (shifts by
// bpp, 2 bpp, 4 bpp, 8 bpp), carried from vector to vector by the last pixel;
// for 3- and 6-byte pixels a vector advances 15 and 12 bytes so that whole
// pixels stay inside it. Up adds 16 bytes at a time. Average and Paeth depend
// on the pixel just finished, so they run one pixel per iteration with the
// left pixel kept in a register; Paeth works in 16-bit lanes so its
// threshold never overflows.
#include <emmintrin.h>
#include <string.h>

#include "codec/png/png_rows.h"

static QB_FORCE_INLINE __m128i load16(const u8* p) {
    return _mm_loadu_si128((const __m128i*)p);
}
static QB_FORCE_INLINE void store16(u8* p, __m128i v) {
    _mm_storeu_si128((__m128i*)p, v);
}
// The first 4 or 8 bytes at p, the rest of the vector zero.
template <u32 B>
static QB_FORCE_INLINE __m128i load_pixel(const u8* p) {
    if constexpr (B <= 4) {
        i32 v;
        memcpy(&v, p, 4);
        return _mm_cvtsi32_si128(v);
    } else {
        return _mm_loadl_epi64((const __m128i*)p);
    }
}
template <u32 B>
static QB_FORCE_INLINE void store_pixel(u8* p, __m128i v) {
    if constexpr (B <= 4) {
        i32 x = _mm_cvtsi128_si32(v);
        memcpy(p, &x, 4);
    } else {
        _mm_storel_epi64((__m128i*)p, v);
    }
}

// The last pixel of a vector of `adv` bytes in every pixel position.
template <u32 B, u32 adv>
static QB_FORCE_INLINE __m128i last_pixel_everywhere(__m128i v) {
    if constexpr (B == 4) return _mm_shuffle_epi32(v, 0xFF);
    if constexpr (B == 8) return _mm_unpackhi_epi64(v, v);
    const __m128i mask = _mm_srli_si128(_mm_set1_epi8(-1), 16 - B);
    __m128i p = _mm_and_si128(_mm_srli_si128(v, adv - B), mask);
    p = _mm_or_si128(p, _mm_slli_si128(p, B));
    if constexpr (2 * B < 16) p = _mm_or_si128(p, _mm_slli_si128(p, 2 * B));
    if constexpr (4 * B < 16) p = _mm_or_si128(p, _mm_slli_si128(p, 4 * B));
    if constexpr (8 * B < 16) p = _mm_or_si128(p, _mm_slli_si128(p, 8 * B));
    return p;
}

// The prefix sum of each vector's source bytes does not depend on the rows
// before it; only the carry does. The carry is kept as the last output pixel
// in every position, so one add joins a vector to what came before and one
// more moves the carry on.
template <u32 B>
static void unfilter_sub(const u8* src, u8* dst, u64 n) {
    constexpr u32 adv = B == 3 ? 15 : (B == 6 ? 12 : 16);
    __m128i carry = _mm_setzero_si128();
    for (u64 i = 0; i < n; i += adv) {
        __m128i v = load16(src + i);
        v = _mm_add_epi8(v, _mm_slli_si128(v, B));
        if constexpr (2 * B < adv) v = _mm_add_epi8(v, _mm_slli_si128(v, 2 * B));
        if constexpr (4 * B < adv) v = _mm_add_epi8(v, _mm_slli_si128(v, 4 * B));
        if constexpr (8 * B < adv) v = _mm_add_epi8(v, _mm_slli_si128(v, 8 * B));
        store16(dst + i, _mm_add_epi8(v, carry));
        carry = _mm_add_epi8(carry, last_pixel_everywhere<B, adv>(v));
    }
}

static void unfilter_up(const u8* src, u8* dst, const u8* prev, u64 n) {
    for (u64 i = 0; i < n; i += 32) {
        __m128i a = _mm_add_epi8(load16(src + i), load16(prev + i));
        __m128i b = _mm_add_epi8(load16(src + i + 16), load16(prev + i + 16));
        store16(dst + i, a);
        store16(dst + i + 16, b);
    }
}

// Average: x + floor((left + up) / 2). _mm_avg_epu8 rounds up, but on
// complements it rounds down: floor((l + u) / 2) = ~avg(~l, ~u). Carrying the
// complement of the left pixel, ~left' = avg(~left, ~up) - x, leaves two
// operations between one pixel and the next.
template <u32 B>
static void unfilter_average(const u8* src, u8* dst, const u8* prev, u64 n) {
    const __m128i ones = _mm_set1_epi8(-1);
    __m128i not_left = ones;
    for (u64 i = 0; i < n; i += B) {
        const __m128i not_up = _mm_xor_si128(load_pixel<B>(prev + i), ones);
        not_left = _mm_sub_epi8(_mm_avg_epu8(not_left, not_up), load_pixel<B>(src + i));
        store_pixel<B>(dst + i, _mm_xor_si128(not_left, ones));
    }
}

// Paeth through thresholds instead of the three distances: with
// t = 3c - a - b, lo = min(a, b) and hi = max(a, b), the predictor is hi when
// t <= lo, else lo when hi <= t, else c. This is the same choice, ties
// included (the tests check every triple), and only a handful of operations
// wait on the pixel just finished: t, then a compare, two selects and the
// add (taken off the chain by adding the filtered byte to the candidates
// first). b, c and 3c - b are ready ahead, so the loop runs at the speed of
// that chain, one pixel (all its channels in 16-bit lanes) per iteration.
template <u32 B>
static void unfilter_paeth(const u8* src, u8* dst, const u8* prev, u64 n) {
    const __m128i zero = _mm_setzero_si128();
    __m128i a = zero;  // left, 16-bit lanes
    __m128i c = zero;  // upleft
    for (u64 i = 0; i < n; i += B) {
        const __m128i b = _mm_unpacklo_epi8(load_pixel<B>(prev + i), zero);
        const __m128i x = _mm_unpacklo_epi8(load_pixel<B>(src + i), zero);
        __m128i k = _mm_sub_epi16(_mm_add_epi16(c, _mm_add_epi16(c, c)), b);  // 3c - b
        // Left as it is: the compiler would otherwise regroup 3c - b - a as
        // 2c - (a + b) + c, three operations after the left pixel, not one.
        __asm__("" : "+x"(k));
        const __m128i t = _mm_sub_epi16(k, a);
        const __m128i lo = _mm_min_epi16(a, b);
        const __m128i hi = _mm_max_epi16(a, b);
        const __m128i take_c = _mm_cmpgt_epi16(hi, t);  // hi > t: c, unless t <= lo
        const __m128i take_lo = _mm_cmpgt_epi16(t, lo);  // t > lo: not hi
        // The filtered byte is added to the candidates before the selects,
        // which takes the add off the chain. Bytes, not words: the high byte
        // of each lane stays 0 and the low one wraps as the filter wants,
        // with no mask after the adds.
        const __m128i xc = _mm_add_epi8(x, c);
        const __m128i xlo = _mm_add_epi8(x, lo);
        const __m128i xhi = _mm_add_epi8(x, hi);
        const __m128i mid = _mm_or_si128(_mm_and_si128(take_c, xc), _mm_andnot_si128(take_c, xlo));
        a = _mm_or_si128(_mm_and_si128(take_lo, mid), _mm_andnot_si128(take_lo, xhi));
        c = b;
        store_pixel<B>(dst + i, _mm_packus_epi16(a, a));
    }
}

template <u32 B>
static void unfilter_bpp(u32 type, const u8* src, u8* dst, const u8* prev, u64 n) {
    switch (type) {
    case 0: memcpy(dst, src, n); break;
    case 1: unfilter_sub<B>(src, dst, n); break;
    case 2: unfilter_up(src, dst, prev, n); break;
    case 3: unfilter_average<B>(src, dst, prev, n); break;
    default: unfilter_paeth<B>(src, dst, prev, n); break;
    }
}

void unfilter_row_sse2(u32 type, const u8* src, u8* dst, const u8* prev, u64 n, u32 bpp) {
    switch (bpp) {
    case 1: unfilter_bpp<1>(type, src, dst, prev, n); break;
    case 2: unfilter_bpp<2>(type, src, dst, prev, n); break;
    case 3: unfilter_bpp<3>(type, src, dst, prev, n); break;
    case 4: unfilter_bpp<4>(type, src, dst, prev, n); break;
    case 6: unfilter_bpp<6>(type, src, dst, prev, n); break;
    default: unfilter_bpp<8>(type, src, dst, prev, n); break;
    }
}
