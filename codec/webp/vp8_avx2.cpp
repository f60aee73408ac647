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

// Steps of 16 pairs along the row nearer a, and with `both` the row
// nearer b too, from the chroma averages worked out once. The last step
// ends on the last pair, overlapping the one before it (the pixels it
// writes twice get the same values).
template <bool both>
static QB_FORCE_INLINE void pair_rows(const u8* y0, const u8* y1, const u8* ua, const u8* ub, const u8* va,
                                      const u8* vb, u8* out0, u8* out1, u32 pairs) {
    for (u32 step = 0; step < pairs; step += 16) {
        u32 i = step + 16 <= pairs ? step : pairs - 16;
        ChromaPairs u = chroma_pairs(ua + i, ub + i);
        ChromaPairs v = chroma_pairs(va + i, vb + i);
        row16(y0 + 2 * i, u.a_first, u.a_second, v.a_first, v.a_second, out0 + 8 * i);
        if constexpr (both) row16(y1 + 2 * i, u.b_first, u.b_second, v.b_first, v.b_second, out1 + 8 * i);
    }
}

void vp8_pairs_to_rgba_avx2(const u8* y, const u8* un, const u8* uf, const u8* vn, const u8* vf, u8* out,
                            u32 pairs) {
    if (pairs < 16) {
        vp8_pairs_to_rgba_sse2(y, un, uf, vn, vf, out, pairs);
        return;
    }
    pair_rows<false>(y, nullptr, un, uf, vn, vf, out, nullptr, pairs);
}

void vp8_pairs_to_rgba2_avx2(const u8* y0, const u8* y1, const u8* ua, const u8* ub, const u8* va, const u8* vb,
                             u8* out0, u8* out1, u32 pairs) {
    if (pairs < 16) {
        vp8_pairs_to_rgba2_sse2(y0, y1, ua, ub, va, vb, out0, out1, pairs);
        return;
    }
    pair_rows<true>(y0, y1, ua, ub, va, vb, out0, out1, pairs);
}

// ---- Loop filter: luma and chroma side by side -----------------------------------------
// The normal filter's macroblock with chroma riding along with luma. For
// the vertical edges the 16 rows are read as 32-byte registers, luma
// columns -4 to 11 in the low half and in the high half chroma columns -4
// to 7 (U's 8 rows, then V's) with luma columns 12 to 15, and one
// transpose of both halves makes 16 column registers: the left edge and the
// first inner edge filter luma and chroma together, luma's other two inner
// edges filter the low halves (and, for the last, the high halves swapped
// in). One transpose back and a dword permutation give luma's 16 rows with
// U's and V's rows beside them for the horizontal edges, the top edge and
// the first inner one again filtering both. Luma's second and third inner
// edges depend on each other, and every macroblock edge on the filtered
// pixels of the one before, so no other pairing keeps the order of
// operations. The filters add an adjustment masked to zero where an edge
// is not filtered (a zero adjustment leaves a pixel as it is) rather than
// choosing between filtered and unfiltered pixels; the arithmetic is the
// SSE2 kernel's, lane for lane, in the signed-byte form. About 116 ns a
// macroblock on the Kodak photos at quality 75, against 167 for the kernel
// that paired luma and chroma edge by edge. Tried and not kept: masking the
// adjustments after the shifts rather than before (the thresholds then run
// beside them: no change), the constants held opaque so that they are not
// rebuilt at each use (no change), pixels kept offset by 128 from edge to
// edge (1 to 2% faster, not worth a second form of the arithmetic).

struct Edge2 {
    __m256i p3, p2, p1, p0, q0, q1, q2, q3;
};

// An edge's thresholds for all lanes, set once per macroblock.
struct Thresholds2 {
    __m256i limit, ilevel, hev;
};

static inline __m256i abs_diff2(__m256i a, __m256i b) {
    return _mm256_or_si256(_mm256_subs_epu8(a, b), _mm256_subs_epu8(b, a));
}

static inline __m256i flip2(__m256i v) {
    return _mm256_xor_si256(v, _mm256_set1_epi8((char)0x80));
}

