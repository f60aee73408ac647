// SSE2 twins of the lossy decoder's kernels: the loop filters 16 pixels per
// edge, the inverse DCT (one block, two side by side, the short forms), the
// intra prediction, the chroma upsampling fused with the conversion to
// RGBA, 8 pairs of pixels at a time, and the alpha plane from the green of
// its lossless coding. For the conversion: each product (x * c) >> 8 is the
// high half of (x << 8) * c in unsigned 16 bits; sums that may go negative
// are taken with unsigned saturation, which clamps them at 0 exactly where
// the scalar clip does, and the final shift by 6 with a saturating pack
// clamps at 255.
#include <emmintrin.h>
#include <string.h>

#include "codec/webp/vp8.h"
#include "codec/webp/vp8_filter_sse2.h"
#include "codec/webp/vp8_idct_sse2.h"

// ---- Macroblocks --------------------------------------------------------------------

// The vertical edges of a macroblock (16 rows: luma, or 8 of U over 8 of
// V) from left to right, the columns handed from one edge to the next in
// registers: each edge loads the 4 columns after it and stores the 4
// before it, so that no load overlaps a store still in flight. The inner
// edges are `count` - 1, 4 columns apart.
template <typename MbEdge, typename InnerEdge>
static QB_FORCE_INLINE void vertical_edges(u8* a, u8* b, i64 s, bool left, bool inner, u32 count, MbEdge mb_edge,
                                           InnerEdge inner_edge) {
    Edge e;
    load_16x4(a, b, s, &e.q0, &e.q1, &e.q2, &e.q3);
    if (left) {
        load_16x4(a - 4, b - 4, s, &e.p3, &e.p2, &e.p1, &e.p0);
        mb_edge(&e);
        store_16x4(a - 4, b - 4, s, e.p3, e.p2, e.p1, e.p0);
    }
    if (inner) {
        for (u32 k = 1; k < count; k++) {
            e.p3 = e.q0;
            e.p2 = e.q1;
            e.p1 = e.q2;
            e.p0 = e.q3;
            load_16x4(a + 4 * k, b + 4 * k, s, &e.q0, &e.q1, &e.q2, &e.q3);
            inner_edge(&e);
            store_16x4(a + 4 * k - 4, b + 4 * k - 4, s, e.p3, e.p2, e.p1, e.p0);
        }
        store_16x4(a + 4 * count - 4, b + 4 * count - 4, s, e.q0, e.q1, e.q2, e.q3);
    } else if (left) {
        store_16x4(a, b, s, e.q0, e.q1, e.q2, e.q3);
    }
}

// Every luma edge of a macroblock: its 16 rows are loaded once, transposed
// in registers for the vertical edges (the 4 columns to the left loaded and
// stored apart), transposed back for the horizontal ones (the 4 rows above
// loaded and 3 stored apart) and stored once.
template <typename MbEdge, typename InnerEdge>
static QB_FORCE_INLINE void luma_edges(u8* y, i64 s, bool left, bool top, bool inner, MbEdge mb_edge,
                                       InnerEdge inner_edge) {
    if (!left && !top && !inner) return;
    __m128i r[16];
#pragma GCC unroll 16
    for (u32 i = 0; i < 16; i++) r[i] = _mm_loadu_si128((const __m128i*)(y + i * s));
    if (left || inner) {
        transpose16(r);  // r[k]: column k
        if (left) {
            Edge e;
            load_16x4(y - 4, y + 8 * s - 4, s, &e.p3, &e.p2, &e.p1, &e.p0);
            e.q0 = r[0];
            e.q1 = r[1];
            e.q2 = r[2];
            e.q3 = r[3];
            mb_edge(&e);
            store_16x4(y - 4, y + 8 * s - 4, s, e.p3, e.p2, e.p1, e.p0);
            r[0] = e.q0;
            r[1] = e.q1;
            r[2] = e.q2;
        }
        if (inner) {
            inner_edges16(r, inner_edge);
        }
        transpose16(r);  // rows again
    }
    if (top) {
        Edge e;
        e.p3 = _mm_loadu_si128((const __m128i*)(y - 4 * s));
        e.p2 = _mm_loadu_si128((const __m128i*)(y - 3 * s));
        e.p1 = _mm_loadu_si128((const __m128i*)(y - 2 * s));
        e.p0 = _mm_loadu_si128((const __m128i*)(y - s));
        e.q0 = r[0];
        e.q1 = r[1];
        e.q2 = r[2];
        e.q3 = r[3];
        mb_edge(&e);
        _mm_storeu_si128((__m128i*)(y - 3 * s), e.p2);
        _mm_storeu_si128((__m128i*)(y - 2 * s), e.p1);
        _mm_storeu_si128((__m128i*)(y - s), e.p0);
        r[0] = e.q0;
        r[1] = e.q1;
        r[2] = e.q2;
    }
    if (inner) {
        inner_edges16(r, inner_edge);
    }
#pragma GCC unroll 16
    for (u32 i = 0; i < 16; i++) _mm_storeu_si128((__m128i*)(y + i * s), r[i]);
}

