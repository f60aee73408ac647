// AVX2 unfiltering: Up adds 32 bytes per instruction, and Paeth selects its
// predictor with byte blends (SSE4.1, part of every AVX2 CPU), which takes two
// operations off the chain from one pixel to the next. Sub and Average are
// bound by the dependency on the pixel to the left (or, for Sub, by the
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
// each select one blend: t, the compares, two blends and the add wait on the
// pixel just finished, five operations instead of seven.
template <u32 B>
static void unfilter_paeth(const u8* src, u8* dst, const u8* prev, u64 n) {
    const __m128i zero = _mm_setzero_si128();
    __m128i a = zero;  // left, 16-bit lanes
    __m128i c = zero;  // upleft
    for (u64 i = 0; i < n; i += B) {
        const __m128i b = _mm_cvtepu8_epi16(load_pixel<B>(prev + i));
        const __m128i x = _mm_cvtepu8_epi16(load_pixel<B>(src + i));
        const __m128i k = _mm_sub_epi16(_mm_add_epi16(c, _mm_add_epi16(c, c)), b);  // 3c - b
        const __m128i t = _mm_sub_epi16(k, a);
        const __m128i lo = _mm_min_epi16(a, b);
        const __m128i hi = _mm_max_epi16(a, b);
        const __m128i take_c = _mm_cmpgt_epi16(hi, t);   // hi > t: c, unless t <= lo
        const __m128i take_lo = _mm_cmpgt_epi16(t, lo);  // t > lo: not hi
        const __m128i mid = _mm_blendv_epi8(lo, c, take_c);
        const __m128i pred = _mm_blendv_epi8(hi, mid, take_lo);
        // Bytes, not words: the high byte of each lane stays 0 and the low
        // one wraps as the filter wants, with no mask after the add.
        a = _mm_add_epi8(x, pred);
        c = b;
        store_pixel<B>(dst + i, _mm_packus_epi16(a, a));
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