// 0xFF where the edge is filtered: 2 |p0 - q0| + |p1 - q1| / 2 <= limit and
// every step from p3 to p0 and from q0 to q3 within the interior limit;
// *not_hev: 0xFF where neither |p1 - p0| nor |q1 - q0| exceeds the variance
// threshold.
static QB_FORCE_INLINE __m256i edge_mask2(const Edge2& e, const Thresholds2& t, __m256i* not_hev) {
    __m256i near = _mm256_max_epu8(abs_diff2(e.p1, e.p0), abs_diff2(e.q1, e.q0));
    __m256i far = _mm256_max_epu8(_mm256_max_epu8(abs_diff2(e.p3, e.p2), abs_diff2(e.p2, e.p1)),
                                  _mm256_max_epu8(abs_diff2(e.q3, e.q2), abs_diff2(e.q2, e.q1)));
    __m256i zero = _mm256_setzero_si256();
    *not_hev = _mm256_cmpeq_epi8(_mm256_subs_epu8(near, t.hev), zero);
    __m256i half = _mm256_srli_epi16(_mm256_and_si256(abs_diff2(e.p1, e.q1), _mm256_set1_epi8((char)0xFE)), 1);
    __m256i d = abs_diff2(e.p0, e.q0);
    __m256i sum = _mm256_adds_epu8(_mm256_adds_epu8(d, d), half);
    __m256i over = _mm256_or_si256(_mm256_subs_epu8(sum, t.limit),
                                   _mm256_subs_epu8(_mm256_max_epu8(far, near), t.ilevel));
    return _mm256_cmpeq_epi8(over, zero);
}

// 3 (q0 - p0) + base, saturated step by step (signed).
static inline __m256i adjustment2(__m256i sp0, __m256i sq0, __m256i base) {
    __m256i d = _mm256_subs_epi8(sq0, sp0);
    return _mm256_adds_epi8(_mm256_adds_epi8(_mm256_adds_epi8(base, d), d), d);
}

// (a + k) >> 3 of a signed adjustment held offset by 128 (`fa`), offset by
// 16: 128 is a multiple of 8, so the unsigned shift of the offset value is
// the signed shift plus 16 (the saturating add is the signed one's).
static inline __m256i shr3_offset(__m256i fa, char k) {
    return _mm256_and_si256(_mm256_srli_epi16(_mm256_adds_epu8(fa, _mm256_set1_epi8(k)), 3),
                            _mm256_set1_epi8(0x1F));
}

// Macroblock edge: three pixels each side (weights 27, 18 and 9 / 128)
// where smooth and not high in variance, p0 and q0 with the outer taps
// where smooth and high in variance. `lanes` limits the filtered lanes.
static QB_FORCE_INLINE void filter_mb2(Edge2* e, const Thresholds2& t, __m256i lanes) {
    __m256i not_hev;
    __m256i mask = _mm256_and_si256(edge_mask2(*e, t, &not_hev), lanes);
    __m256i sp2 = flip2(e->p2), sp1 = flip2(e->p1), sp0 = flip2(e->p0);
    __m256i sq0 = flip2(e->q0), sq1 = flip2(e->q1), sq2 = flip2(e->q2);
    // The same base adjustment for both filters, cleared where neither runs.
    __m256i a = _mm256_and_si256(adjustment2(sp0, sq0, _mm256_subs_epi8(sp1, sq1)), mask);
    __m256i narrow = _mm256_andnot_si256(not_hev, a);
    __m256i fn = flip2(narrow);
    __m256i k16 = _mm256_set1_epi8(16);
    __m256i n1 = _mm256_sub_epi8(shr3_offset(fn, 4), k16);
    __m256i n2 = _mm256_sub_epi8(shr3_offset(fn, 3), k16);
    // 9 a, 18 a and 27 a, plus 63, over 128, in 16-bit lanes: a in the high
    // byte of each lane, times 9 / 256 with the high half of the product.
    __m256i wide = _mm256_and_si256(not_hev, a);
    __m256i zero = _mm256_setzero_si256();
    __m256i lo = _mm256_unpacklo_epi8(zero, wide), hi = _mm256_unpackhi_epi8(zero, wide);
    __m256i k9 = _mm256_set1_epi16(9 << 8), k63 = _mm256_set1_epi16(63);
    __m256i lo9 = _mm256_mulhi_epi16(lo, k9), hi9 = _mm256_mulhi_epi16(hi, k9);
    __m256i lo_a3 = _mm256_add_epi16(lo9, k63), hi_a3 = _mm256_add_epi16(hi9, k63);
    __m256i lo_a2 = _mm256_add_epi16(lo_a3, lo9), hi_a2 = _mm256_add_epi16(hi_a3, hi9);
    __m256i lo_a1 = _mm256_add_epi16(lo_a2, lo9), hi_a1 = _mm256_add_epi16(hi_a2, hi9);
    auto pack = [](__m256i l, __m256i h) {
        return _mm256_packs_epi16(_mm256_srai_epi16(l, 7), _mm256_srai_epi16(h, 7));
    };
    __m256i a1 = pack(lo_a1, hi_a1), a2 = pack(lo_a2, hi_a2), a3 = pack(lo_a3, hi_a3);
    e->p2 = flip2(_mm256_adds_epi8(sp2, a3));
    e->p1 = flip2(_mm256_adds_epi8(sp1, a2));
    e->p0 = flip2(_mm256_adds_epi8(sp0, _mm256_or_si256(a1, n2)));
    e->q0 = flip2(_mm256_subs_epi8(sq0, _mm256_or_si256(a1, n1)));
    e->q1 = flip2(_mm256_subs_epi8(sq1, a2));
    e->q2 = flip2(_mm256_subs_epi8(sq2, a3));
}