void vp8_filter_simple_mb_sse2(u8* y, u64 stride, const Vp8FilterInfo* f, bool left, bool top) {
    int limit = f->limit;
    auto mb_edge = [limit](Edge* e) QB_FORCE_LAMBDA { filter2(e, small_mask(*e, limit + 4)); };
    auto inner_edge = [limit](Edge* e) QB_FORCE_LAMBDA { filter2(e, small_mask(*e, limit)); };
    luma_edges(y, (i64)stride, left, top, f->inner, mb_edge, inner_edge);
}

void vp8_filter_normal_mb_sse2(u8* y, u8* u, u8* v, u64 y_stride, u64 uv_stride, const Vp8FilterInfo* f,
                               bool left, bool top) {
    i64 cs = (i64)uv_stride;
    int limit = f->limit, il = f->ilevel, hev = f->hev;
    auto mb_edge = [=](Edge* e) QB_FORCE_LAMBDA { filter_mb(e, limit + 4, il, hev); };
    auto inner_edge = [=](Edge* e) QB_FORCE_LAMBDA { filter_inner(e, limit, il, hev); };
    luma_edges(y, (i64)y_stride, left, top, f->inner, mb_edge, inner_edge);
    vertical_edges(u, v, cs, left, f->inner, 2, mb_edge, inner_edge);
    if (top) {
        Edge e = load_rows_uv(u, v, cs);
        filter_mb(&e, limit + 4, il, hev);
        store_rows_uv(e, u, v, cs);
    }
    if (f->inner) {
        Edge e = load_rows_uv(u + 4 * cs, v + 4 * cs, cs);
        filter_inner(&e, limit, il, hev);
        store_rows_uv(e, u + 4 * cs, v + 4 * cs, cs);
    }
}

// ---- Inverse DCT --------------------------------------------------------------------

void vp8_idct_add_sse2(const i16* in, u8* dst, u64 stride) {
    __m128i m01, m23;
    idct_rows(in, &m01, &m23);
    const __m128i zero = _mm_setzero_si128();
    const __m128i res[4] = {m01, _mm_srli_si128(m01, 8), m23, _mm_srli_si128(m23, 8)};
    for (u32 i = 0; i < 4; i++) {
        u8* row = dst + i * stride;
        u32 px;
        memcpy(&px, row, 4);
        __m128i p = _mm_unpacklo_epi8(_mm_cvtsi32_si128((int)px), zero);
        px = (u32)_mm_cvtsi128_si32(_mm_packus_epi16(_mm_add_epi16(p, res[i]), zero));
        memcpy(row, &px, 4);
    }
}

