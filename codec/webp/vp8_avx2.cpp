// AVX2 twins of the lossy decoder's kernels: the normal loop filter with
// chroma edges beside luma ones (see its section), and the fused
// upsampling and conversion, sixteen pairs of pixels at a time.
#include <immintrin.h>

#include "codec/webp/vp8.h"
#include "codec/webp/vp8_filter_sse2.h"
#include "codec/webp/vp8_idct_sse2.h"
#include "codec/webp/vp8_tokens_impl.h"

// ---- Upsampling and conversion ---------------------------------------------------------
// Each 16-bit lane holds one pair of pixels, and the lanes are laid out so
// that the final interleave stores without a lane-crossing step: the low
// 128-bit half works on pairs 0, 1, 4, 5, 8, 9, 12 and 13 of a step, the
// high half on pairs 2, 3, 6, 7, 10, 11, 14 and 15, so that each 32-byte
// store takes two pairs from each half, in order. Luma gets there by one
// dword permute; the chroma columns by a byte shuffle of a 16-byte
// broadcast, which also puts them in the high byte (x << 8, the form the
// conversion's multiplies want).
//
// The upsampling works on those x << 8 values with word averages, which
// are exact there (the sums it averages are always even): with a0, a1 the
// near row's two columns and b0, b1 the far row's,
//   s = (a0 + b1) / 2, t = (a1 + b0) / 2, st = (s + t) / 2,
//   q = (st + t) / 2 = (a0 + b1 + 3 (a1 + b0)) / 8, in 8.8 fixed point.
// The first pixel's chroma, (((a0 + b1 + 3 (a1 + b0) + 8) >> 3) + a0) >> 1
// in integers, is the rounded-up average of a0 and q's integer part: a byte
// average of a0 and q with its fraction cleared, whose low bytes average to
// zero. The second pixel takes q' = (st + s) / 2 with a1; the far row's
// pixels take q' with b0 and q with b1, so q and q' serve both rows of a
// two-row call. (Checked against the integer form for every a0, a1, b0, b1.)
//
// No faster (the Kodak set's conversion, within noise): two steps per
// iteration; the next step's chroma first (software pipelining); R and G
// in signed words without saturating subtractions; prefetching the output;
// both columns of a pair from one shuffle, split by a shift and a mask.

// Byte shuffle of a 16-byte broadcast: lane i of each half takes its
// column (above) into its high byte, its low byte cleared.
static QB_FORCE_INLINE __m256i spread_columns(const u8* c) {
    const __m256i spread = _mm256_setr_epi8(-128, 0, -128, 1, -128, 4, -128, 5, -128, 8, -128, 9, -128, 12, -128, 13,
                                            -128, 2, -128, 3, -128, 6, -128, 7, -128, 10, -128, 11, -128, 14, -128, 15);
    return _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(_mm_loadu_si128((const __m128i*)c)), spread);
}

namespace {
struct ChromaPairs {
    __m256i a_first, a_second;  // the pixels of the row nearer a
    __m256i b_first, b_second;  // the row nearer b
};
}  // namespace

// The chroma of the 16 pairs from columns i..i+16 of chroma rows a and b,
// as x << 8 in the step's lane order.
static QB_FORCE_INLINE ChromaPairs chroma_pairs(const u8* a, const u8* b) {
    __m256i a0 = spread_columns(a), a1 = spread_columns(a + 1);
    __m256i b0 = spread_columns(b), b1 = spread_columns(b + 1);
    __m256i s = _mm256_avg_epu16(a0, b1);
    __m256i t = _mm256_avg_epu16(a1, b0);
    __m256i st = _mm256_avg_epu16(s, t);
    const __m256i high = _mm256_set1_epi16((short)0xFF00);
    __m256i q = _mm256_and_si256(_mm256_avg_epu16(st, t), high);
    __m256i q2 = _mm256_and_si256(_mm256_avg_epu16(st, s), high);
    ChromaPairs c;
    c.a_first = _mm256_avg_epu8(a0, q);
    c.a_second = _mm256_avg_epu8(a1, q2);
    c.b_first = _mm256_avg_epu8(b0, q2);
    c.b_second = _mm256_avg_epu8(b1, q);
    return c;
}

