// AVX2 twin of the lossy decoder's fused upsampling and conversion: sixteen
// pairs of pixels at a time, the same arithmetic as the SSE2 kernel in
// twice the lanes. Each 128-bit half works on its own pixels (unpacking
// stays within halves): the low half on pairs 0-3 and 8-11's luma and
// chroma, the high half on the rest, and the halves are put back in order
// when stored.
#include <immintrin.h>

#include "codec/webp/vp8.h"

// The pairs' chroma, first and second pixel of each pair, as x << 8.
static inline void chroma_pairs(const u8* n, const u8* f, __m256i* first, __m256i* second) {
    __m256i n0 = _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i*)n));
    __m256i n1 = _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i*)(n + 1)));
    __m256i f0 = _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i*)f));
    __m256i f1 = _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i*)(f + 1)));
    __m256i sum = _mm256_add_epi16(_mm256_add_epi16(n0, n1), _mm256_add_epi16(_mm256_add_epi16(f0, f1),
                                                                                _mm256_set1_epi16(8)));
    __m256i d_odd = _mm256_srli_epi16(_mm256_add_epi16(sum, _mm256_slli_epi16(_mm256_add_epi16(n1, f0), 1)), 3);
    __m256i d_even = _mm256_srli_epi16(_mm256_add_epi16(sum, _mm256_slli_epi16(_mm256_add_epi16(n0, f1), 1)), 3);
    const __m256i high = _mm256_set1_epi16((short)0xFF00);
    *first = _mm256_and_si256(_mm256_slli_epi16(_mm256_add_epi16(d_odd, n0), 7), high);
    *second = _mm256_and_si256(_mm256_slli_epi16(_mm256_add_epi16(d_even, n1), 7), high);
}

// RGBA of 16 pixels (8 per half) from y, u, v as x << 8: the low half's
// pixels to `lo`, the high half's to `hi`, 32 bytes each.
static inline void rgba16(__m256i y, __m256i u, __m256i v, u8* lo, u8* hi) {
    __m256i luma = _mm256_mulhi_epu16(y, _mm256_set1_epi16((short)19077));
    __m256i r = _mm256_subs_epu16(_mm256_add_epi16(luma, _mm256_mulhi_epu16(v, _mm256_set1_epi16((short)26149))),
                                  _mm256_set1_epi16((short)14234));
    __m256i g = _mm256_subs_epu16(_mm256_add_epi16(luma, _mm256_set1_epi16((short)8708)),
                                  _mm256_mulhi_epu16(u, _mm256_set1_epi16((short)6419)));
    g = _mm256_subs_epu16(g, _mm256_mulhi_epu16(v, _mm256_set1_epi16((short)13320)));
    __m256i b = _mm256_subs_epu16(_mm256_add_epi16(luma, _mm256_mulhi_epu16(u, _mm256_set1_epi16((short)33050))),
                                  _mm256_set1_epi16((short)17685));
    r = _mm256_srli_epi16(r, 6);
    g = _mm256_srli_epi16(g, 6);
    b = _mm256_srli_epi16(b, 6);
    __m256i rg = _mm256_unpacklo_epi8(_mm256_packus_epi16(r, r), _mm256_packus_epi16(g, g));
    __m256i ba = _mm256_unpacklo_epi8(_mm256_packus_epi16(b, b), _mm256_set1_epi8((char)0xFF));
    __m256i first4 = _mm256_unpacklo_epi16(rg, ba);  // pixels 0-3 of each half
    __m256i last4 = _mm256_unpackhi_epi16(rg, ba);   // pixels 4-7
    _mm256_storeu_si256((__m256i*)lo, _mm256_permute2x128_si256(first4, last4, 0x20));
    _mm256_storeu_si256((__m256i*)hi, _mm256_permute2x128_si256(first4, last4, 0x31));
}

void vp8_pairs_to_rgba_avx2(const u8* y, const u8* un, const u8* uf, const u8* vn, const u8* vf, u8* out,
                            u32 pairs) {
    if (pairs < 16) {
        vp8_pairs_to_rgba_sse2(y, un, uf, vn, vf, out, pairs);
        return;
    }
    const __m256i zero = _mm256_setzero_si256();
    // The last step ends on the last pair, overlapping the one before it.
    for (u32 step = 0; step < pairs; step += 16) {
        u32 i = step + 16 <= pairs ? step : pairs - 16;
        __m256i u_first, u_second, v_first, v_second;
        chroma_pairs(un + i, uf + i, &u_first, &u_second);
        chroma_pairs(vn + i, vf + i, &v_first, &v_second);
        __m256i luma = _mm256_loadu_si256((const __m256i*)(y + 2 * i));
        u8* o = out + 8 * i;
        // Low unpacks: pairs 0-3 and 8-11, pixels 0-7 and 16-23.
        rgba16(_mm256_unpacklo_epi8(zero, luma), _mm256_unpacklo_epi16(u_first, u_second),
               _mm256_unpacklo_epi16(v_first, v_second), o, o + 64);
        // High unpacks: pairs 4-7 and 12-15, pixels 8-15 and 24-31.
        rgba16(_mm256_unpackhi_epi8(zero, luma), _mm256_unpackhi_epi16(u_first, u_second),
               _mm256_unpackhi_epi16(v_first, v_second), o + 32, o + 96);
    }
}