// Two blocks side by side (coefficients in[0..15] and in[16..31], pixels
// dst[0..3] and dst[4..7] of each row): the same arithmetic in eight lanes,
// the first block in the low half of every register.
void vp8_idct_add2_sse2(const i16* in, u8* dst, u64 stride) {
    auto both = [in](u32 r) {
        return _mm_unpacklo_epi64(_mm_loadl_epi64((const __m128i*)(in + 4 * r)),
                                  _mm_loadl_epi64((const __m128i*)(in + 16 + 4 * r)));
    };
    __m128i o[4];
    idct_pass(both(0), both(1), both(2), both(3), o);
    // Lanes become rows: register k holds column k of each block.
    __m128i a01 = _mm_unpacklo_epi16(o[0], o[1]), a23 = _mm_unpacklo_epi16(o[2], o[3]);
    __m128i b01 = _mm_unpackhi_epi16(o[0], o[1]), b23 = _mm_unpackhi_epi16(o[2], o[3]);
    __m128i alo = _mm_unpacklo_epi32(a01, a23), ahi = _mm_unpackhi_epi32(a01, a23);
    __m128i blo = _mm_unpacklo_epi32(b01, b23), bhi = _mm_unpackhi_epi32(b01, b23);
    __m128i c0 = _mm_unpacklo_epi64(alo, blo), c1 = _mm_unpackhi_epi64(alo, blo);
    __m128i c2 = _mm_unpacklo_epi64(ahi, bhi), c3 = _mm_unpackhi_epi64(ahi, bhi);
    idct_pass(_mm_add_epi16(c0, _mm_set1_epi16(4)), c1, c2, c3, o);
    for (u32 k = 0; k < 4; k++) o[k] = _mm_srai_epi16(o[k], 3);
    // And back: register i holds row i of the first block, then of the second.
    a01 = _mm_unpacklo_epi16(o[0], o[1]);
    a23 = _mm_unpacklo_epi16(o[2], o[3]);
    b01 = _mm_unpackhi_epi16(o[0], o[1]);
    b23 = _mm_unpackhi_epi16(o[2], o[3]);
    __m128i ar01 = _mm_unpacklo_epi32(a01, a23), ar23 = _mm_unpackhi_epi32(a01, a23);
    __m128i br01 = _mm_unpacklo_epi32(b01, b23), br23 = _mm_unpackhi_epi32(b01, b23);
    __m128i rows[4] = {_mm_unpacklo_epi64(ar01, br01), _mm_unpackhi_epi64(ar01, br01), _mm_unpacklo_epi64(ar23, br23),
                       _mm_unpackhi_epi64(ar23, br23)};
    const __m128i zero = _mm_setzero_si128();
    for (u32 i = 0; i < 4; i++) {
        u8* row = dst + i * stride;
        __m128i p = _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i*)row), zero);
        _mm_storel_epi64((__m128i*)row, _mm_packus_epi16(_mm_add_epi16(p, rows[i]), zero));
    }
}

// The short form: the residue from vp8_idct_sse2.h added to the block.
void vp8_idct_add_ac3_sse2(const i16* in, u8* dst, u64 stride) {
    __m128i m01, m23;
    const __m128i zero = _mm_setzero_si128();
    ac3_rows(in, &m01, &m23);
    u32 r[4];
    for (u32 i = 0; i < 4; i++) memcpy(&r[i], dst + i * stride, 4);
    __m128i p01 = _mm_unpacklo_epi8(_mm_unpacklo_epi32(_mm_cvtsi32_si128((int)r[0]), _mm_cvtsi32_si128((int)r[1])), zero);
    __m128i p23 = _mm_unpacklo_epi8(_mm_unpacklo_epi32(_mm_cvtsi32_si128((int)r[2]), _mm_cvtsi32_si128((int)r[3])), zero);
    __m128i out = _mm_packus_epi16(_mm_add_epi16(p01, m01), _mm_add_epi16(p23, m23));
    for (u32 i = 0; i < 4; i++) {
        r[i] = (u32)_mm_cvtsi128_si32(out);
        memcpy(dst + i * stride, &r[i], 4);
        out = _mm_srli_si128(out, 4);
    }
}

// Coefficient 0 only: one value added to the 16 pixels.
void vp8_idct_add_dc_sse2(const i16* in, u8* dst, u64 stride) {
    __m128i dc = _mm_set1_epi16((short)((in[0] + 4) >> 3));
    __m128i zero = _mm_setzero_si128();
    u32 r[4];
    for (u32 i = 0; i < 4; i++) memcpy(&r[i], dst + i * stride, 4);
    __m128i p01 = _mm_unpacklo_epi8(_mm_unpacklo_epi32(_mm_cvtsi32_si128((int)r[0]), _mm_cvtsi32_si128((int)r[1])), zero);
    __m128i p23 = _mm_unpacklo_epi8(_mm_unpacklo_epi32(_mm_cvtsi32_si128((int)r[2]), _mm_cvtsi32_si128((int)r[3])), zero);
    __m128i out = _mm_packus_epi16(_mm_add_epi16(p01, dc), _mm_add_epi16(p23, dc));
    for (u32 i = 0; i < 4; i++) {
        r[i] = (u32)_mm_cvtsi128_si32(out);
        memcpy(dst + i * stride, &r[i], 4);
        out = _mm_srli_si128(out, 4);
    }
}