// R, G and B of 16 pixels from y, u, v as x << 8, as 16-bit values 0..255
// or above (the pack that follows saturates).
namespace {
struct Channels {
    __m256i r, g, b;
};
}  // namespace

static QB_FORCE_INLINE Channels channels(__m256i y, __m256i u, __m256i v) {
    __m256i luma = _mm256_mulhi_epu16(y, _mm256_set1_epi16((short)19077));
    Channels c;
    c.r = _mm256_subs_epu16(_mm256_add_epi16(luma, _mm256_mulhi_epu16(v, _mm256_set1_epi16((short)26149))),
                            _mm256_set1_epi16((short)14234));
    // One saturating subtraction of both terms is the two in turn: their sum
    // stays below 19661.
    __m256i uv = _mm256_add_epi16(_mm256_mulhi_epu16(u, _mm256_set1_epi16((short)6419)),
                                  _mm256_mulhi_epu16(v, _mm256_set1_epi16((short)13320)));
    c.g = _mm256_subs_epu16(_mm256_add_epi16(luma, _mm256_set1_epi16((short)8708)), uv);
    c.b = _mm256_subs_epu16(_mm256_add_epi16(luma, _mm256_mulhi_epu16(u, _mm256_set1_epi16((short)33050))),
                            _mm256_set1_epi16((short)17685));
    c.r = _mm256_srli_epi16(c.r, 6);
    c.g = _mm256_srli_epi16(c.g, 6);
    c.b = _mm256_srli_epi16(c.b, 6);
    return c;
}

