// AVX2 twins of the encoder's colour conversion and forward transform. The
// transform keeps the SSE2 kernel's layout (one block per 16-bit lane, eight
// blocks at a time) and uses the two 128-bit halves for two independent
// 8-point transforms: rows r and r + 4 in the row pass, columns u and u + 4
// in the column pass, coefficient positions n and n + 4 in the quantiser.
// Unpacks and packs work within each half, so the transposes are the SSE2
// ones run twice at once; a cross-half permute regroups the row pass's
// output for the column pass. Results equal the scalar twin's bit for bit.
#include "codec/jpeg/encode.h"
#include "codec/jpeg/transpose_avx2.h"

#include <immintrin.h>

// ---- Colour conversion ---------------------------------------------------------
// As the SSE2 kernel: RB = R | B << 16 and GA = G | A << 16 per pixel lane
// feed _mm256_madd_epi16; packs interleave the halves, which a 64-bit
// permute puts back in order.

static QB_FORCE_INLINE void ycc8(__m256i p, __m256i* y, __m256i* cb, __m256i* cr) {
    const __m256i lo = _mm256_set1_epi32(0x00FF00FF);
    __m256i rb = _mm256_and_si256(p, lo);
    __m256i ga = _mm256_and_si256(_mm256_srli_epi32(p, 8), lo);
    __m256i yv = _mm256_add_epi32(_mm256_madd_epi16(rb, _mm256_set1_epi32((7471 << 16) | 19595)),
                                  _mm256_slli_epi32(_mm256_madd_epi16(ga, _mm256_set1_epi32(19235)), 1));
    *y = _mm256_srli_epi32(_mm256_add_epi32(yv, _mm256_set1_epi32(32768)), 16);
    __m256i off = _mm256_set1_epi32(8421375);
    __m256i b15 = _mm256_srli_epi32(_mm256_and_si256(p, _mm256_set1_epi32(0x00FF0000)), 1);
    __m256i cbv = _mm256_add_epi32(_mm256_madd_epi16(rb, _mm256_set1_epi32(0xFFFF & -11059)),
                                   _mm256_madd_epi16(ga, _mm256_set1_epi32(0xFFFF & -21709)));
    *cb = _mm256_srli_epi32(_mm256_add_epi32(_mm256_add_epi32(cbv, b15), off), 16);
    __m256i r15 = _mm256_slli_epi32(_mm256_and_si256(p, _mm256_set1_epi32(0xFF)), 15);
    __m256i crv = _mm256_add_epi32(_mm256_madd_epi16(rb, _mm256_set1_epi32((i32)((u32)(0xFFFF & -5329) << 16))),
                                   _mm256_madd_epi16(ga, _mm256_set1_epi32(0xFFFF & -27439)));
    *cr = _mm256_srli_epi32(_mm256_add_epi32(_mm256_add_epi32(crv, r15), off), 16);
}

void jpeg_rgba_to_ycc_avx2(const u8* rgba, u8* y, u8* cb, u8* cr, u32 count) {
    u32 i = 0;
    for (; i + 16 <= count; i += 16) {
        __m256i y0, cb0, cr0, y1, cb1, cr1;
        ycc8(_mm256_loadu_si256((const __m256i*)(rgba + 4 * i)), &y0, &cb0, &cr0);
        ycc8(_mm256_loadu_si256((const __m256i*)(rgba + 4 * i + 32)), &y1, &cb1, &cr1);
        __m256i yw = _mm256_permute4x64_epi64(_mm256_packs_epi32(y0, y1), 0xD8);
        __m256i cbw = _mm256_permute4x64_epi64(_mm256_packs_epi32(cb0, cb1), 0xD8);
        __m256i crw = _mm256_permute4x64_epi64(_mm256_packs_epi32(cr0, cr1), 0xD8);
        __m256i ycb = _mm256_permute4x64_epi64(_mm256_packus_epi16(yw, cbw), 0xD8);
        __m256i crcr = _mm256_permute4x64_epi64(_mm256_packus_epi16(crw, crw), 0xD8);
        _mm_storeu_si128((__m128i*)(y + i), _mm256_castsi256_si128(ycb));
        _mm_storeu_si128((__m128i*)(cb + i), _mm256_extracti128_si256(ycb, 1));
        _mm_storeu_si128((__m128i*)(cr + i), _mm256_castsi256_si128(crcr));
    }
    if (i < count) jpeg_rgba_to_ycc_sse2(rgba + 4 * i, y + i, cb + i, cr + i, count - i);
}