// ---- 4 x 4 prediction ----------------------------------------------------------------
// The edge as one vector, as the scalar kernel lays it out: the left column
// bottom to top, the corner, the 8 pixels above, the last of them once more.
// Every 3-tap and 2-tap average along it is computed at once and each row
// of a directional mode is 4 consecutive averages (or two interleaved).

static QB_FORCE_INLINE __m128i avg3_sse2(__m128i a, __m128i b, __m128i c) {
    // (a + 2 b + c + 2) >> 2 as the rounded average of b with (a + c) >> 1.
    __m128i half = _mm_subs_epu8(_mm_avg_epu8(a, c), _mm_and_si128(_mm_xor_si128(a, c), _mm_set1_epi8(1)));
    return _mm_avg_epu8(half, b);
}

static QB_FORCE_INLINE u32 at4(__m128i v) {
    return (u32)_mm_cvtsi128_si32(v);
}

static QB_FORCE_INLINE u32 splat4(u32 v) {
    return v * 0x01010101u;
}

static QB_FORCE_INLINE u32 avg3_u(u32 a, u32 b, u32 c) {
    return (a + 2 * b + c + 2) >> 2;
}

// The 4 rows of the prediction, first pixel in the low byte.
static QB_FORCE_INLINE void predict4(const u8* dst, u32 mode, u32* rows) {
    constexpr i64 S = VP8_WORK_STRIDE;
    u32 l0 = dst[-1], l1 = dst[S - 1], l2 = dst[2 * S - 1], l3 = dst[3 * S - 1];
    if (mode == VP8_B_HU) {
        rows[0] = ((l0 + l1 + 1) >> 1) | avg3_u(l0, l1, l2) << 8 | ((l1 + l2 + 1) >> 1) << 16 | avg3_u(l1, l2, l3) << 24;
        rows[1] = ((l1 + l2 + 1) >> 1) | avg3_u(l1, l2, l3) << 8 | ((l2 + l3 + 1) >> 1) << 16 | avg3_u(l2, l3, l3) << 24;
        rows[2] = ((l2 + l3 + 1) >> 1) | avg3_u(l2, l3, l3) << 8 | l3 << 16 | l3 << 24;
        rows[3] = splat4(l3);
    } else if (mode == VP8_B_DC) {
        u32 sum = 4 + l0 + l1 + l2 + l3;
        for (i64 i = 0; i < 4; i++) sum += dst[i - S];
        rows[0] = rows[1] = rows[2] = rows[3] = splat4(sum >> 3);
    } else if (mode == VP8_B_TM) {
        __m128i zero = _mm_setzero_si128();
        u32 top;
        memcpy(&top, dst - S, 4);
        __m128i t = _mm_sub_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128((int)top), zero), _mm_set1_epi16(dst[-S - 1]));
        __m128i r01 = _mm_add_epi16(_mm_unpacklo_epi64(t, t), _mm_set_epi16((short)l1, (short)l1, (short)l1, (short)l1,
                                                                              (short)l0, (short)l0, (short)l0, (short)l0));
        __m128i r23 = _mm_add_epi16(_mm_unpacklo_epi64(t, t), _mm_set_epi16((short)l3, (short)l3, (short)l3, (short)l3,
                                                                              (short)l2, (short)l2, (short)l2, (short)l2));
        __m128i out = _mm_packus_epi16(r01, r23);
        rows[0] = at4(out);
        rows[1] = at4(_mm_srli_si128(out, 4));
        rows[2] = at4(_mm_srli_si128(out, 8));
        rows[3] = at4(_mm_srli_si128(out, 12));
    } else {
        __m128i top = _mm_loadu_si128((const __m128i*)(dst - S - 1));  // corner, 8 above, more
        __m128i e = _mm_or_si128(_mm_slli_si128(top, 4), _mm_cvtsi32_si128((int)(l3 | l2 << 8 | l1 << 16 | l0 << 24)));
        e = _mm_insert_epi16(e, dst[-S + 7] * 0x101, 6);  // bytes 12 and 13: the last pixel above, twice
        __m128i e1 = _mm_srli_si128(e, 1);
        __m128i a3 = avg3_sse2(e, e1, _mm_srli_si128(e, 2));
        __m128i a2 = _mm_avg_epu8(e, e1);
        switch (mode) {
        case VP8_B_VE:
            rows[0] = rows[1] = rows[2] = rows[3] = at4(_mm_srli_si128(a3, 4));
            break;
        case VP8_B_HE: {
            u32 v = at4(a3);
            rows[0] = splat4((v >> 16) & 255);
            rows[1] = splat4((v >> 8) & 255);
            rows[2] = splat4(v & 255);
            rows[3] = splat4(avg3_u(l2, l3, l3));
            break;
        }
        case VP8_B_LD:
            rows[0] = at4(_mm_srli_si128(a3, 5));
            rows[1] = at4(_mm_srli_si128(a3, 6));
            rows[2] = at4(_mm_srli_si128(a3, 7));
            rows[3] = at4(_mm_srli_si128(a3, 8));
            break;
        case VP8_B_RD:
            rows[0] = at4(_mm_srli_si128(a3, 3));
            rows[1] = at4(_mm_srli_si128(a3, 2));
            rows[2] = at4(_mm_srli_si128(a3, 1));
            rows[3] = at4(a3);
            break;
        case VP8_B_VR: {
            u32 low = at4(a3);
            rows[0] = at4(_mm_srli_si128(a2, 4));
            rows[1] = at4(_mm_srli_si128(a3, 3));
            rows[2] = rows[0] << 8 | ((low >> 16) & 255);
            rows[3] = rows[1] << 8 | ((low >> 8) & 255);
            break;
        }
        case VP8_B_VL: {
            u32 far = at4(_mm_srli_si128(a3, 9));
            rows[0] = at4(_mm_srli_si128(a2, 5));
            rows[1] = at4(_mm_srli_si128(a3, 5));
            rows[2] = (at4(_mm_srli_si128(a2, 6)) & 0xFFFFFF) | (far & 255) << 24;
            rows[3] = (at4(_mm_srli_si128(a3, 6)) & 0xFFFFFF) | ((far >> 8) & 255) << 24;
            break;
        }
        default: {  // HD: 2-tap and 3-tap averages interleaved
            __m128i mix = _mm_unpacklo_epi8(a2, a3);
            rows[3] = at4(mix);
            rows[2] = at4(_mm_srli_si128(mix, 2));
            rows[1] = at4(_mm_srli_si128(mix, 4));
            rows[0] = (at4(_mm_srli_si128(mix, 6)) & 0xFFFF) | at4(_mm_srli_si128(a3, 4)) << 16;
            break;
        }
        }
    }
}