// One row's 16 pairs: luma from y, the pairs' chroma, 128 bytes to out.
static QB_FORCE_INLINE void row16(const u8* y, __m256i u_first, __m256i u_second, __m256i v_first, __m256i v_second,
                                  u8* out) {
    // Pairs (dwords of two pairs) 0, 2, 4, 6 to the low half.
    __m256i luma = _mm256_permutevar8x32_epi32(_mm256_loadu_si256((const __m256i*)y),
                                               _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
    Channels f = channels(_mm256_slli_epi16(luma, 8), u_first, v_first);
    Channels s = channels(_mm256_and_si256(luma, _mm256_set1_epi16((short)0xFF00)), u_second, v_second);
    // Packed as 8 firsts then 8 seconds per half, then interleaved into
    // pixel order.
    const __m256i order = _mm256_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15,
                                           0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
    __m256i r = _mm256_shuffle_epi8(_mm256_packus_epi16(f.r, s.r), order);
    __m256i g = _mm256_shuffle_epi8(_mm256_packus_epi16(f.g, s.g), order);
    __m256i b = _mm256_shuffle_epi8(_mm256_packus_epi16(f.b, s.b), order);
    const __m256i alpha = _mm256_set1_epi8((char)0xFF);
    __m256i rg_lo = _mm256_unpacklo_epi8(r, g);
    __m256i rg_hi = _mm256_unpackhi_epi8(r, g);
    __m256i ba_lo = _mm256_unpacklo_epi8(b, alpha);
    __m256i ba_hi = _mm256_unpackhi_epi8(b, alpha);
    _mm256_storeu_si256((__m256i*)out, _mm256_unpacklo_epi16(rg_lo, ba_lo));
    _mm256_storeu_si256((__m256i*)(out + 32), _mm256_unpackhi_epi16(rg_lo, ba_lo));
    _mm256_storeu_si256((__m256i*)(out + 64), _mm256_unpacklo_epi16(rg_hi, ba_hi));
    _mm256_storeu_si256((__m256i*)(out + 96), _mm256_unpackhi_epi16(rg_hi, ba_hi));
}

void vp8_pairs_to_rgba_avx2(const u8* y, const u8* un, const u8* uf, const u8* vn, const u8* vf, u8* out,
                            u32 pairs) {
    if (pairs < 16) {
        vp8_pairs_to_rgba_sse2(y, un, uf, vn, vf, out, pairs);
        return;
    }
    // The last step ends on the last pair, overlapping the one before it.
    for (u32 step = 0; step < pairs; step += 16) {
        u32 i = step + 16 <= pairs ? step : pairs - 16;
        ChromaPairs u = chroma_pairs(un + i, uf + i);
        ChromaPairs v = chroma_pairs(vn + i, vf + i);
        row16(y + 2 * i, u.a_first, u.a_second, v.a_first, v.a_second, out + 8 * i);
    }
}

void vp8_pairs_to_rgba2_avx2(const u8* y0, const u8* y1, const u8* ua, const u8* ub, const u8* va, const u8* vb,
                             u8* out0, u8* out1, u32 pairs) {
    if (pairs < 16) {
        vp8_pairs_to_rgba2_sse2(y0, y1, ua, ub, va, vb, out0, out1, pairs);
        return;
    }
    for (u32 step = 0; step < pairs; step += 16) {
        u32 i = step + 16 <= pairs ? step : pairs - 16;
        ChromaPairs u = chroma_pairs(ua + i, ub + i);
        ChromaPairs v = chroma_pairs(va + i, vb + i);
        row16(y0 + 2 * i, u.a_first, u.a_second, v.a_first, v.a_second, out0 + 8 * i);
        row16(y1 + 2 * i, u.b_first, u.b_second, v.b_first, v.b_second, out1 + 8 * i);
    }
}

// ---- Loop filter: luma and chroma side by side -----------------------------------------
// The normal filter's macroblock with the chroma edges riding along with
// luma ones: the low half of each register holds 16 luma pixels across an
// edge, the high half 8 of U and 8 of V across the chroma edge of the same
// kind (the left edge, the first inner column, the top edge, the first
// inner row), so that four of the twelve edge filters come free. Luma's
// second and third inner edges run alone, as in the SSE2 kernel. The
// arithmetic is the SSE2 kernel's, lane for lane.

struct Edge2 {
    __m256i p3, p2, p1, p0, q0, q1, q2, q3;
};

static inline __m256i abs_diff2(__m256i a, __m256i b) {
    return _mm256_or_si256(_mm256_subs_epu8(a, b), _mm256_subs_epu8(b, a));
}

static inline __m256i small_mask2(const Edge2& e, int limit) {
    __m256i half = _mm256_srli_epi16(_mm256_and_si256(abs_diff2(e.p1, e.q1), _mm256_set1_epi8((char)0xFE)), 1);
    __m256i d = abs_diff2(e.p0, e.q0);
    __m256i sum = _mm256_adds_epu8(_mm256_adds_epu8(d, d), half);
    return _mm256_cmpeq_epi8(_mm256_subs_epu8(sum, _mm256_set1_epi8((char)limit)), _mm256_setzero_si256());
}

static inline __m256i flip2(__m256i v) {
    return _mm256_xor_si256(v, _mm256_set1_epi8((char)0x80));
}

static inline __m256i shr3_2(__m256i v) {
    __m256i lo = _mm256_srai_epi16(_mm256_unpacklo_epi8(v, v), 11);
    __m256i hi = _mm256_srai_epi16(_mm256_unpackhi_epi8(v, v), 11);
    return _mm256_packs_epi16(lo, hi);
}

static inline __m256i adjust_base2(__m256i sp0, __m256i sq0, __m256i base) {
    __m256i d = _mm256_subs_epi8(sq0, sp0);
    return _mm256_adds_epi8(_mm256_adds_epi8(_mm256_adds_epi8(base, d), d), d);
}

static QB_FORCE_INLINE void filter2_2(Edge2* e, __m256i mask) {
    __m256i sp1 = flip2(e->p1), sp0 = flip2(e->p0), sq0 = flip2(e->q0), sq1 = flip2(e->q1);
    __m256i a = adjust_base2(sp0, sq0, _mm256_subs_epi8(sp1, sq1));
    __m256i a1 = shr3_2(_mm256_adds_epi8(a, _mm256_set1_epi8(4)));
    __m256i a2 = shr3_2(_mm256_adds_epi8(a, _mm256_set1_epi8(3)));
    e->p0 = _mm256_blendv_epi8(e->p0, flip2(_mm256_adds_epi8(sp0, a2)), mask);
    e->q0 = _mm256_blendv_epi8(e->q0, flip2(_mm256_subs_epi8(sq0, a1)), mask);
}

static QB_FORCE_INLINE __m256i mask_of2(const Edge2& e, int limit, int ilevel, int hev, __m256i* hev_out) {
    __m256i inner = _mm256_max_epu8(_mm256_max_epu8(abs_diff2(e.p3, e.p2), abs_diff2(e.p2, e.p1)),
                                    _mm256_max_epu8(abs_diff2(e.q3, e.q2), abs_diff2(e.q2, e.q1)));
    __m256i near = _mm256_max_epu8(abs_diff2(e.p1, e.p0), abs_diff2(e.q1, e.q0));
    inner = _mm256_max_epu8(inner, near);
    __m256i zero = _mm256_setzero_si256();
    __m256i smooth = _mm256_cmpeq_epi8(_mm256_subs_epu8(inner, _mm256_set1_epi8((char)ilevel)), zero);
    *hev_out = _mm256_xor_si256(_mm256_cmpeq_epi8(_mm256_subs_epu8(near, _mm256_set1_epi8((char)hev)), zero),
                                _mm256_set1_epi8((char)0xFF));
    return _mm256_and_si256(small_mask2(e, limit), smooth);
}

static QB_FORCE_INLINE void filter_mb2(Edge2* e, int limit, int ilevel, int hev_t) {
    __m256i hev;
    __m256i mask = mask_of2(*e, limit, ilevel, hev_t, &hev);
    __m256i sp2 = flip2(e->p2), sp1 = flip2(e->p1), sp0 = flip2(e->p0);
    __m256i sq0 = flip2(e->q0), sq1 = flip2(e->q1), sq2 = flip2(e->q2);
    __m256i a = adjust_base2(sp0, sq0, _mm256_subs_epi8(sp1, sq1));
    __m256i lo = _mm256_srai_epi16(_mm256_unpacklo_epi8(a, a), 8);
    __m256i hi = _mm256_srai_epi16(_mm256_unpackhi_epi8(a, a), 8);
    __m256i k63 = _mm256_set1_epi16(63);
    auto weight = [&](short k) {
        __m256i l = _mm256_srai_epi16(_mm256_add_epi16(_mm256_mullo_epi16(lo, _mm256_set1_epi16(k)), k63), 7);
        __m256i h = _mm256_srai_epi16(_mm256_add_epi16(_mm256_mullo_epi16(hi, _mm256_set1_epi16(k)), k63), 7);
        return _mm256_packs_epi16(l, h);
    };
    __m256i a1 = weight(27), a2 = weight(18), a3 = weight(9);
    __m256i wide = _mm256_andnot_si256(hev, mask);
    Edge2 narrow = *e;
    filter2_2(&narrow, _mm256_and_si256(hev, mask));
    e->p2 = _mm256_blendv_epi8(e->p2, flip2(_mm256_adds_epi8(sp2, a3)), wide);
    e->p1 = _mm256_blendv_epi8(e->p1, flip2(_mm256_adds_epi8(sp1, a2)), wide);
    e->p0 = _mm256_blendv_epi8(narrow.p0, flip2(_mm256_adds_epi8(sp0, a1)), wide);
    e->q0 = _mm256_blendv_epi8(narrow.q0, flip2(_mm256_subs_epi8(sq0, a1)), wide);
    e->q1 = _mm256_blendv_epi8(e->q1, flip2(_mm256_subs_epi8(sq1, a2)), wide);
    e->q2 = _mm256_blendv_epi8(e->q2, flip2(_mm256_subs_epi8(sq2, a3)), wide);
}

static QB_FORCE_INLINE void filter_inner2(Edge2* e, int limit, int ilevel, int hev_t) {
    __m256i hev;
    __m256i mask = mask_of2(*e, limit, ilevel, hev_t, &hev);
    __m256i sp1 = flip2(e->p1), sp0 = flip2(e->p0), sq0 = flip2(e->q0), sq1 = flip2(e->q1);
    __m256i a = adjust_base2(sp0, sq0, _mm256_setzero_si256());
    __m256i a1 = shr3_2(_mm256_adds_epi8(a, _mm256_set1_epi8(4)));
    __m256i a2 = shr3_2(_mm256_adds_epi8(a, _mm256_set1_epi8(3)));
    __m256i a3 = flip2(_mm256_avg_epu8(flip2(a1), _mm256_set1_epi8((char)0x80)));
    __m256i wide = _mm256_andnot_si256(hev, mask);
    Edge2 narrow = *e;
    filter2_2(&narrow, _mm256_and_si256(hev, mask));
    e->p1 = _mm256_blendv_epi8(e->p1, flip2(_mm256_adds_epi8(sp1, a3)), wide);
    e->p0 = _mm256_blendv_epi8(narrow.p0, flip2(_mm256_adds_epi8(sp0, a2)), wide);
    e->q0 = _mm256_blendv_epi8(narrow.q0, flip2(_mm256_subs_epi8(sq0, a1)), wide);
    e->q1 = _mm256_blendv_epi8(e->q1, flip2(_mm256_subs_epi8(sq1, a3)), wide);
}

static QB_FORCE_INLINE __m256i pair(__m128i luma, __m128i chroma) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(luma), chroma, 1);
}

