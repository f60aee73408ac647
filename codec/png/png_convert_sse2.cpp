// SSE2 conversions for the hot cases: 8-bit RGB to RGBA with the tRNS key
// test done on four pixels at once, the byte swap of 16-bit samples, and the
// four canvas-to-RGBA display conversions, and palette lookups stored four
// pixels at a time with the range test on 16 indices at once. Other kinds
// (sub-byte grey unpacking, grey keys) are table lookups per byte that SSE2
// cannot gather, and use the scalar twin.
#include <emmintrin.h>
#include <string.h>

#include "codec/png/png_rows.h"

static QB_FORCE_INLINE __m128i load16(const u8* p) {
    return _mm_loadu_si128((const __m128i*)p);
}
static QB_FORCE_INLINE void store16(u8* p, __m128i v) {
    _mm_storeu_si128((__m128i*)p, v);
}
static QB_FORCE_INLINE i32 load32(const u8* p) {
    i32 v;
    memcpy(&v, p, 4);
    return v;
}

// Four RGB pixels (read as 4-byte words, the fourth byte masked off) to RGBA;
// a pixel equal to the key becomes 0.
static QB_FORCE_INLINE __m128i rgb_quad(const u8* s, __m128i key, __m128i rgb_mask, __m128i alpha) {
    __m128i v = _mm_setr_epi32(load32(s), load32(s + 3), load32(s + 6), load32(s + 9));
    v = _mm_and_si128(v, rgb_mask);
    __m128i hit = _mm_cmpeq_epi32(v, key);
    return _mm_andnot_si128(hit, _mm_or_si128(v, alpha));
}

// Palette indices to RGBA: four table words gathered into one 16-byte store,
// and the out-of-range test as a byte maximum over 16 indices at a time
// (whole vectors within `count`, then the rest one by one).
static bool palette_lookup_sse2(const PngTables* t, const u8* idx, u8* dst, u32 padded, u32 count) {
    for (u32 i = 0; i < padded; i += 4) {
        store16(dst + 4 * i, _mm_setr_epi32(load32(t->palette[idx[i]]), load32(t->palette[idx[i + 1]]),
                                            load32(t->palette[idx[i + 2]]), load32(t->palette[idx[i + 3]])));
    }
    __m128i most = _mm_setzero_si128();
    u32 i = 0;
    for (; i + 16 <= count; i += 16) most = _mm_max_epu8(most, load16(idx + i));
    most = _mm_max_epu8(most, _mm_srli_si128(most, 8));
    most = _mm_max_epu8(most, _mm_srli_si128(most, 4));
    most = _mm_max_epu8(most, _mm_srli_si128(most, 2));
    most = _mm_max_epu8(most, _mm_srli_si128(most, 1));
    u32 worst = (u32)_mm_cvtsi128_si32(most) & 0xFF;
    for (; i < count; i++) worst = idx[i] > worst ? idx[i] : worst;
    return count != 0 && worst >= t->palette_count;
}

bool convert_run_sse2(u32 kind, const PngTables* t, const u8* src, u8* dst, u32 padded, u32 depth,
                      u32 count) {
    switch (kind) {
    case PNG_CONVERT_PALETTE8: return palette_lookup_sse2(t, src, dst, padded, count);
    case PNG_CONVERT_PALETTE_LOW: {
        // Indices unpacked by the scalar table, then looked up as above.
        alignas(16) u8 idx[PNG_RUN + 16];
        convert_run_scalar(PNG_CONVERT_GREY_LOW, t, src, idx, padded, depth, 0);
        return palette_lookup_sse2(t, idx, dst, padded, count);
    }
    case PNG_CONVERT_RGB8: {
        const __m128i key = _mm_set1_epi32((i32)t->rgb_key8);
        const __m128i rgb_mask = _mm_set1_epi32(0x00FFFFFF);
        const __m128i alpha = _mm_set1_epi32((i32)0xFF000000u);
        for (u32 i = 0; i < padded; i += 4) store16(dst + 4 * i, rgb_quad(src + 3 * i, key, rgb_mask, alpha));
        return false;
    }
    case PNG_CONVERT_RGBA16:
        for (u32 i = 0; i < 8 * padded; i += 16) {
            __m128i v = load16(src + i);
            store16(dst + i, _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8)));
        }
        return false;
    case PNG_CONVERT_GREY8:
    case PNG_CONVERT_GREY_ALPHA8:
    case PNG_CONVERT_RGBA8: {
        u32 size = padded * (kind == PNG_CONVERT_GREY8 ? 1 : (kind == PNG_CONVERT_GREY_ALPHA8 ? 2 : 4));
        for (u32 i = 0; i < size; i += 16) store16(dst + i, load16(src + i));
        return false;
    }
    default: return convert_run_scalar(kind, t, src, dst, padded, depth, count);
    }
}

void to_display_sse2(PixelFormat format, const u8* src, u8* dst, u32 padded) {
    switch (format) {
    case Mono8: {
        const __m128i alpha = _mm_set1_epi16((i16)0xFF00);
        for (u32 i = 0; i < padded; i += 16) {
            __m128i g = load16(src + i);
            __m128i gg_lo = _mm_unpacklo_epi8(g, g);
            __m128i gg_hi = _mm_unpackhi_epi8(g, g);
            __m128i ga_lo = _mm_or_si128(_mm_srli_epi16(gg_lo, 8), alpha);  // g, 255
            __m128i ga_hi = _mm_or_si128(_mm_srli_epi16(gg_hi, 8), alpha);
            store16(dst + 4 * i, _mm_unpacklo_epi16(gg_lo, ga_lo));
            store16(dst + 4 * i + 16, _mm_unpackhi_epi16(gg_lo, ga_lo));
            store16(dst + 4 * i + 32, _mm_unpacklo_epi16(gg_hi, ga_hi));
            store16(dst + 4 * i + 48, _mm_unpackhi_epi16(gg_hi, ga_hi));
        }
        break;
    }
    case MonoA8: {
        const __m128i low = _mm_set1_epi16(0xFF);
        for (u32 i = 0; i < padded; i += 8) {
            __m128i ga = load16(src + 2 * i);  // 16-bit lanes g | a << 8
            __m128i g = _mm_and_si128(ga, low);
            __m128i gg = _mm_or_si128(g, _mm_slli_epi16(g, 8));
            store16(dst + 4 * i, _mm_unpacklo_epi16(gg, ga));
            store16(dst + 4 * i + 16, _mm_unpackhi_epi16(gg, ga));
        }
        break;
    }
    case Rgba16:
        for (u32 i = 0; i < 8 * padded; i += 32) {
            __m128i a = _mm_srli_epi16(load16(src + i), 8);
            __m128i b = _mm_srli_epi16(load16(src + i + 16), 8);
            store16(dst + i / 2, _mm_packus_epi16(a, b));
        }
        break;
    default:
        for (u32 i = 0; i < 4 * padded; i += 16) store16(dst + i, load16(src + i));
        break;
    }
}