void vp8_predict_luma4_sse2(u8* dst, u32 mode) {
    u32 rows[4];
    predict4(dst, mode, rows);
    for (i64 y = 0; y < 4; y++) memcpy(dst + y * VP8_WORK_STRIDE, &rows[y], 4);
}

// Prediction and residue in one step: the predicted rows stay in registers
// for the transform's sum, in 16-bit lanes, rows 0 and 1 in one register
// and rows 2 and 3 in the other. The coefficients used are cleared.
void vp8_luma4_add_sse2(u8* dst, u32 mode, u32 kind, i16* in) {
    u32 rows[4];
    predict4(dst, mode, rows);
    if (kind != 0) {
        __m128i m01, m23;
        residue_rows(in, kind, &m01, &m23);
        const __m128i zero = _mm_setzero_si128();
        __m128i p01 = _mm_unpacklo_epi8(_mm_unpacklo_epi32(_mm_cvtsi32_si128((int)rows[0]), _mm_cvtsi32_si128((int)rows[1])), zero);
        __m128i p23 = _mm_unpacklo_epi8(_mm_unpacklo_epi32(_mm_cvtsi32_si128((int)rows[2]), _mm_cvtsi32_si128((int)rows[3])), zero);
        __m128i out = _mm_packus_epi16(_mm_add_epi16(p01, m01), _mm_add_epi16(p23, m23));
        rows[0] = (u32)_mm_cvtsi128_si32(out);
        rows[1] = (u32)_mm_cvtsi128_si32(_mm_srli_si128(out, 4));
        rows[2] = (u32)_mm_cvtsi128_si32(_mm_srli_si128(out, 8));
        rows[3] = (u32)_mm_cvtsi128_si32(_mm_srli_si128(out, 12));
    }
    for (i64 y = 0; y < 4; y++) memcpy(dst + y * VP8_WORK_STRIDE, &rows[y], 4);
}

