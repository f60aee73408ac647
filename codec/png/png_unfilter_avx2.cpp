// AVX2 unfiltering: Up adds 32 bytes per instruction, Paeth selects its
// predictor with byte blends (SSE4.1, part of every AVX2 CPU), which takes two
// operations off the chain from one pixel to the next, and Sub on 3- and
// 6-byte pixels spreads its carry (the last pixel of a vector) with one byte
// shuffle (SSSE3) instead of eight shifts and ors. Average and the other
// Sub widths are bound by the dependency on the pixel to the left (or by the
// in-vector prefix sum, which AVX2 cannot do across its two lanes any
// faster), so they share the SSE2 kernels.
#include <immintrin.h>
#include <string.h>

#include "codec/png/png_rows.h"

// The first 4 or 8 bytes at p, the rest of the vector zero.
template <u32 B>
static QB_FORCE_INLINE __m128i load_pixel(const u8* p) {
    if constexpr (B <= 4) {
        i32 v;
        memcpy(&v, p, 4);
        return _mm_cvtsi32_si128(v);
    } else {
        return _mm_loadl_epi64((const __m128i*)p);
    }
}
template <u32 B>
static QB_FORCE_INLINE void store_pixel(u8* p, __m128i v) {
    if constexpr (B <= 4) {
        i32 x = _mm_cvtsi128_si32(v);
        memcpy(p, &x, 4);
    } else {
        _mm_storel_epi64((__m128i*)p, v);
    }
}

// The thresholds of the SSE2 kernel (t = 3c - a - b against lo = min(a, b)
// and hi = max(a, b): hi when t <= lo, else lo when hi <= t, else c), with
// each select one blend, and the filtered byte added to the three candidates
// before the blends rather than to their choice after: t, the compares and
// two blends wait on the pixel just finished, four operations instead of
// seven.
template <u32 B>
static void unfilter_paeth(const u8* src, u8* dst, const u8* prev, u64 n) {
    const __m128i zero = _mm_setzero_si128();
    __m128i a = zero;  // left, 16-bit lanes
    __m128i c = zero;  // upleft
    for (u64 i = 0; i < n; i += B) {
        const __m128i b = _mm_cvtepu8_epi16(load_pixel<B>(prev + i));
        const __m128i x = _mm_cvtepu8_epi16(load_pixel<B>(src + i));
        __m128i k = _mm_sub_epi16(_mm_add_epi16(c, _mm_add_epi16(c, c)), b);  // 3c - b
        // Left as it is: the compiler would otherwise regroup 3c - b - a as
        // 2c - (a + b) + c, three operations after the left pixel, not one.
        __asm__("" : "+x"(k));
        const __m128i t = _mm_sub_epi16(k, a);
        const __m128i lo = _mm_min_epi16(a, b);
        const __m128i hi = _mm_max_epi16(a, b);
        const __m128i take_c = _mm_cmpgt_epi16(hi, t);   // hi > t: c, unless t <= lo
        const __m128i take_lo = _mm_cmpgt_epi16(t, lo);  // t > lo: not hi
        // Bytes, not words: the high byte of each lane stays 0 and the low
        // one wraps as the filter wants, with no mask after the adds.
        const __m128i mid = _mm_blendv_epi8(_mm_add_epi8(x, lo), _mm_add_epi8(x, c), take_c);
        a = _mm_blendv_epi8(_mm_add_epi8(x, hi), mid, take_lo);
        c = b;
        store_pixel<B>(dst + i, _mm_packus_epi16(a, a));
    }
}

// Sub as in the SSE2 kernel: a vector advances 15 or 12 bytes so that whole
// pixels stay inside it, its prefix sum is taken by shifts, and the carry is
// the last output pixel in every position.
template <u32 B>
static void unfilter_sub(const u8* src, u8* dst, u64 n) {
    static_assert(B == 3 || B == 6, "3- and 6-byte pixels only");
    constexpr u32 adv = B == 3 ? 15 : 12;
    // Byte i of the carry takes byte adv - B + i % B of the output.
    const __m128i spread = B == 3 ? _mm_setr_epi8(12, 13, 14, 12, 13, 14, 12, 13, 14, 12, 13, 14, 12, 13, 14, 12)
                                  : _mm_setr_epi8(6, 7, 8, 9, 10, 11, 6, 7, 8, 9, 10, 11, 6, 7, 8, 9);
    __m128i carry = _mm_setzero_si128();
    for (u64 i = 0; i < n; i += adv) {
        __m128i v = _mm_loadu_si128((const __m128i*)(src + i));
        v = _mm_add_epi8(v, _mm_slli_si128(v, B));
        if constexpr (B == 3) {
            v = _mm_add_epi8(v, _mm_slli_si128(v, 2 * B));
            v = _mm_add_epi8(v, _mm_slli_si128(v, 4 * B));
        }
        const __m128i out = _mm_add_epi8(v, carry);
        _mm_storeu_si128((__m128i*)(dst + i), out);
        carry = _mm_shuffle_epi8(out, spread);
    }
}

static void unfilter_up(const u8* src, u8* dst, const u8* prev, u64 n) {
    for (u64 i = 0; i < n; i += 32) {
        __m256i a = _mm256_loadu_si256((const __m256i*)(src + i));
        __m256i b = _mm256_loadu_si256((const __m256i*)(prev + i));
        _mm256_storeu_si256((__m256i*)(dst + i), _mm256_add_epi8(a, b));
    }
}

void unfilter_row_avx2(u32 type, const u8* src, u8* dst, const u8* prev, u64 n, u32 bpp) {
    if (type == 2) {
        unfilter_up(src, dst, prev, n);
        return;
    }
    if (type == 1 && bpp == 3) {
        unfilter_sub<3>(src, dst, n);
        return;
    }
    if (type == 1 && bpp == 6) {
        unfilter_sub<6>(src, dst, n);
        return;
    }
    if (type != 4) {
        unfilter_row_sse2(type, src, dst, prev, n, bpp);
        return;
    }
    switch (bpp) {
    case 1: unfilter_paeth<1>(src, dst, prev, n); break;
    case 2: unfilter_paeth<2>(src, dst, prev, n); break;
    case 3: unfilter_paeth<3>(src, dst, prev, n); break;
    case 4: unfilter_paeth<4>(src, dst, prev, n); break;
    case 6: unfilter_paeth<6>(src, dst, prev, n); break;
    default: unfilter_paeth<8>(src, dst, prev, n); break;
    }
}