static QB_FORCE_INLINE Edge2 pair_edges(const Edge& l, const Edge& c) {
    return Edge2{pair(l.p3, c.p3), pair(l.p2, c.p2), pair(l.p1, c.p1), pair(l.p0, c.p0),
                 pair(l.q0, c.q0), pair(l.q1, c.q1), pair(l.q2, c.q2), pair(l.q3, c.q3)};
}

// The filtered rows back into the two edges (p3 and q3 never change).
static QB_FORCE_INLINE void split_edges(const Edge2& e, Edge* l, Edge* c) {
    auto lo = [](__m256i x) { return _mm256_castsi256_si128(x); };
    auto hi = [](__m256i x) { return _mm256_extracti128_si256(x, 1); };
    l->p2 = lo(e.p2), c->p2 = hi(e.p2);
    l->p1 = lo(e.p1), c->p1 = hi(e.p1);
    l->p0 = lo(e.p0), c->p0 = hi(e.p0);
    l->q0 = lo(e.q0), c->q0 = hi(e.q0);
    l->q1 = lo(e.q1), c->q1 = hi(e.q1);
    l->q2 = lo(e.q2), c->q2 = hi(e.q2);
}

// Edges of 8 columns (or rows) held in r and c: the one between 3 and 4.
static QB_FORCE_INLINE void inner_pair(__m128i* r, __m128i* c, int limit, int ilevel, int hev) {
    Edge l = {r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7]};
    Edge k = {c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]};
    Edge2 e = pair_edges(l, k);
    filter_inner2(&e, limit, ilevel, hev);
    split_edges(e, &l, &k);
    r[1] = l.p2, r[2] = l.p1, r[3] = l.p0, r[4] = l.q0, r[5] = l.q1, r[6] = l.q2;
    c[1] = k.p2, c[2] = k.p1, c[3] = k.p0, c[4] = k.q0, c[5] = k.q1, c[6] = k.q2;
}