// ---- 16 x 16 and 8 x 8 prediction --------------------------------------------------
// Every mode a row at a time: DC sums the edges with a sum of absolute
// differences against zero, V repeats the row above, H each left pixel,
// TM (left + above - corner, clipped) works in 16-bit lanes.

template <u32 size>
static QB_FORCE_INLINE void store_row(u8* dst, __m128i row) {
    if (size == 16) {
        _mm_storeu_si128((__m128i*)dst, row);
    } else {
        _mm_storel_epi64((__m128i*)dst, row);
    }
}

template <u32 size>
static QB_FORCE_INLINE __m128i load_row(const u8* src) {
    return size == 16 ? _mm_loadu_si128((const __m128i*)src) : _mm_loadl_epi64((const __m128i*)src);
}

template <u32 size>
static QB_FORCE_INLINE void predict_tm(u8* dst) {
    constexpr i64 S = VP8_WORK_STRIDE;
    const __m128i zero = _mm_setzero_si128();
    __m128i corner = _mm_set1_epi16(dst[-S - 1]);
    __m128i top = load_row<size>(dst - S);
    __m128i lo = _mm_sub_epi16(_mm_unpacklo_epi8(top, zero), corner);
    __m128i hi = _mm_sub_epi16(_mm_unpackhi_epi8(top, zero), corner);
    for (u32 y = 0; y < size; y++) {
        __m128i left = _mm_set1_epi16(dst[y * S - 1]);
        store_row<size>(dst + y * S, _mm_packus_epi16(_mm_add_epi16(lo, left), _mm_add_epi16(hi, left)));
    }
}

template <u32 size, u32 log2>
static QB_FORCE_INLINE void predict_whole(u8* dst, u32 mode, bool has_top, bool has_left) {
    constexpr i64 S = VP8_WORK_STRIDE;
    if (mode == VP8_TM_PRED) {
        predict_tm<size>(dst);
    } else if (mode == VP8_V_PRED) {
        __m128i top = load_row<size>(dst - S);
        for (u32 y = 0; y < size; y++) store_row<size>(dst + y * S, top);
    } else if (mode == VP8_H_PRED) {
        for (u32 y = 0; y < size; y++) store_row<size>(dst + y * S, _mm_set1_epi8((char)dst[y * S - 1]));
    } else {
        u32 sum = 0;
        if (has_top) {
            __m128i sad = _mm_sad_epu8(load_row<size>(dst - S), _mm_setzero_si128());
            sum = (u32)_mm_cvtsi128_si32(_mm_add_epi32(sad, _mm_srli_si128(sad, 8)));
        }
        if (has_left) {
#pragma GCC unroll 16
            for (u32 y = 0; y < size; y++) sum += dst[y * S - 1];
        }
        u32 value = 128;
        if (has_top && has_left) {
            value = (sum + size) >> (log2 + 1);
        } else if (has_top || has_left) {
            value = (sum + (size >> 1)) >> log2;
        }
        __m128i row = _mm_set1_epi8((char)value);
        for (u32 y = 0; y < size; y++) store_row<size>(dst + y * S, row);
    }
}

void vp8_predict_luma16_sse2(u8* dst, u32 mode, bool has_top, bool has_left) {
    predict_whole<16, 4>(dst, mode, has_top, has_left);
}

void vp8_predict_chroma8_sse2(u8* dst, u32 mode, bool has_top, bool has_left) {
    predict_whole<8, 3>(dst, mode, has_top, has_left);
}

// ---- Upsampling and conversion in one pass -------------------------------------------
// Eight pairs of pixels at a time, one pair per 16-bit lane: the chroma
// columns come in unpacked into the high bytes (x << 8, the form the
// conversion's multiplies want) and are upsampled there by word averages,
// exact in that form, finished by a byte average (the AVX2 file explains
// the steps); luma splits into the pairs' first and second pixels by a
// shift and a mask, and the packed channels are interleaved back into
// pixel order at the end.

