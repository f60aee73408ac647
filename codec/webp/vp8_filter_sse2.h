// The SSE2 loop filter's edge arithmetic and its loads, stores and
// transposes, shared by the SSE2 kernels (the AVX2 normal filter has its
// own 32-byte twins of the arithmetic).
#pragma once

#include <emmintrin.h>
#include <string.h>

#include "codec/webp/vp8.h"

// Lambdas handed to the edge walkers are inlined into them.
#define QB_FORCE_LAMBDA __attribute__((always_inline))

// ---- Loop filter ----------------------------------------------------------------
// Sixteen pixels across an edge at once, each as a byte lane: p3..q3 are
// the rows (or, for a vertical edge, the transposed columns) from the
// fourth pixel before the edge to the fourth after. The arithmetic is the
// signed-byte form of the filters (pixels offset by 128, saturating adds),
// which gives the scalar kernels' clamped results exactly.

struct Edge {
    __m128i p3, p2, p1, p0, q0, q1, q2, q3;
};

static inline __m128i abs_diff(__m128i a, __m128i b) {
    return _mm_or_si128(_mm_subs_epu8(a, b), _mm_subs_epu8(b, a));
}

// Zero where 4 |p0 - q0| + |p1 - q1| <= 2 limit + 1, computed as
// 2 |p0 - q0| + |p1 - q1| / 2 <= limit (limit is below 255, so the
// saturation never decides): the amount by which the edge is over.
static inline __m128i small_excess(const Edge& e, int limit) {
    __m128i half = _mm_srli_epi16(_mm_and_si128(abs_diff(e.p1, e.q1), _mm_set1_epi8((char)0xFE)), 1);
    __m128i d = abs_diff(e.p0, e.q0);
    __m128i sum = _mm_adds_epu8(_mm_adds_epu8(d, d), half);
    return _mm_subs_epu8(sum, _mm_set1_epi8((char)limit));
}

// 0xFF where the edge is small enough to filter.
static inline __m128i small_mask(const Edge& e, int limit) {
    return _mm_cmpeq_epi8(small_excess(e, limit), _mm_setzero_si128());
}

static inline __m128i flip(__m128i v) {
    return _mm_xor_si128(v, _mm_set1_epi8((char)0x80));
}

// 3 (q0 - p0) + base, saturated step by step (signed).
static inline __m128i adjust_base(__m128i sp0, __m128i sq0, __m128i base) {
    __m128i d = _mm_subs_epi8(sq0, sp0);
    return _mm_adds_epi8(_mm_adds_epi8(_mm_adds_epi8(base, d), d), d);
}

// (a + k) >> 3 of a signed adjustment held offset by 128 (`fa`), offset by
// 16: 128 is a multiple of 8, so the unsigned shift of the offset value is
// the signed shift plus 16 (the saturating add is the signed one's).
static inline __m128i shr3_offset(__m128i fa, char k) {
    return _mm_and_si128(_mm_srli_epi16(_mm_adds_epu8(fa, _mm_set1_epi8(k)), 3), _mm_set1_epi8(0x1F));
}

// The filters add an adjustment masked to zero where an edge is not
// filtered (a zero adjustment leaves a pixel as it is), rather than
// choosing between filtered and unfiltered pixels.

// The filter of p0 and q0 alone, with the outer taps, where `mask`.
static QB_FORCE_INLINE void filter2(Edge* e, __m128i mask) {
    __m128i sp1 = flip(e->p1), sp0 = flip(e->p0), sq0 = flip(e->q0), sq1 = flip(e->q1);
    __m128i fa = flip(_mm_and_si128(adjust_base(sp0, sq0, _mm_subs_epi8(sp1, sq1)), mask));
    __m128i k16 = _mm_set1_epi8(16);
    e->p0 = flip(_mm_adds_epi8(sp0, _mm_sub_epi8(shr3_offset(fa, 3), k16)));
    e->q0 = flip(_mm_subs_epi8(sq0, _mm_sub_epi8(shr3_offset(fa, 4), k16)));
}

