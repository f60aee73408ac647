// SSE2 twins of the encoder's pixel kernels. The forward transform runs
// eight blocks side by side with one block per 16-bit lane: a transpose of
// each 64-byte sample row turns the row into eight vectors (one per column,
// lanes = blocks), both passes are then plain vertical arithmetic with every
// product sum formed by _mm_madd_epi16 on interleaved pairs, the quantiser
// uses one broadcast divisor per coefficient position, and a last transpose
// of the coefficients taken in zigzag order gives each block its 64
// coefficients already in zigzag order. Every intermediate fits 16 bits
// (the row pass output is at most 4096 in magnitude, the even sums of the
// column pass at most 32640), so the results equal the scalar twin's.
#include "codec/jpeg/encode.h"

#include <emmintrin.h>

#include "codec/jpeg/transpose_sse2.h"

// ---- Colour conversion ---------------------------------------------------------
// Per 32-bit pixel lane: RB = R | B << 16 and GA = G | A << 16 feed
// _mm_madd_epi16 with the weight pairs; A always meets a zero weight. The
// green weight of Y (38470) does not fit 16 bits and is applied as 2 x 19235,
// the 32768 weights of Cb and Cr are shifts.

static QB_FORCE_INLINE void ycc4(__m128i p, __m128i* y, __m128i* cb, __m128i* cr) {
    const __m128i lo = _mm_set1_epi32(0x00FF00FF);
    __m128i rb = _mm_and_si128(p, lo);
    __m128i ga = _mm_and_si128(_mm_srli_epi32(p, 8), lo);
    __m128i yv = _mm_add_epi32(_mm_madd_epi16(rb, _mm_set1_epi32((7471 << 16) | 19595)),
                               _mm_slli_epi32(_mm_madd_epi16(ga, _mm_set1_epi32(19235)), 1));
    *y = _mm_srli_epi32(_mm_add_epi32(yv, _mm_set1_epi32(32768)), 16);
    __m128i off = _mm_set1_epi32(8421375);
    __m128i b15 = _mm_srli_epi32(_mm_and_si128(p, _mm_set1_epi32(0x00FF0000)), 1);
    __m128i cbv = _mm_add_epi32(_mm_madd_epi16(rb, _mm_set1_epi32(0xFFFF & -11059)),
                                _mm_madd_epi16(ga, _mm_set1_epi32(0xFFFF & -21709)));
    *cb = _mm_srli_epi32(_mm_add_epi32(_mm_add_epi32(cbv, b15), off), 16);
    __m128i r15 = _mm_slli_epi32(_mm_and_si128(p, _mm_set1_epi32(0xFF)), 15);
    __m128i crv = _mm_add_epi32(_mm_madd_epi16(rb, _mm_set1_epi32((i32)((u32)(0xFFFF & -5329) << 16))),
                                _mm_madd_epi16(ga, _mm_set1_epi32(0xFFFF & -27439)));
    *cr = _mm_srli_epi32(_mm_add_epi32(_mm_add_epi32(crv, r15), off), 16);
}

void jpeg_rgba_to_ycc_sse2(const u8* rgba, u8* y, u8* cb, u8* cr, u32 count) {
    for (u32 i = 0; i < count; i += 8) {
        __m128i y0, cb0, cr0, y1, cb1, cr1;
        ycc4(_mm_loadu_si128((const __m128i*)(rgba + 4 * i)), &y0, &cb0, &cr0);
        ycc4(_mm_loadu_si128((const __m128i*)(rgba + 4 * i + 16)), &y1, &cb1, &cr1);
        __m128i yw = _mm_packs_epi32(y0, y1);
        __m128i cbw = _mm_packs_epi32(cb0, cb1);
        __m128i crw = _mm_packs_epi32(cr0, cr1);
        _mm_storel_epi64((__m128i*)(y + i), _mm_packus_epi16(yw, yw));
        _mm_storel_epi64((__m128i*)(cb + i), _mm_packus_epi16(cbw, cbw));
        _mm_storel_epi64((__m128i*)(cr + i), _mm_packus_epi16(crw, crw));
    }
}

// ---- Downsampling ------------------------------------------------------------------

