// AVX2 colour conversion of YCbCr rows, 16 pixels a step, with the SSE2
// kernel's arithmetic (the split constants and _mm_madd_epi16, see
// color_sse2.cpp) in each 128-bit lane: the unpacks and packs work within
// lanes, so the lanes hold pixels 0-7 and 8-15 through the whole step and
// the two halves of the RGBA result are put back in order before the store.
// A last group of 8 pixels goes through the SSE2 kernel, so exactly the
// pixels the SSE2 kernel converts are read and written.
#include <immintrin.h>

#include "codec/jpeg/kernels.h"

static QB_FORCE_INLINE __m256i load16(const u8* p) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i*)p));
}

// (a * k0 + b * k1) >> 16 for 16 lanes of 16-bit pairs (a, b).
static QB_FORCE_INLINE __m256i madd_shift(__m256i a, __m256i b, __m256i k) {
    __m256i lo = _mm256_srai_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), k), 16);
    __m256i hi = _mm256_srai_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), k), 16);
    return _mm256_packs_epi32(lo, hi);
}

static QB_FORCE_INLINE void store_rgba16(u8* out, __m256i r, __m256i g, __m256i b) {
    // Per lane: r0..r7 g0..g7 interleaved, then b and alpha, then pixels.
    __m256i rg = _mm256_unpacklo_epi8(_mm256_packus_epi16(r, r), _mm256_packus_epi16(g, g));
    __m256i ba = _mm256_unpacklo_epi8(_mm256_packus_epi16(b, b), _mm256_set1_epi8((char)0xFF));
    __m256i lo = _mm256_unpacklo_epi16(rg, ba);  // pixels 0-3 | 8-11
    __m256i hi = _mm256_unpackhi_epi16(rg, ba);  // pixels 4-7 | 12-15
    _mm256_storeu_si256((__m256i*)out, _mm256_permute2x128_si256(lo, hi, 0x20));
    _mm256_storeu_si256((__m256i*)(out + 32), _mm256_permute2x128_si256(lo, hi, 0x31));
}

void jpeg_ycc_row_avx2(const u8* y, const u8* cb, const u8* cr, u8* out, u32 count) {
    const __m256i c128 = _mm256_set1_epi16(128);
    const __m256i two = _mm256_set1_epi16(2);
    const __m256i kr = _mm256_set1_epi32((i32)((u32)16384 << 16 | 26345u));
    const __m256i kb = _mm256_set1_epi32((i32)((u32)16384 << 16 | (u16)(i16)-14942));
    const __m256i kg = _mm256_set1_epi32((i32)((u32)18734 << 16 | (u16)(i16)-22554));
    const __m256i half = _mm256_set1_epi32(32768);
    u32 whole = (count + 7) & ~7u;
    u32 i = 0;
    for (; i + 16 <= whole; i += 16) {
        __m256i l = load16(y + i);
        __m256i b = _mm256_sub_epi16(load16(cb + i), c128);
        __m256i r = _mm256_sub_epi16(load16(cr + i), c128);
        __m256i rr = _mm256_add_epi16(_mm256_add_epi16(l, r), madd_shift(r, two, kr));
        __m256i bb = _mm256_add_epi16(_mm256_add_epi16(l, _mm256_add_epi16(b, b)), madd_shift(b, two, kb));
        __m256i glo = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(b, r), kg), half);
        __m256i ghi = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(b, r), kg), half);
        __m256i g = _mm256_packs_epi32(_mm256_srai_epi32(glo, 16), _mm256_srai_epi32(ghi, 16));
        __m256i gg = _mm256_add_epi16(_mm256_sub_epi16(l, r), g);
        store_rgba16(out + 4 * i, rr, gg, bb);
    }
    if (i < whole) jpeg_ycc_row_sse2(y + i, cb + i, cr + i, out + 4 * i, whole - i);
}

// ---- Upsampling --------------------------------------------------------------------
// The 2 x 2 triangular filter's two rows, 16 samples a step with the SSE2
// kernels' arithmetic; a last part of fewer than 16 goes through the SSE2
// kernels, so exactly the entries they would touch are read and written.

void jpeg_column_sum_avx2(const u8* near, const u8* far, u16* t, u32 count) {
    u32 i = 0;
    for (; i + 16 <= count; i += 16) {
        __m256i n = load16(near + i);
        __m256i s = _mm256_add_epi16(_mm256_add_epi16(n, _mm256_add_epi16(n, n)), load16(far + i));
        _mm256_storeu_si256((__m256i*)(t + i + 1), s);
    }
    if (i < count) jpeg_column_sum_sse2(near + i, far + i, t + i, count - i);
}

// The even and odd outputs of 16 samples interleave within each 128-bit
// lane, and the pack keeps each lane's 16 bytes together, so the 32 bytes
// come out in order.
void jpeg_upsample_h2v2_avx2(const u16* t, u8* out, u32 count) {
    const __m256i eight = _mm256_set1_epi16(8);
    const __m256i seven = _mm256_set1_epi16(7);
    u32 i = 0;
    for (; i + 16 <= count; i += 16) {
        __m256i left = _mm256_loadu_si256((const __m256i*)(t + i));
        __m256i mid = _mm256_loadu_si256((const __m256i*)(t + i + 1));
        __m256i right = _mm256_loadu_si256((const __m256i*)(t + i + 2));
        __m256i s = _mm256_add_epi16(mid, _mm256_add_epi16(mid, mid));
        __m256i even = _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(s, left), eight), 4);
        __m256i odd = _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(s, right), seven), 4);
        __m256i lo = _mm256_unpacklo_epi16(even, odd);
        __m256i hi = _mm256_unpackhi_epi16(even, odd);
        _mm256_storeu_si256((__m256i*)(out + 2 * i), _mm256_packus_epi16(lo, hi));
    }
    if (i < count) jpeg_upsample_h2v2_sse2(t + i, out + 2 * i, count - i);
}