// ---- Forward DCT and quantisation ------------------------------------------------------


static QB_FORCE_INLINE __m256i pair(i32 a, i32 b) {
    return _mm256_set1_epi32((i32)(((u32)b << 16) | ((u32)a & 0xFFFF)));
}

template <int SHIFT>
static QB_FORCE_INLINE __m256i rotate(__m256i a, __m256i b, __m256i k) {
    const __m256i round = _mm256_set1_epi32(1 << (SHIFT - 1));
    __m256i lo = _mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), k);
    __m256i hi = _mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), k);
    lo = _mm256_srai_epi32(_mm256_add_epi32(lo, round), SHIFT);
    hi = _mm256_srai_epi32(_mm256_add_epi32(hi, round), SHIFT);
    return _mm256_packs_epi32(lo, hi);
}

template <int SHIFT>
static QB_FORCE_INLINE __m256i rotate2(__m256i a, __m256i b, __m256i k, __m256i c, __m256i d, __m256i kk) {
    const __m256i round = _mm256_set1_epi32(1 << (SHIFT - 1));
    __m256i lo = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), k),
                                  _mm256_madd_epi16(_mm256_unpacklo_epi16(c, d), kk));
    __m256i hi = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), k),
                                  _mm256_madd_epi16(_mm256_unpackhi_epi16(c, d), kk));
    lo = _mm256_srai_epi32(_mm256_add_epi32(lo, round), SHIFT);
    hi = _mm256_srai_epi32(_mm256_add_epi32(hi, round), SHIFT);
    return _mm256_packs_epi32(lo, hi);
}

// The SSE2 kernel's pass (see there for the expanded rotations) on x[0..7].
template <int PASS>
static QB_FORCE_INLINE void fdct_pass(__m256i* x) {
    constexpr int SHIFT = PASS == 1 ? 11 : 15;
    __m256i tmp0 = _mm256_add_epi16(x[0], x[7]), tmp7 = _mm256_sub_epi16(x[0], x[7]);
    __m256i tmp1 = _mm256_add_epi16(x[1], x[6]), tmp6 = _mm256_sub_epi16(x[1], x[6]);
    __m256i tmp2 = _mm256_add_epi16(x[2], x[5]), tmp5 = _mm256_sub_epi16(x[2], x[5]);
    __m256i tmp3 = _mm256_add_epi16(x[3], x[4]), tmp4 = _mm256_sub_epi16(x[3], x[4]);
    __m256i tmp10 = _mm256_add_epi16(tmp0, tmp3), tmp13 = _mm256_sub_epi16(tmp0, tmp3);
    __m256i tmp11 = _mm256_add_epi16(tmp1, tmp2), tmp12 = _mm256_sub_epi16(tmp1, tmp2);
    if (PASS == 1) {
        x[0] = _mm256_slli_epi16(_mm256_add_epi16(tmp10, tmp11), 2);
        x[4] = _mm256_slli_epi16(_mm256_sub_epi16(tmp10, tmp11), 2);
    } else {
        const __m256i two = _mm256_set1_epi16(2);
        x[0] = _mm256_srai_epi16(_mm256_add_epi16(_mm256_add_epi16(tmp10, tmp11), two), 2);
        x[4] = _mm256_srai_epi16(_mm256_add_epi16(_mm256_sub_epi16(tmp10, tmp11), two), 2);
    }
    x[2] = rotate<SHIFT>(tmp13, tmp12, pair(4433 + 6270, 4433));
    x[6] = rotate<SHIFT>(tmp13, tmp12, pair(4433, 4433 - 15137));
    __m256i z3 = _mm256_add_epi16(tmp4, tmp6), z4 = _mm256_add_epi16(tmp5, tmp7);
    const __m256i kz_a = pair(9633 - 16069, 9633);
    const __m256i kz_b = pair(9633, 9633 - 3196);
    x[7] = rotate2<SHIFT>(tmp4, tmp7, pair(2446 - 7373, -7373), z3, z4, kz_a);
    x[1] = rotate2<SHIFT>(tmp4, tmp7, pair(-7373, 12299 - 7373), z3, z4, kz_b);
    x[5] = rotate2<SHIFT>(tmp5, tmp6, pair(16819 - 20995, -20995), z3, z4, kz_b);
    x[3] = rotate2<SHIFT>(tmp5, tmp6, pair(-20995, 25172 - 20995), z3, z4, kz_a);
}