void jpeg_downsample_sse2(const u8* a, const u8* b, u8* out, u32 count) {
    const __m128i lo = _mm_set1_epi16(0x00FF);
    const __m128i bias = _mm_set1_epi32(0x00020001);
    for (u32 i = 0; i < count; i += 16) {
        __m128i r[2];
        for (u32 h = 0; h < 2; h++) {
            __m128i va = _mm_loadu_si128((const __m128i*)(a + 2 * i + 16 * h));
            __m128i vb = _mm_loadu_si128((const __m128i*)(b + 2 * i + 16 * h));
            __m128i s = _mm_add_epi16(_mm_add_epi16(_mm_and_si128(va, lo), _mm_srli_epi16(va, 8)),
                                      _mm_add_epi16(_mm_and_si128(vb, lo), _mm_srli_epi16(vb, 8)));
            r[h] = _mm_srli_epi16(_mm_add_epi16(s, bias), 2);
        }
        _mm_storeu_si128((__m128i*)(out + i), _mm_packus_epi16(r[0], r[1]));
    }
}

// ---- Forward DCT and quantisation ------------------------------------------------------

static QB_FORCE_INLINE __m128i pair(i32 a, i32 b) {
    return _mm_set1_epi32((i32)(((u32)b << 16) | ((u32)a & 0xFFFF)));
}

// (a * ka + b * kb + round) >> shift in 32 bits, packed back to 16.
template <int SHIFT>
static QB_FORCE_INLINE __m128i rotate(__m128i a, __m128i b, __m128i k) {
    const __m128i round = _mm_set1_epi32(1 << (SHIFT - 1));
    __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi16(a, b), k);
    __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi16(a, b), k);
    lo = _mm_srai_epi32(_mm_add_epi32(lo, round), SHIFT);
    hi = _mm_srai_epi32(_mm_add_epi32(hi, round), SHIFT);
    return _mm_packs_epi32(lo, hi);
}

// Sum of two pair products, descaled.
template <int SHIFT>
static QB_FORCE_INLINE __m128i rotate2(__m128i a, __m128i b, __m128i k, __m128i c, __m128i d, __m128i kk) {
    const __m128i round = _mm_set1_epi32(1 << (SHIFT - 1));
    __m128i lo = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(a, b), k), _mm_madd_epi16(_mm_unpacklo_epi16(c, d), kk));
    __m128i hi = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(a, b), k), _mm_madd_epi16(_mm_unpackhi_epi16(c, d), kk));
    lo = _mm_srai_epi32(_mm_add_epi32(lo, round), SHIFT);
    hi = _mm_srai_epi32(_mm_add_epi32(hi, round), SHIFT);
    return _mm_packs_epi32(lo, hi);
}

// One 8-point pass on x[0], x[step], ..., x[7 * step] (each a vector of
// eight blocks). The rotations are expanded so each output is at most two
// pair products:
//   out2 = tmp13 * (c0541 + c0765) + tmp12 * c0541
//   out6 = tmp13 * c0541 + tmp12 * (c0541 - c1847)
//   out7 = tmp4 * (c0298 - c0899) + tmp7 * -c0899 + z3 * (c1175 - c1961) + z4 * c1175
//   out1 = tmp4 * -c0899 + tmp7 * (c1501 - c0899) + z3 * c1175 + z4 * (c1175 - c0390)
//   out5 = tmp5 * (c2053 - c2562) + tmp6 * -c2562 + z3 * c1175 + z4 * (c1175 - c0390)
//   out3 = tmp5 * -c2562 + tmp6 * (c3072 - c2562) + z3 * (c1175 - c1961) + z4 * c1175
template <int PASS>
static QB_FORCE_INLINE void fdct_pass(__m128i* x, u32 step) {
    constexpr int SHIFT = PASS == 1 ? 11 : 15;
    __m128i x0 = x[0], x1 = x[step], x2 = x[2 * step], x3 = x[3 * step];
    __m128i x4 = x[4 * step], x5 = x[5 * step], x6 = x[6 * step], x7 = x[7 * step];
    __m128i tmp0 = _mm_add_epi16(x0, x7), tmp7 = _mm_sub_epi16(x0, x7);
    __m128i tmp1 = _mm_add_epi16(x1, x6), tmp6 = _mm_sub_epi16(x1, x6);
    __m128i tmp2 = _mm_add_epi16(x2, x5), tmp5 = _mm_sub_epi16(x2, x5);
    __m128i tmp3 = _mm_add_epi16(x3, x4), tmp4 = _mm_sub_epi16(x3, x4);
    __m128i tmp10 = _mm_add_epi16(tmp0, tmp3), tmp13 = _mm_sub_epi16(tmp0, tmp3);
    __m128i tmp11 = _mm_add_epi16(tmp1, tmp2), tmp12 = _mm_sub_epi16(tmp1, tmp2);
    if (PASS == 1) {
        x[0] = _mm_slli_epi16(_mm_add_epi16(tmp10, tmp11), 2);
        x[4 * step] = _mm_slli_epi16(_mm_sub_epi16(tmp10, tmp11), 2);
    } else {
        const __m128i two = _mm_set1_epi16(2);
        x[0] = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(tmp10, tmp11), two), 2);
        x[4 * step] = _mm_srai_epi16(_mm_add_epi16(_mm_sub_epi16(tmp10, tmp11), two), 2);
    }
    x[2 * step] = rotate<SHIFT>(tmp13, tmp12, pair(4433 + 6270, 4433));
    x[6 * step] = rotate<SHIFT>(tmp13, tmp12, pair(4433, 4433 - 15137));
    __m128i z3 = _mm_add_epi16(tmp4, tmp6), z4 = _mm_add_epi16(tmp5, tmp7);
    const __m128i kz_a = pair(9633 - 16069, 9633);
    const __m128i kz_b = pair(9633, 9633 - 3196);
    x[7 * step] = rotate2<SHIFT>(tmp4, tmp7, pair(2446 - 7373, -7373), z3, z4, kz_a);
    x[1 * step] = rotate2<SHIFT>(tmp4, tmp7, pair(-7373, 12299 - 7373), z3, z4, kz_b);
    x[5 * step] = rotate2<SHIFT>(tmp5, tmp6, pair(16819 - 20995, -20995), z3, z4, kz_b);
    x[3 * step] = rotate2<SHIFT>(tmp5, tmp6, pair(-20995, 25172 - 20995), z3, z4, kz_a);
}