// 0xFF where the edge is filtered: 2 |p0 - q0| + |p1 - q1| / 2 <= limit and
// every step from p3 to p0 and from q0 to q3 within the interior limit;
// *not_hev: 0xFF where neither |p1 - p0| nor |q1 - q0| exceeds the variance
// threshold.
static QB_FORCE_INLINE __m128i mask_of(const Edge& e, int limit, int ilevel, int hev, __m128i* not_hev) {
    __m128i near = _mm_max_epu8(abs_diff(e.p1, e.p0), abs_diff(e.q1, e.q0));
    __m128i far = _mm_max_epu8(_mm_max_epu8(abs_diff(e.p3, e.p2), abs_diff(e.p2, e.p1)),
                               _mm_max_epu8(abs_diff(e.q3, e.q2), abs_diff(e.q2, e.q1)));
    __m128i zero = _mm_setzero_si128();
    *not_hev = _mm_cmpeq_epi8(_mm_subs_epu8(near, _mm_set1_epi8((char)hev)), zero);
    __m128i over = _mm_or_si128(small_excess(e, limit),
                                _mm_subs_epu8(_mm_max_epu8(far, near), _mm_set1_epi8((char)ilevel)));
    return _mm_cmpeq_epi8(over, zero);
}

// Macroblock edge: three pixels each side (weights 27, 18 and 9 / 128)
// where smooth and not high in variance, p0 and q0 with the outer taps
// where smooth and high in variance; both from the same base adjustment.
static QB_FORCE_INLINE void filter_mb(Edge* e, int limit, int ilevel, int hev_t) {
    __m128i not_hev;
    __m128i mask = mask_of(*e, limit, ilevel, hev_t, &not_hev);
    __m128i sp2 = flip(e->p2), sp1 = flip(e->p1), sp0 = flip(e->p0);
    __m128i sq0 = flip(e->q0), sq1 = flip(e->q1), sq2 = flip(e->q2);
    __m128i a = _mm_and_si128(adjust_base(sp0, sq0, _mm_subs_epi8(sp1, sq1)), mask);
    __m128i fn = flip(_mm_andnot_si128(not_hev, a));
    __m128i k16 = _mm_set1_epi8(16);
    __m128i n1 = _mm_sub_epi8(shr3_offset(fn, 4), k16);
    __m128i n2 = _mm_sub_epi8(shr3_offset(fn, 3), k16);
    // 9 a, 18 a and 27 a, plus 63, over 128, in 16-bit lanes: a in the high
    // byte of each lane, times 9 / 256 with the high half of the product.
    __m128i wide = _mm_and_si128(not_hev, a);
    __m128i zero = _mm_setzero_si128();
    __m128i lo = _mm_unpacklo_epi8(zero, wide), hi = _mm_unpackhi_epi8(zero, wide);
    __m128i k9 = _mm_set1_epi16(9 << 8), k63 = _mm_set1_epi16(63);
    __m128i lo9 = _mm_mulhi_epi16(lo, k9), hi9 = _mm_mulhi_epi16(hi, k9);
    __m128i lo_a3 = _mm_add_epi16(lo9, k63), hi_a3 = _mm_add_epi16(hi9, k63);
    __m128i lo_a2 = _mm_add_epi16(lo_a3, lo9), hi_a2 = _mm_add_epi16(hi_a3, hi9);
    __m128i lo_a1 = _mm_add_epi16(lo_a2, lo9), hi_a1 = _mm_add_epi16(hi_a2, hi9);
    auto pack = [](__m128i l, __m128i h) { return _mm_packs_epi16(_mm_srai_epi16(l, 7), _mm_srai_epi16(h, 7)); };
    __m128i a1 = pack(lo_a1, hi_a1), a2 = pack(lo_a2, hi_a2), a3 = pack(lo_a3, hi_a3);
    e->p2 = flip(_mm_adds_epi8(sp2, a3));
    e->p1 = flip(_mm_adds_epi8(sp1, a2));
    e->p0 = flip(_mm_adds_epi8(sp0, _mm_or_si128(a1, n2)));
    e->q0 = flip(_mm_subs_epi8(sq0, _mm_or_si128(a1, n1)));
    e->q1 = flip(_mm_subs_epi8(sq1, a2));
    e->q2 = flip(_mm_subs_epi8(sq2, a3));
}