void vp8_filter_normal_mb_avx2(u8* y, u8* u, u8* v, u64 y_stride, u64 uv_stride, const Vp8FilterInfo* f, bool left,
                               bool top) {
    bool inner = f->inner;
    if (!left && !top && !inner) return;
    i64 s = (i64)y_stride, cs = (i64)uv_stride;
    int limit = f->limit, il = f->ilevel, hev = f->hev;
    auto inner_edge = [=](Edge* e) QB_FORCE_LAMBDA { filter_inner(e, limit, il, hev); };
    __m128i r[16];
#pragma GCC unroll 16
    for (u32 i = 0; i < 16; i++) r[i] = _mm_loadu_si128((const __m128i*)(y + i * s));
    if (left || inner) {
        transpose16(r);  // r[k]: luma column k
        __m128i c[8] = {};  // c[k]: column k of U's 8 rows then V's
        load_16x4(u, v, cs, &c[0], &c[1], &c[2], &c[3]);
        if (inner) load_16x4(u + 4, v + 4, cs, &c[4], &c[5], &c[6], &c[7]);
        if (left) {
            Edge l, k;
            load_16x4(y - 4, y + 8 * s - 4, s, &l.p3, &l.p2, &l.p1, &l.p0);
            load_16x4(u - 4, v - 4, cs, &k.p3, &k.p2, &k.p1, &k.p0);
            l.q0 = r[0], l.q1 = r[1], l.q2 = r[2], l.q3 = r[3];
            k.q0 = c[0], k.q1 = c[1], k.q2 = c[2], k.q3 = c[3];
            Edge2 e = pair_edges(l, k);
            filter_mb2(&e, limit + 4, il, hev);
            split_edges(e, &l, &k);
            store_16x4(y - 4, y + 8 * s - 4, s, l.p3, l.p2, l.p1, l.p0);
            store_16x4(u - 4, v - 4, cs, k.p3, k.p2, k.p1, k.p0);
            r[0] = l.q0, r[1] = l.q1, r[2] = l.q2;
            c[0] = k.q0, c[1] = k.q1, c[2] = k.q2;
        }
        if (inner) {
            inner_pair(r, c, limit, il, hev);
            for (u32 k = 8; k < 16; k += 4) {
                Edge e = {r[k - 4], r[k - 3], r[k - 2], r[k - 1], r[k], r[k + 1], r[k + 2], r[k + 3]};
                inner_edge(&e);
                r[k - 3] = e.p2, r[k - 2] = e.p1, r[k - 1] = e.p0;
                r[k] = e.q0, r[k + 1] = e.q1, r[k + 2] = e.q2;
            }
            store_16x4(u + 4, v + 4, cs, c[4], c[5], c[6], c[7]);
        }
        store_16x4(u, v, cs, c[0], c[1], c[2], c[3]);
        transpose16(r);  // rows again
    }
    if (top) {
        Edge l, k = load_rows_uv(u, v, cs);
        l.p3 = _mm_loadu_si128((const __m128i*)(y - 4 * s));
        l.p2 = _mm_loadu_si128((const __m128i*)(y - 3 * s));
        l.p1 = _mm_loadu_si128((const __m128i*)(y - 2 * s));
        l.p0 = _mm_loadu_si128((const __m128i*)(y - s));
        l.q0 = r[0], l.q1 = r[1], l.q2 = r[2], l.q3 = r[3];
        Edge2 e = pair_edges(l, k);
        filter_mb2(&e, limit + 4, il, hev);
        split_edges(e, &l, &k);
        _mm_storeu_si128((__m128i*)(y - 3 * s), l.p2);
        _mm_storeu_si128((__m128i*)(y - 2 * s), l.p1);
        _mm_storeu_si128((__m128i*)(y - s), l.p0);
        r[0] = l.q0, r[1] = l.q1, r[2] = l.q2;
        store_rows_uv(k, u, v, cs);
    }
    if (inner) {
        Edge k = load_rows_uv(u + 4 * cs, v + 4 * cs, cs);
        __m128i c[8] = {k.p3, k.p2, k.p1, k.p0, k.q0, k.q1, k.q2, k.q3};
        inner_pair(r, c, limit, il, hev);
        k.p2 = c[1], k.p1 = c[2], k.p0 = c[3], k.q0 = c[4], k.q1 = c[5], k.q2 = c[6];
        store_rows_uv(k, u + 4 * cs, v + 4 * cs, cs);
        for (u32 j = 8; j < 16; j += 4) {
            Edge e = {r[j - 4], r[j - 3], r[j - 2], r[j - 1], r[j], r[j + 1], r[j + 2], r[j + 3]};
            inner_edge(&e);
            r[j - 3] = e.p2, r[j - 2] = e.p1, r[j - 1] = e.p0;
            r[j] = e.q0, r[j + 1] = e.q1, r[j + 2] = e.q2;
        }
    }
#pragma GCC unroll 16
    for (u32 i = 0; i < 16; i++) _mm_storeu_si128((__m128i*)(y + i * s), r[i]);
}