// Inner edge: p0 and q0 by (a + 3) >> 3 and (a + 4) >> 3 of a = 3 (q0 - p0),
// with the outer taps added where high in variance, and p1 and q1 by half
// the second where not.
static QB_FORCE_INLINE void filter_inner2(Edge2* e, const Thresholds2& t, __m256i lanes) {
    __m256i not_hev;
    __m256i mask = _mm256_and_si256(edge_mask2(*e, t, &not_hev), lanes);
    __m256i sp1 = flip2(e->p1), sp0 = flip2(e->p0), sq0 = flip2(e->q0), sq1 = flip2(e->q1);
    __m256i outer = _mm256_andnot_si256(not_hev, _mm256_subs_epi8(sp1, sq1));
    __m256i fa = flip2(_mm256_and_si256(adjustment2(sp0, sq0, outer), mask));
    __m256i k16 = _mm256_set1_epi8(16);
    __m256i t1 = shr3_offset(fa, 4);
    __m256i a1 = _mm256_sub_epi8(t1, k16);
    __m256i a2 = _mm256_sub_epi8(shr3_offset(fa, 3), k16);
    // (a1 + 1) >> 1 = (t1 + 1) >> 1 - 8.
    __m256i a3 = _mm256_and_si256(not_hev, _mm256_sub_epi8(_mm256_avg_epu8(t1, _mm256_setzero_si256()),
                                                           _mm256_set1_epi8(8)));
    e->p1 = flip2(_mm256_adds_epi8(sp1, a3));
    e->p0 = flip2(_mm256_adds_epi8(sp0, a2));
    e->q0 = flip2(_mm256_subs_epi8(sq0, a1));
    e->q1 = flip2(_mm256_subs_epi8(sq1, a3));
}

// Sixteen registers transposed in each half: four rounds of pairing
// register k with register k + 8 byte by byte.
static QB_FORCE_INLINE void transpose16x2(__m256i* x) {
#pragma GCC unroll 4
    for (u32 round = 0; round < 4; round++) {
        __m256i y[16];
#pragma GCC unroll 8
        for (u32 k = 0; k < 8; k++) {
            y[2 * k] = _mm256_unpacklo_epi8(x[k], x[k + 8]);
            y[2 * k + 1] = _mm256_unpackhi_epi8(x[k], x[k + 8]);
        }
#pragma GCC unroll 16
        for (u32 k = 0; k < 16; k++) x[k] = y[k];
    }
}

static QB_FORCE_INLINE __m256i pair(__m128i low, __m128i high) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