// Inner edge: p0 and q0 by (a + 3) >> 3 and (a + 4) >> 3 of a = 3 (q0 - p0),
// with the outer taps added where high in variance, and p1 and q1 by half
// the second where not.
static QB_FORCE_INLINE void filter_inner(Edge* e, int limit, int ilevel, int hev_t) {
    __m128i not_hev;
    __m128i mask = mask_of(*e, limit, ilevel, hev_t, &not_hev);
    __m128i sp1 = flip(e->p1), sp0 = flip(e->p0), sq0 = flip(e->q0), sq1 = flip(e->q1);
    __m128i outer = _mm_andnot_si128(not_hev, _mm_subs_epi8(sp1, sq1));
    __m128i fa = flip(_mm_and_si128(adjust_base(sp0, sq0, outer), mask));
    __m128i k16 = _mm_set1_epi8(16);
    __m128i t1 = shr3_offset(fa, 4);
    __m128i a1 = _mm_sub_epi8(t1, k16);
    __m128i a2 = _mm_sub_epi8(shr3_offset(fa, 3), k16);
    // (a1 + 1) >> 1 = (t1 + 1) >> 1 - 8.
    __m128i a3 = _mm_and_si128(not_hev, _mm_sub_epi8(_mm_avg_epu8(t1, _mm_setzero_si128()), _mm_set1_epi8(8)));
    e->p1 = flip(_mm_adds_epi8(sp1, a3));
    e->p0 = flip(_mm_adds_epi8(sp0, a2));
    e->q0 = flip(_mm_subs_epi8(sq0, a1));
    e->q1 = flip(_mm_subs_epi8(sq1, a3));
}

// ---- Edge loads and stores ---------------------------------------------------------

// The rows around a horizontal edge: 8 pixels of U beside 8 of V.
static inline __m128i load_uv(const u8* u, const u8* v) {
    return _mm_unpacklo_epi64(_mm_loadl_epi64((const __m128i*)u), _mm_loadl_epi64((const __m128i*)v));
}
static inline void store_uv(__m128i x, u8* u, u8* v) {
    _mm_storel_epi64((__m128i*)u, x);
    _mm_storel_epi64((__m128i*)v, _mm_unpackhi_epi64(x, x));
}

static QB_FORCE_INLINE Edge load_rows_uv(const u8* u, const u8* v, i64 s) {
    Edge e;
    e.p3 = load_uv(u - 4 * s, v - 4 * s);
    e.p2 = load_uv(u - 3 * s, v - 3 * s);
    e.p1 = load_uv(u - 2 * s, v - 2 * s);
    e.p0 = load_uv(u - s, v - s);
    e.q0 = load_uv(u, v);
    e.q1 = load_uv(u + s, v + s);
    e.q2 = load_uv(u + 2 * s, v + 2 * s);
    e.q3 = load_uv(u + 3 * s, v + 3 * s);
    return e;
}

static QB_FORCE_INLINE void store_rows_uv(const Edge& e, u8* u, u8* v, i64 s) {
    store_uv(e.p2, u - 3 * s, v - 3 * s);
    store_uv(e.p1, u - 2 * s, v - 2 * s);
    store_uv(e.p0, u - s, v - s);
    store_uv(e.q0, u, v);
    store_uv(e.q1, u + s, v + s);
    store_uv(e.q2, u + 2 * s, v + 2 * s);
}

// ---- Columns and transposes ----------------------------------------------------------