namespace {
struct ChromaPairs {
    __m128i a_first, a_second;  // the pixels of the row nearer a
    __m128i b_first, b_second;  // the row nearer b
};
}  // namespace

// The chroma of 8 pairs from columns i..i+8 of chroma rows a and b.
static QB_FORCE_INLINE ChromaPairs chroma_pairs(const u8* a, const u8* b) {
    const __m128i zero = _mm_setzero_si128();
    __m128i a0 = _mm_unpacklo_epi8(zero, _mm_loadl_epi64((const __m128i*)a));
    __m128i a1 = _mm_unpacklo_epi8(zero, _mm_loadl_epi64((const __m128i*)(a + 1)));
    __m128i b0 = _mm_unpacklo_epi8(zero, _mm_loadl_epi64((const __m128i*)b));
    __m128i b1 = _mm_unpacklo_epi8(zero, _mm_loadl_epi64((const __m128i*)(b + 1)));
    __m128i s = _mm_avg_epu16(a0, b1);
    __m128i t = _mm_avg_epu16(a1, b0);
    __m128i st = _mm_avg_epu16(s, t);
    const __m128i high = _mm_set1_epi16((short)0xFF00);
    __m128i q = _mm_and_si128(_mm_avg_epu16(st, t), high);
    __m128i q2 = _mm_and_si128(_mm_avg_epu16(st, s), high);
    ChromaPairs c;
    c.a_first = _mm_avg_epu8(a0, q);
    c.a_second = _mm_avg_epu8(a1, q2);
    c.b_first = _mm_avg_epu8(b0, q2);
    c.b_second = _mm_avg_epu8(b1, q);
    return c;
}

// R, G and B of 8 pixels from y, u, v as x << 8, with 6 fractional bits
// dropped, for the pack that follows to clip.
namespace {
struct Channels {
    __m128i r, g, b;
};
}  // namespace

static QB_FORCE_INLINE Channels channels(__m128i y, __m128i u, __m128i v) {
    __m128i luma = _mm_mulhi_epu16(y, _mm_set1_epi16((short)19077));
    Channels c;
    c.r = _mm_subs_epu16(_mm_add_epi16(luma, _mm_mulhi_epu16(v, _mm_set1_epi16((short)26149))),
                         _mm_set1_epi16((short)14234));
    // One saturating subtraction of both terms is the two in turn: their sum
    // stays below 19661.
    __m128i uv = _mm_add_epi16(_mm_mulhi_epu16(u, _mm_set1_epi16((short)6419)),
                               _mm_mulhi_epu16(v, _mm_set1_epi16((short)13320)));
    c.g = _mm_subs_epu16(_mm_add_epi16(luma, _mm_set1_epi16((short)8708)), uv);
    c.b = _mm_subs_epu16(_mm_add_epi16(luma, _mm_mulhi_epu16(u, _mm_set1_epi16((short)33050))),
                         _mm_set1_epi16((short)17685));
    c.r = _mm_srli_epi16(c.r, 6);
    c.g = _mm_srli_epi16(c.g, 6);
    c.b = _mm_srli_epi16(c.b, 6);
    return c;
}