static QB_FORCE_INLINE __m256i load2(const void* lo, const void* hi) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128((const __m128i*)lo)),
                                   _mm_loadu_si128((const __m128i*)hi), 1);
}

void jpeg_fdct_avx2(const u8* samples, u64 stride, const JpegQuantDivisors* q, i16* out, u64* masks) {
    // Row pass: r1[r][u] holds frequency u of rows r (low half) and r + 4.
    __m256i r1[4][8];
    const __m256i bias = _mm256_set1_epi8((char)0x80);
    for (u32 r = 0; r < 4; r++) {
        __m256i* v = r1[r];
        for (u32 i = 0; i < 4; i++) {
            __m256i s = _mm256_xor_si256(load2(samples + r * stride + 16 * i, samples + (r + 4) * stride + 16 * i), bias);
            v[2 * i] = _mm256_srai_epi16(_mm256_unpacklo_epi8(s, s), 8);
            v[2 * i + 1] = _mm256_srai_epi16(_mm256_unpackhi_epi8(s, s), 8);
        }
        transpose8x2(v);
        fdct_pass<1>(v);
    }
    // Column pass on frequencies u (low half) and u + 4, then quantisation;
    // the results go to c[n] as 128-bit vectors, n = 8 * v + u.
    alignas(32) __m128i c[64];
    for (u32 u = 0; u < 4; u++) {
        __m256i x[8];
        for (u32 r = 0; r < 4; r++) {
            x[r] = _mm256_permute2x128_si256(r1[r][u], r1[r][u + 4], 0x20);
            x[r + 4] = _mm256_permute2x128_si256(r1[r][u], r1[r][u + 4], 0x31);
        }
        fdct_pass<2>(x);
        for (u32 v = 0; v < 8; v++) {
            // |x|, the reciprocal multiply, then x's sign back (a zero stays zero).
            const u16* k = q->pairs[4 * v + u][0];
            __m256i m = _mm256_abs_epi16(x[v]);
            m = _mm256_mulhi_epu16(_mm256_add_epi16(m, _mm256_load_si256((const __m256i*)(k + 16))),
                                   _mm256_load_si256((const __m256i*)k));
            m = _mm256_mulhi_epu16(m, _mm256_load_si256((const __m256i*)(k + 32)));
            m = _mm256_sign_epi16(m, x[v]);
            c[8 * v + u] = _mm256_castsi256_si128(m);
            c[8 * v + u + 4] = _mm256_extracti128_si256(m, 1);
        }
    }
    // Zigzag groups g and g + 1 in the two halves, transposed to one vector
    // of 16 coefficients a block.
    for (u32 g = 0; g < 8; g += 2) {
        __m256i v[8];
        for (u32 i = 0; i < 8; i++) v[i] = load2(&c[jpeg_zigzag[8 * g + i]], &c[jpeg_zigzag[8 * g + 8 + i]]);
        transpose8x2(v);
        for (u32 b = 0; b < 8; b++) {
            // Halves hold positions 8g..8g+7 and 8g+8..8g+15: contiguous.
            _mm256_storeu_si256((__m256i*)(out + 64 * b + 8 * g), v[b]);
        }
    }
    const __m256i zero = _mm256_setzero_si256();
    for (u32 b = 0; b < 8; b++) {
        const __m256i* z = (const __m256i*)(out + 64 * b);
        u64 zeros = 0;
        for (u32 i = 0; i < 2; i++) {
            __m256i e0 = _mm256_cmpeq_epi16(_mm256_loadu_si256(z + 2 * i), zero);
            __m256i e1 = _mm256_cmpeq_epi16(_mm256_loadu_si256(z + 2 * i + 1), zero);
            __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi16(e0, e1), 0xD8);
            zeros |= (u64)(u32)_mm256_movemask_epi8(packed) << (32 * i);
        }
        masks[b] = ~zeros;
    }
}