// Four columns of 16 rows (8 from `a`, 8 from `b`) as four registers whose
// lanes are the rows, and back.
static QB_FORCE_INLINE void load_16x4(const u8* a, const u8* b, i64 s, __m128i* c0, __m128i* c1, __m128i* c2,
                                      __m128i* c3) {
    auto rows4 = [s](const u8* p) {
        u32 r0, r1, r2, r3;
        memcpy(&r0, p, 4);
        memcpy(&r1, p + s, 4);
        memcpy(&r2, p + 2 * s, 4);
        memcpy(&r3, p + 3 * s, 4);
        return _mm_set_epi32((int)r3, (int)r2, (int)r1, (int)r0);
    };
    __m128i r0 = rows4(a), r1 = rows4(a + 4 * s), r2 = rows4(b), r3 = rows4(b + 4 * s);
    __m128i x0 = _mm_unpacklo_epi8(r0, r1), x1 = _mm_unpackhi_epi8(r0, r1);
    __m128i x2 = _mm_unpacklo_epi8(r2, r3), x3 = _mm_unpackhi_epi8(r2, r3);
    __m128i y0 = _mm_unpacklo_epi8(x0, x1), y1 = _mm_unpackhi_epi8(x0, x1);
    __m128i y2 = _mm_unpacklo_epi8(x2, x3), y3 = _mm_unpackhi_epi8(x2, x3);
    __m128i z0 = _mm_unpacklo_epi8(y0, y1), z1 = _mm_unpackhi_epi8(y0, y1);  // columns 0|1, 2|3 of rows 0-7
    __m128i z2 = _mm_unpacklo_epi8(y2, y3), z3 = _mm_unpackhi_epi8(y2, y3);  // the same of rows 8-15
    *c0 = _mm_unpacklo_epi64(z0, z2);
    *c1 = _mm_unpackhi_epi64(z0, z2);
    *c2 = _mm_unpacklo_epi64(z1, z3);
    *c3 = _mm_unpackhi_epi64(z1, z3);
}

static QB_FORCE_INLINE void store_16x4(u8* a, u8* b, i64 s, __m128i c0, __m128i c1, __m128i c2, __m128i c3) {
    __m128i lo01 = _mm_unpacklo_epi8(c0, c1), hi01 = _mm_unpackhi_epi8(c0, c1);
    __m128i lo23 = _mm_unpacklo_epi8(c2, c3), hi23 = _mm_unpackhi_epi8(c2, c3);
    __m128i w[4] = {_mm_unpacklo_epi16(lo01, lo23), _mm_unpackhi_epi16(lo01, lo23), _mm_unpacklo_epi16(hi01, hi23),
                    _mm_unpackhi_epi16(hi01, hi23)};
    u8* base[4] = {a, a + 4 * s, b, b + 4 * s};
#pragma GCC unroll 4
    for (u32 k = 0; k < 4; k++) {
        __m128i x = w[k];
        for (i64 r = 0; r < 4; r++) {
            u32 v = (u32)_mm_cvtsi128_si32(x);
            memcpy(base[k] + r * s, &v, 4);
            x = _mm_srli_si128(x, 4);
        }
    }
}

// Sixteen registers of 16 bytes transposed: four rounds of pairing
// register k with register k + 8 byte by byte.
static QB_FORCE_INLINE void transpose16(__m128i* x) {
#pragma GCC unroll 4
    for (u32 round = 0; round < 4; round++) {
        __m128i y[16];
#pragma GCC unroll 8
        for (u32 k = 0; k < 8; k++) {
            y[2 * k] = _mm_unpacklo_epi8(x[k], x[k + 8]);
            y[2 * k + 1] = _mm_unpackhi_epi8(x[k], x[k + 8]);
        }
#pragma GCC unroll 16
        for (u32 k = 0; k < 16; k++) x[k] = y[k];
    }
}

// The three inner edges of 16 rows (or transposed columns) held in r:
// between 4k - 1 and 4k for k = 1, 2, 3.
template <typename InnerEdge>
static QB_FORCE_INLINE void inner_edges16(__m128i* r, InnerEdge inner_edge) {
#pragma GCC unroll 3
    for (u32 k = 4; k < 16; k += 4) {
        Edge e = {r[k - 4], r[k - 3], r[k - 2], r[k - 1], r[k], r[k + 1], r[k + 2], r[k + 3]};
        inner_edge(&e);
        r[k - 3] = e.p2;
        r[k - 2] = e.p1;
        r[k - 1] = e.p0;
        r[k] = e.q0;
        r[k + 1] = e.q1;
        r[k + 2] = e.q2;
    }
}

