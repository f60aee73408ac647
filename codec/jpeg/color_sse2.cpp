// SSE2 colour conversion and upsampling rows, 8 pixels a step. The YCbCr
// products need constants beyond 16 bits, so each is split into a multiple
// of 65536, which adds a whole chroma term after the shift, and a 16-bit
// remainder taken with _mm_madd_epi16 (the rounding constant rides in the
// second lane of the pair): R = Y + Cr + ((26345 Cr + 32768) >> 16) equals
// Y + ((91881 Cr + 32768) >> 16) exactly, and likewise for G and B.
#include "codec/jpeg/kernels.h"

#include <emmintrin.h>
#include <string.h>

static QB_FORCE_INLINE __m128i load8(const u8* p) {
    return _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i*)p), _mm_setzero_si128());
}

static QB_FORCE_INLINE void store_rgba(u8* out, __m128i r, __m128i g, __m128i b) {
    __m128i rg = _mm_unpacklo_epi8(_mm_packus_epi16(r, r), _mm_packus_epi16(g, g));
    __m128i ba = _mm_unpacklo_epi8(_mm_packus_epi16(b, b), _mm_set1_epi8((char)0xFF));
    _mm_storeu_si128((__m128i*)out, _mm_unpacklo_epi16(rg, ba));
    _mm_storeu_si128((__m128i*)(out + 16), _mm_unpackhi_epi16(rg, ba));
}

// (a * k0 + b * k1) >> 16 for 8 lanes of 16-bit pairs (a, b).
static QB_FORCE_INLINE __m128i madd_shift(__m128i a, __m128i b, __m128i k) {
    __m128i lo = _mm_srai_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(a, b), k), 16);
    __m128i hi = _mm_srai_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(a, b), k), 16);
    return _mm_packs_epi32(lo, hi);
}

void jpeg_ycc_row_sse2(const u8* y, const u8* cb, const u8* cr, u8* out, u32 count) {
    const __m128i c128 = _mm_set1_epi16(128);
    const __m128i two = _mm_set1_epi16(2);
    const __m128i kr = _mm_setr_epi16(26345, 16384, 26345, 16384, 26345, 16384, 26345, 16384);
    const __m128i kb = _mm_setr_epi16(-14942, 16384, -14942, 16384, -14942, 16384, -14942, 16384);
    const __m128i kg = _mm_setr_epi16(-22554, 18734, -22554, 18734, -22554, 18734, -22554, 18734);
    const __m128i half = _mm_set1_epi32(32768);
    for (u32 i = 0; i < count; i += 8) {
        __m128i l = load8(y + i);
        __m128i b = _mm_sub_epi16(load8(cb + i), c128);
        __m128i r = _mm_sub_epi16(load8(cr + i), c128);
        __m128i rr = _mm_add_epi16(_mm_add_epi16(l, r), madd_shift(r, two, kr));
        __m128i bb = _mm_add_epi16(_mm_add_epi16(l, _mm_add_epi16(b, b)), madd_shift(b, two, kb));
        __m128i glo = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(b, r), kg), half);
        __m128i ghi = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(b, r), kg), half);
        __m128i g = _mm_packs_epi32(_mm_srai_epi32(glo, 16), _mm_srai_epi32(ghi, 16));
        __m128i gg = _mm_add_epi16(_mm_sub_epi16(l, r), g);
        store_rgba(out + 4 * i, rr, gg, bb);
    }
}

void jpeg_rgb_row_sse2(const u8* r, const u8* g, const u8* b, u8* out, u32 count) {
    for (u32 i = 0; i < count; i += 8) store_rgba(out + 4 * i, load8(r + i), load8(g + i), load8(b + i));
}

void jpeg_grey_row_sse2(const u8* y, u8* out, u32 count) {
    for (u32 i = 0; i < count; i += 8) {
        __m128i l = load8(y + i);
        store_rgba(out + 4 * i, l, l, l);
    }
}

// round(a * b / 255) for 8 lanes of bytes widened to 16 bits: with
// t = a b + 128, (t + (t >> 8)) >> 8 is the rounded quotient for every
// product up to 255 * 255, all in unsigned 16-bit lanes.
static QB_FORCE_INLINE __m128i mul_div255(__m128i a, __m128i b) {
    __m128i t = _mm_add_epi16(_mm_mullo_epi16(a, b), _mm_set1_epi16(128));
    return _mm_srli_epi16(_mm_add_epi16(t, _mm_srli_epi16(t, 8)), 8);
}

void jpeg_cmyk_row_sse2(const u8* c, const u8* m, const u8* y, const u8* k, u8* out, u32 count) {
    for (u32 i = 0; i < count; i += 8) {
        __m128i kk = load8(k + i);
        store_rgba(out + 4 * i, mul_div255(load8(c + i), kk), mul_div255(load8(m + i), kk),
                   mul_div255(load8(y + i), kk));
    }
}