// An edge of the 8 registers from x[0].
static QB_FORCE_INLINE Edge2 edge_at(const __m256i* x) {
    return Edge2{x[0], x[1], x[2], x[3], x[4], x[5], x[6], x[7]};
}

static QB_FORCE_INLINE void put_inner(const Edge2& e, __m256i* x) {
    x[2] = e.p1, x[3] = e.p0, x[4] = e.q0, x[5] = e.q1;
}

// The rows of a horizontal edge: 16 of luma beside 8 of U and 8 of V.
static QB_FORCE_INLINE __m256i load_row(const u8* y, const u8* u, const u8* v) {
    __m128i uv = _mm_unpacklo_epi64(_mm_loadl_epi64((const __m128i*)u), _mm_loadl_epi64((const __m128i*)v));
    return pair(_mm_loadu_si128((const __m128i*)y), uv);
}

static QB_FORCE_INLINE void store_row(__m256i x, u8* y, u8* u, u8* v) {
    _mm_storeu_si128((__m128i*)y, _mm256_castsi256_si128(x));
    __m128i uv = _mm256_extracti128_si256(x, 1);
    _mm_storel_epi64((__m128i*)u, uv);
    _mm_storeh_pd((double*)v, _mm_castsi128_pd(uv));
}

// One macroblock, compiled for each combination of its edges.
template <bool left, bool top, bool inner>
static void normal_mb(u8* y, u8* u, u8* v, i64 s, i64 cs, const Vp8FilterInfo* f) {
    const Thresholds2 mb = {_mm256_set1_epi8((char)(f->limit + 4)), _mm256_set1_epi8((char)f->ilevel),
                            _mm256_set1_epi8((char)f->hev)};
    const Thresholds2 in = {_mm256_set1_epi8((char)f->limit), mb.ilevel, mb.hev};
    const __m256i all = _mm256_set1_epi8((char)0xFF);
    const __m256i low_half = _mm256_set_epi64x(0, 0, -1, -1);
    // h[k]: luma row k, and for k < 8 U's row k beside V's in the high half.
    __m256i h[16];
    if constexpr (left || inner) {
        // r[i]: luma row i from column -4 | chroma row i (U's rows, then V's)
        // from column -4, luma row i's columns 12 to 15 in its last 4 bytes.
        __m256i r[16];
#pragma GCC unroll 16
        for (u32 i = 0; i < 16; i++) {
            const u8* row = y + i * s;
            const u8* c = i < 8 ? u + i * cs : v + (i - 8) * cs;
            __m128i chroma = _mm_blend_epi32(_mm_loadu_si128((const __m128i*)(c - 4)),
                                             _mm_loadu_si128((const __m128i*)row), 8);
            r[i] = pair(_mm_loadu_si128((const __m128i*)(row - 4)), chroma);
        }
        transpose16x2(r);  // r[k]: luma column k - 4 | chroma column k - 4 (k < 12), luma column k (k >= 12)
        if constexpr (left) {
            Edge2 e = edge_at(r);
            filter_mb2(&e, mb, all);
            r[1] = e.p2, r[2] = e.p1, r[3] = e.p0, r[4] = e.q0, r[5] = e.q1, r[6] = e.q2;
        }
        if constexpr (inner) {
            Edge2 e = edge_at(r + 4);  // luma and chroma column 4
            filter_inner2(&e, in, all);
            put_inner(e, r + 4);
            e = edge_at(r + 8);  // luma column 8
            filter_inner2(&e, in, low_half);
            put_inner(e, r + 8);
            // Luma column 12: columns 8 to 11 in the low halves of r[12..15],
            // 12 to 15 in their high halves, swapped down.
            e = Edge2{r[12],
                      r[13],
                      r[14],
                      r[15],
                      _mm256_permute2x128_si256(r[12], r[12], 1),
                      _mm256_permute2x128_si256(r[13], r[13], 1),
                      _mm256_permute2x128_si256(r[14], r[14], 1),
                      _mm256_permute2x128_si256(r[15], r[15], 1)};
            filter_inner2(&e, in, low_half);
            r[14] = e.p1, r[15] = e.p0;
            r[12] = _mm256_inserti128_si256(r[12], _mm256_castsi256_si128(e.q0), 1);
            r[13] = _mm256_inserti128_si256(r[13], _mm256_castsi256_si128(e.q1), 1);
        }
        transpose16x2(r);  // rows again
        // Luma's columns 0 to 15 in the low half, chroma's 0 to 7 in the
        // high half (twice), and the columns left of the macroblock stored.
        const __m256i order = _mm256_setr_epi32(1, 2, 3, 7, 5, 6, 5, 6);
#pragma GCC unroll 16
        for (u32 i = 0; i < 16; i++) {
            if constexpr (left) {
                u8* c = i < 8 ? u + i * cs : v + (i - 8) * cs;
                _mm_storeu_si128((__m128i*)(y + i * s - 4), _mm256_castsi256_si128(r[i]));
                u32 before = (u32)_mm_cvtsi128_si32(_mm256_extracti128_si256(r[i], 1));
                memcpy(c - 4, &before, 4);
            }
            h[i] = _mm256_permutevar8x32_epi32(r[i], order);
        }
#pragma GCC unroll 8
        for (u32 k = 0; k < 8; k++) h[k] = _mm256_blend_epi32(h[k], h[k + 8], 0xC0);
    } else {
#pragma GCC unroll 16
        for (u32 k = 0; k < 16; k++) {
            h[k] = k < 8 ? load_row(y + k * s, u + k * cs, v + k * cs)
                         : _mm256_castsi128_si256(_mm_loadu_si128((const __m128i*)(y + k * s)));
        }
    }
    if constexpr (top) {
        Edge2 e = {load_row(y - 4 * s, u - 4 * cs, v - 4 * cs), load_row(y - 3 * s, u - 3 * cs, v - 3 * cs),
                   load_row(y - 2 * s, u - 2 * cs, v - 2 * cs), load_row(y - s, u - cs, v - cs),
                   h[0], h[1], h[2], h[3]};
        filter_mb2(&e, mb, all);
        store_row(e.p2, y - 3 * s, u - 3 * cs, v - 3 * cs);
        store_row(e.p1, y - 2 * s, u - 2 * cs, v - 2 * cs);
        store_row(e.p0, y - s, u - cs, v - cs);
        h[0] = e.q0, h[1] = e.q1, h[2] = e.q2;
    }
    if constexpr (inner) {
        Edge2 e = edge_at(h);  // luma and chroma row 4
        filter_inner2(&e, in, all);
        put_inner(e, h);
        e = edge_at(h + 4);  // luma row 8 (rows 6 and 7 carry chroma)
        filter_inner2(&e, in, low_half);
        put_inner(e, h + 4);
        e = edge_at(h + 8);  // luma row 12 (the high halves are not kept)
        filter_inner2(&e, in, all);
        put_inner(e, h + 8);
    }
#pragma GCC unroll 16
    for (u32 k = 0; k < 16; k++) {
        if (k < 8) {
            store_row(h[k], y + k * s, u + k * cs, v + k * cs);
        } else {
            _mm_storeu_si128((__m128i*)(y + k * s), _mm256_castsi256_si128(h[k]));
        }
    }
}

void vp8_filter_normal_mb_avx2(u8* y, u8* u, u8* v, u64 y_stride, u64 uv_stride, const Vp8FilterInfo* f, bool left,
                               bool top) {
    i64 s = (i64)y_stride, cs = (i64)uv_stride;
    switch ((left ? 4 : 0) | (top ? 2 : 0) | (f->inner ? 1 : 0)) {
        case 7: return normal_mb<true, true, true>(y, u, v, s, cs, f);
        case 6: return normal_mb<true, true, false>(y, u, v, s, cs, f);
        case 5: return normal_mb<true, false, true>(y, u, v, s, cs, f);
        case 4: return normal_mb<true, false, false>(y, u, v, s, cs, f);
        case 3: return normal_mb<false, true, true>(y, u, v, s, cs, f);
        case 2: return normal_mb<false, true, false>(y, u, v, s, cs, f);
        case 1: return normal_mb<false, false, true>(y, u, v, s, cs, f);
        default: return;
    }
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