// ---- 4 x 4 prediction without a branch on the mode --------------------------------------
// The ten modes follow the image, so a branch on the mode is mispredicted
// about as often as not. Here every directional mode is a byte shuffle of
// the 3-tap and 2-tap averages along the edge, the left column bottom to
// top with its last pixel twice (so that the averages also give the
// bottom-left value l3 and (l2 + 2 l3 + l3 + 2) >> 2), the corner, the 8
// pixels above and the last of them again:
//   e = l3 l3 l2 l1 l0 P t0 .. t7 t7 -,  a3[k] = avg3(e[k], e[k+1], e[k+2]),
//   a2[k] = avg2(e[k], e[k+1]).
// DC's value goes in a2's unused last byte, so DC is a shuffle too; TM is
// computed beside and chosen by a mask.

// Each mode's 16 bytes (4 rows of 4): an index into a3 (0-15) or into a2
// (16 + 0-15).
static constexpr u8 A2 = 16;
static constexpr u8 k_luma4_sources[10][16] = {
    // DC: a2[15] holds the value
    {A2 + 15, A2 + 15, A2 + 15, A2 + 15, A2 + 15, A2 + 15, A2 + 15, A2 + 15, A2 + 15, A2 + 15, A2 + 15, A2 + 15,
     A2 + 15, A2 + 15, A2 + 15, A2 + 15},
    // TM: computed apart
    {0},
    // VE
    {5, 6, 7, 8, 5, 6, 7, 8, 5, 6, 7, 8, 5, 6, 7, 8},
    // HE
    {3, 3, 3, 3, 2, 2, 2, 2, 1, 1, 1, 1, 0, 0, 0, 0},
    // LD
    {6, 7, 8, 9, 7, 8, 9, 10, 8, 9, 10, 11, 9, 10, 11, 12},
    // RD
    {4, 5, 6, 7, 3, 4, 5, 6, 2, 3, 4, 5, 1, 2, 3, 4},
    // VR
    {A2 + 5, A2 + 6, A2 + 7, A2 + 8, 4, 5, 6, 7, 3, A2 + 5, A2 + 6, A2 + 7, 2, 4, 5, 6},
    // VL
    {A2 + 6, A2 + 7, A2 + 8, A2 + 9, 6, 7, 8, 9, A2 + 7, A2 + 8, A2 + 9, 10, 7, 8, 9, 11},
    // HD
    {A2 + 4, 4, 5, 6, A2 + 3, 3, A2 + 4, 4, A2 + 2, 2, A2 + 3, 3, A2 + 1, 1, A2 + 2, 2},
    // HU
    {A2 + 3, 2, A2 + 2, 1, A2 + 2, 1, A2 + 1, 0, A2 + 1, 0, A2 + 0, A2 + 0, A2 + 0, A2 + 0, A2 + 0, A2 + 0},
};

