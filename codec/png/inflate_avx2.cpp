// The inflate fast loop built for AVX2 and BMI2 (this file alone gets those
// flags): the same loop as the SSE2 file, but the compiler's BMI2 variable
// shifts and bit extracts shorten the bit-reader arithmetic, and distances of
// 32 and more copy with one 32-byte load and store. Results are identical.
#include <immintrin.h>

#include "codec/png/inflate_fast.h"

static QB_FORCE_INLINE void copy16(u8* dst, const u8* src) {
    _mm_storeu_si128((__m128i*)dst, _mm_loadu_si128((const __m128i*)src));
}

struct InflateCopyAvx2 {
    static QB_FORCE_INLINE void match(u8* dst, u64 dist, u32 len) {
        u8* end = dst + len;
        const u8* src = dst - dist;
        if (dist >= 32) {
            do {
                _mm256_storeu_si256((__m256i*)dst, _mm256_loadu_si256((const __m256i*)src));
                src += 32;
                dst += 32;
            } while (dst < end);
            return;
        }
        if (dist >= 16) {
            do {
                copy16(dst, src);
                src += 16;
                dst += 16;
            } while (dst < end);
            return;
        }
        if (dist == 1) {
            __m256i v = _mm256_set1_epi8((char)src[0]);
            do {
                _mm256_storeu_si256((__m256i*)dst, v);
                dst += 32;
            } while (dst < end);
            return;
        }
        u8* start = dst - dist;
        u64 unit = dist;
        while (unit < 16) {
            copy16(start + unit, start);
            unit *= 2;
            if (start + unit >= end) return;
        }
        dst = start + unit;
        do {
            copy16(dst, dst - unit);
            dst += 16;
        } while (dst < end);
    }
};

void inflate_fast_avx2(InflateState* s, const u8* in, u64 in_size, u8* out, u64 out_size) {
    inflate_fast_loop<InflateCopyAvx2>(s, in, in_size, out, out_size);
}