void jpeg_fdct_sse2(const u8* samples, u64 stride, const JpegQuantDivisors* q, i16* out, u64* masks) {
    // c[8 * r + u]: row r, column (then frequency) u, one lane per block.
    __m128i c[64];
    const __m128i bias = _mm_set1_epi8((char)0x80);
    for (u32 r = 0; r < 8; r++) {
        __m128i v[8];
        for (u32 i = 0; i < 4; i++) {
            // Samples - 128 as signed bytes, widened with their sign.
            __m128i s = _mm_xor_si128(_mm_loadu_si128((const __m128i*)(samples + r * stride + 16 * i)), bias);
            v[2 * i] = _mm_srai_epi16(_mm_unpacklo_epi8(s, s), 8);
            v[2 * i + 1] = _mm_srai_epi16(_mm_unpackhi_epi8(s, s), 8);
        }
        transpose8(v);
        fdct_pass<1>(v, 1);
        for (u32 u = 0; u < 8; u++) c[8 * r + u] = v[u];
    }
    for (u32 u = 0; u < 8; u++) fdct_pass<2>(c + u, 8);

    // Quantise in natural order.
    for (u32 n = 0; n < 64; n++) {
        const __m128i* k = (const __m128i*)q->lanes[n];
        __m128i x = c[n];
        __m128i sign = _mm_srai_epi16(x, 15);
        __m128i m = _mm_sub_epi16(_mm_xor_si128(x, sign), sign);
        m = _mm_mulhi_epu16(_mm_add_epi16(m, _mm_load_si128(k + 1)), _mm_load_si128(k));
        m = _mm_mulhi_epu16(m, _mm_load_si128(k + 2));
        c[n] = _mm_sub_epi16(_mm_xor_si128(m, sign), sign);
    }

    // Eight zigzag positions at a time, transposed to one vector a block.
    for (u32 g = 0; g < 8; g++) {
        __m128i v[8];
        for (u32 i = 0; i < 8; i++) v[i] = c[jpeg_zigzag[8 * g + i]];
        transpose8(v);
        for (u32 b = 0; b < 8; b++) _mm_storeu_si128((__m128i*)(out + 64 * b + 8 * g), v[b]);
    }
    // Masks: compare each block's 64 coefficients with zero, 16 at a time.
    const __m128i zero = _mm_setzero_si128();
    for (u32 b = 0; b < 8; b++) {
        const __m128i* z = (const __m128i*)(out + 64 * b);
        u32 nonzero[4];
        for (u32 i = 0; i < 4; i++) {
            __m128i e0 = _mm_cmpeq_epi16(_mm_loadu_si128(z + 2 * i), zero);
            __m128i e1 = _mm_cmpeq_epi16(_mm_loadu_si128(z + 2 * i + 1), zero);
            nonzero[i] = ~(u32)_mm_movemask_epi8(_mm_packs_epi16(e0, e1)) & 0xFFFF;
        }
        masks[b] = (u64)nonzero[0] | ((u64)nonzero[1] << 16) | ((u64)nonzero[2] << 32) | ((u64)nonzero[3] << 48);
    }
}