// The shuffle masks for a3 and a2 (0x80: a zero byte, filled from the
// other) and TM's selection mask, built once from the table above.
struct Luma4Masks {
    alignas(16) u8 from_a3[10][16];
    alignas(16) u8 from_a2[10][16];
    alignas(16) u8 tm[10][16];
};

static constexpr Luma4Masks make_luma4_masks() {
    Luma4Masks m{};
    for (u32 mode = 0; mode < 10; mode++) {
        for (u32 i = 0; i < 16; i++) {
            u8 at = k_luma4_sources[mode][i];
            bool tm = mode == VP8_B_TM;
            m.from_a3[mode][i] = tm || at >= A2 ? 0x80 : at;
            m.from_a2[mode][i] = tm || at < A2 ? 0x80 : (u8)(at - A2);
            m.tm[mode][i] = tm ? 0xFF : 0;
        }
    }
    return m;
}

static constexpr Luma4Masks k_luma4_masks = make_luma4_masks();

static QB_FORCE_INLINE __m128i predict4_shuffled(const u8* dst, u32 mode) {
    constexpr i64 S = VP8_WORK_STRIDE;
    u64 l0 = dst[-1], l1 = dst[S - 1], l2 = dst[2 * S - 1], l3 = dst[3 * S - 1];
    u32 p = dst[-S - 1];
    __m128i top = _mm_loadu_si128((const __m128i*)(dst - S - 1));  // corner, 8 above, more
    __m128i e = _mm_or_si128(_mm_slli_si128(top, 5),
                             _mm_cvtsi64_si128((long long)(l3 | l3 << 8 | l2 << 16 | l1 << 24 | l0 << 32)));
    e = _mm_insert_epi8(e, dst[-S + 7], 14);
    __m128i e1 = _mm_srli_si128(e, 1), e2 = _mm_srli_si128(e, 2);
    __m128i half = _mm_subs_epu8(_mm_avg_epu8(e, e2), _mm_and_si128(_mm_xor_si128(e, e2), _mm_set1_epi8(1)));
    __m128i a3 = _mm_avg_epu8(half, e1);
    __m128i a2 = _mm_avg_epu8(e, e1);
    // DC: the 4 above and the 4 to the left, rounded.
    __m128i t4 = _mm_cvtsi32_si128(_mm_cvtsi128_si32(_mm_srli_si128(top, 1)));  // the 4 above
    u32 dc = ((u32)_mm_cvtsi128_si32(_mm_sad_epu8(t4, _mm_setzero_si128())) + (u32)(l0 + l1 + l2 + l3) + 4) >> 3;
    a2 = _mm_insert_epi8(a2, (int)dc, 15);
    __m128i dir = _mm_or_si128(_mm_shuffle_epi8(a3, _mm_load_si128((const __m128i*)k_luma4_masks.from_a3[mode])),
                               _mm_shuffle_epi8(a2, _mm_load_si128((const __m128i*)k_luma4_masks.from_a2[mode])));
    // TM: left + above - corner, clamped, in 16-bit lanes.
    __m128i zero = _mm_setzero_si128();
    __m128i t = _mm_sub_epi16(_mm_unpacklo_epi8(t4, zero), _mm_set1_epi16((short)p));
    t = _mm_unpacklo_epi64(t, t);
    __m128i r01 = _mm_add_epi16(t, _mm_set_epi16((short)l1, (short)l1, (short)l1, (short)l1, (short)l0, (short)l0,
                                                 (short)l0, (short)l0));
    __m128i r23 = _mm_add_epi16(t, _mm_set_epi16((short)l3, (short)l3, (short)l3, (short)l3, (short)l2, (short)l2,
                                                 (short)l2, (short)l2));
    __m128i tm = _mm_packus_epi16(r01, r23);
    return _mm_blendv_epi8(dir, tm, _mm_load_si128((const __m128i*)k_luma4_masks.tm[mode]));
}