// YCbCr to RGBA first, then each colour byte inverted and multiplied by K in
// place, four pixels (16 bytes, alpha included and put back) a step.
void jpeg_ycck_row_sse2(const u8* y, const u8* cb, const u8* cr, const u8* k, u8* out, u32 count) {
    jpeg_ycc_row_sse2(y, cb, cr, out, count);
    const __m128i zero = _mm_setzero_si128();
    const __m128i ones = _mm_set1_epi8((char)0xFF);
    const __m128i alpha = _mm_set1_epi32((i32)0xFF000000u);
    for (u32 i = 0; i < ((count + 7) & ~7u); i += 4) {
        u32 kw;
        memcpy(&kw, k + i, 4);
        // K of each pixel in all four of its bytes.
        __m128i kb = _mm_unpacklo_epi8(_mm_cvtsi32_si128((i32)kw), _mm_cvtsi32_si128((i32)kw));
        kb = _mm_unpacklo_epi16(kb, kb);
        __m128i px = _mm_xor_si128(_mm_loadu_si128((const __m128i*)(out + 4 * i)), ones);
        __m128i lo = mul_div255(_mm_unpacklo_epi8(px, zero), _mm_unpacklo_epi8(kb, zero));
        __m128i hi = mul_div255(_mm_unpackhi_epi8(px, zero), _mm_unpackhi_epi8(kb, zero));
        _mm_storeu_si128((__m128i*)(out + 4 * i), _mm_or_si128(_mm_packus_epi16(lo, hi), alpha));
    }
}

// ---- Upsampling --------------------------------------------------------------------

void jpeg_upsample_h2_sse2(const u8* in, u8* out, u32 count) {
    const __m128i one = _mm_set1_epi16(1);
    const __m128i two = _mm_set1_epi16(2);
    for (u32 i = 0; i < count; i += 8) {
        __m128i left = load8(in + i);
        __m128i mid = load8(in + i + 1);
        __m128i right = load8(in + i + 2);
        __m128i s = _mm_add_epi16(mid, _mm_add_epi16(mid, mid));
        __m128i even = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(s, left), one), 2);
        __m128i odd = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(s, right), two), 2);
        __m128i lo = _mm_unpacklo_epi16(even, odd);
        __m128i hi = _mm_unpackhi_epi16(even, odd);
        _mm_storeu_si128((__m128i*)(out + 2 * i), _mm_packus_epi16(lo, hi));
    }
}

void jpeg_column_sum_sse2(const u8* near, const u8* far, u16* t, u32 count) {
    for (u32 i = 0; i < count; i += 8) {
        __m128i n = load8(near + i);
        __m128i s = _mm_add_epi16(_mm_add_epi16(n, _mm_add_epi16(n, n)), load8(far + i));
        _mm_storeu_si128((__m128i*)(t + i + 1), s);
    }
}

void jpeg_upsample_h2v2_sse2(const u16* t, u8* out, u32 count) {
    const __m128i eight = _mm_set1_epi16(8);
    const __m128i seven = _mm_set1_epi16(7);
    for (u32 i = 0; i < count; i += 8) {
        __m128i left = _mm_loadu_si128((const __m128i*)(t + i));
        __m128i mid = _mm_loadu_si128((const __m128i*)(t + i + 1));
        __m128i right = _mm_loadu_si128((const __m128i*)(t + i + 2));
        // 3 * 1020 + 1020 + 8 fits in 16 bits.
        __m128i s = _mm_add_epi16(mid, _mm_add_epi16(mid, mid));
        __m128i even = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(s, left), eight), 4);
        __m128i odd = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(s, right), seven), 4);
        __m128i lo = _mm_unpacklo_epi16(even, odd);
        __m128i hi = _mm_unpackhi_epi16(even, odd);
        _mm_storeu_si128((__m128i*)(out + 2 * i), _mm_packus_epi16(lo, hi));
    }
}

// ---- Preview rows ------------------------------------------------------------------

// The 32-bit products come from the low and high halves of the 16-bit
// multiplies; the two saturating packs clamp exactly as the scalar twin.
void jpeg_preview_row_sse2(const i16* dc, i32 q, u8* row, u32 count) {
    const __m128i qq = _mm_set1_epi16((i16)q);
    const __m128i four = _mm_set1_epi32(4);
    const __m128i c128 = _mm_set1_epi16(128);
    for (u32 i = 0; i < count; i += 8) {
        __m128i v = _mm_loadu_si128((const __m128i*)(dc + i));
        __m128i lo = _mm_mullo_epi16(v, qq);
        __m128i hi = _mm_mulhi_epi16(v, qq);
        __m128i a = _mm_srai_epi32(_mm_add_epi32(_mm_unpacklo_epi16(lo, hi), four), 3);
        __m128i b = _mm_srai_epi32(_mm_add_epi32(_mm_unpackhi_epi16(lo, hi), four), 3);
        __m128i s = _mm_adds_epi16(_mm_packs_epi32(a, b), c128);
        _mm_storel_epi64((__m128i*)(row + i), _mm_packus_epi16(s, s));
    }
}

void jpeg_widen_row_sse2(const u8* in, u8* out, u32 count, u32 shift) {
    if (shift == 1) {
        for (u32 j = 0; j < count; j += 16) {
            __m128i v = _mm_loadl_epi64((const __m128i*)(in + j / 2));
            _mm_storeu_si128((__m128i*)(out + j), _mm_unpacklo_epi8(v, v));
        }
        return;
    }
    for (u32 j = 0; j < count; j += 16) {
        i32 four;
        memcpy(&four, in + j / 4, 4);
        __m128i v = _mm_cvtsi32_si128(four);
        v = _mm_unpacklo_epi8(v, v);
        _mm_storeu_si128((__m128i*)(out + j), _mm_unpacklo_epi8(v, v));
    }
}