// One row's 8 pairs: luma from y, the pairs' chroma, 64 bytes to out.
static QB_FORCE_INLINE void row8(const u8* y, __m128i u_first, __m128i u_second, __m128i v_first, __m128i v_second,
                                 u8* out) {
    __m128i luma = _mm_loadu_si128((const __m128i*)y);
    Channels f = channels(_mm_slli_epi16(luma, 8), u_first, v_first);
    Channels s = channels(_mm_and_si128(luma, _mm_set1_epi16((short)0xFF00)), u_second, v_second);
    // Packed as 8 firsts then 8 seconds; R and G paired per pixel, firsts
    // and seconds, then interleaved into pixel order with B and alpha.
    __m128i r = _mm_packus_epi16(f.r, s.r);
    __m128i g = _mm_packus_epi16(f.g, s.g);
    __m128i b = _mm_packus_epi16(f.b, s.b);
    const __m128i alpha = _mm_set1_epi8((char)0xFF);
    __m128i rg_first = _mm_unpacklo_epi8(r, g);
    __m128i rg_second = _mm_unpackhi_epi8(r, g);
    __m128i ba_first = _mm_unpacklo_epi8(b, alpha);
    __m128i ba_second = _mm_unpackhi_epi8(b, alpha);
    __m128i rg_lo = _mm_unpacklo_epi16(rg_first, rg_second);  // pixels 0-7
    __m128i rg_hi = _mm_unpackhi_epi16(rg_first, rg_second);  // pixels 8-15
    __m128i ba_lo = _mm_unpacklo_epi16(ba_first, ba_second);
    __m128i ba_hi = _mm_unpackhi_epi16(ba_first, ba_second);
    _mm_storeu_si128((__m128i*)out, _mm_unpacklo_epi16(rg_lo, ba_lo));
    _mm_storeu_si128((__m128i*)(out + 16), _mm_unpackhi_epi16(rg_lo, ba_lo));
    _mm_storeu_si128((__m128i*)(out + 32), _mm_unpacklo_epi16(rg_hi, ba_hi));
    _mm_storeu_si128((__m128i*)(out + 48), _mm_unpackhi_epi16(rg_hi, ba_hi));
}

// Steps of 8 pairs along the row nearer a, and with `both` the row
// nearer b too, from the chroma averages worked out once. The last step
// ends on the last pair, overlapping the one before it (the pixels it
// writes twice get the same values).
template <bool both>
static QB_FORCE_INLINE void pair_rows(const u8* y0, const u8* y1, const u8* ua, const u8* ub, const u8* va,
                                      const u8* vb, u8* out0, u8* out1, u32 pairs) {
    for (u32 step = 0; step < pairs; step += 8) {
        u32 i = step + 8 <= pairs ? step : pairs - 8;
        ChromaPairs u = chroma_pairs(ua + i, ub + i);
        ChromaPairs v = chroma_pairs(va + i, vb + i);
        row8(y0 + 2 * i, u.a_first, u.a_second, v.a_first, v.a_second, out0 + 8 * i);
        if constexpr (both) row8(y1 + 2 * i, u.b_first, u.b_second, v.b_first, v.b_second, out1 + 8 * i);
    }
}

void vp8_pairs_to_rgba_sse2(const u8* y, const u8* un, const u8* uf, const u8* vn, const u8* vf, u8* out,
                            u32 pairs) {
    if (pairs < 8) {
        vp8_pairs_to_rgba_scalar(y, un, uf, vn, vf, out, pairs);
        return;
    }
    pair_rows<false>(y, nullptr, un, uf, vn, vf, out, nullptr, pairs);
}

void vp8_pairs_to_rgba2_sse2(const u8* y0, const u8* y1, const u8* ua, const u8* ub, const u8* va, const u8* vb,
                             u8* out0, u8* out1, u32 pairs) {
    if (pairs < 8) {
        vp8_pairs_to_rgba2_scalar(y0, y1, ua, ub, va, vb, out0, out1, pairs);
        return;
    }
    pair_rows<true>(y0, y1, ua, ub, va, vb, out0, out1, pairs);
}

// ---- Alpha from green --------------------------------------------------------------------
// Four pixels a step: the green byte of each ARGB word moved up to the alpha
// byte of the RGBA word (plus the alpha above, bytewise, wrapping as the
// scalar sum does), the colour bytes kept.

void alph_green_to_alpha_sse2(const u8* argb, const u8* above, u8* rgba, u32 width) {
    const __m128i alpha = _mm_set1_epi32((int)0xFF000000u);
    u32 x = 0;
    for (; x + 4 <= width; x += 4) {
        __m128i g = _mm_and_si128(_mm_slli_epi32(_mm_loadu_si128((const __m128i*)(argb + 4 * x)), 16), alpha);
        if (above) g = _mm_add_epi8(g, _mm_and_si128(_mm_loadu_si128((const __m128i*)(above + 4 * x)), alpha));
        __m128i px = _mm_loadu_si128((const __m128i*)(rgba + 4 * x));
        _mm_storeu_si128((__m128i*)(rgba + 4 * x), _mm_or_si128(_mm_andnot_si128(alpha, px), g));
    }
    alph_green_to_alpha_scalar(argb + 4 * x, above ? above + 4 * x : nullptr, rgba + 4 * x, width - x);
}