static QB_FORCE_INLINE void luma4_add(u8* dst, u32 mode, u32 kind, i16* in) {
    __m128i out = predict4_shuffled(dst, mode);
    if (kind != 0) {
        __m128i m01, m23;
        residue_rows(in, kind, &m01, &m23);
        const __m128i zero = _mm_setzero_si128();
        out = _mm_packus_epi16(_mm_add_epi16(_mm_unpacklo_epi8(out, zero), m01),
                               _mm_add_epi16(_mm_unpackhi_epi8(out, zero), m23));
    }
    constexpr i64 S = VP8_WORK_STRIDE;
    u32 r0 = (u32)_mm_cvtsi128_si32(out), r1 = (u32)_mm_extract_epi32(out, 1);
    u32 r2 = (u32)_mm_extract_epi32(out, 2), r3 = (u32)_mm_extract_epi32(out, 3);
    memcpy(dst, &r0, 4);
    memcpy(dst + S, &r1, 4);
    memcpy(dst + 2 * S, &r2, 4);
    memcpy(dst + 3 * S, &r3, 4);
}

void vp8_luma4_add_avx2(u8* dst, u32 mode, u32 kind, i16* in) {
    luma4_add(dst, mode, kind, in);
}

// ---- Tokens ------------------------------------------------------------------------------

bool vp8_parse_residuals_avx2(Vp8Decoder* d, u8* scratch, u32 mb_x, const Vp8MbModes* m, Vp8Bits* tokens,
                              u8* luma) {
    return parse_residuals(d, scratch, mb_x, m, tokens, luma, luma4_add);
}
