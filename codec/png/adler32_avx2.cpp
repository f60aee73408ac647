// Adler-32 with AVX2, the SSE2 kernel's scheme on 32-byte groups. Per group:
// the byte sum by vpsadbw, and the weighted sum (weights 32 down to 1) by
// vpmaddubsw, whose unsigned-by-signed byte products paired into 16 bits stay
// below 2 * 255 * 32, then vpmaddwd by ones into 32-bit lanes. Across a round
//   b' = b + 32 * groups * a + 32 * prefix + weighted,  a' = a + sums.
// Rounds of 2048 bytes (64 groups): each sum lane stays below 2040 * 64, the
// prefix lanes below 2040 * 64^2 / 2, so b's increment stays below
// 32 * 64 * 65521 + 32 * 4 * 2040 * 64^2 / 2 + 2048 * 255 * 32, under 2^30.
#include <immintrin.h>

#include "codec/png/adler32.h"

static const u32 ADLER_MOD = 65521;
static const u64 ADLER_ROUND = 2048;

static inline u32 sum_lanes(__m256i v) {
    __m128i x = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0x4E));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0xB1));
    return (u32)_mm_cvtsi128_si32(x);
}

u32 adler32_update_avx2(u32 value, const u8* bytes, u64 length) {
    u32 a = value & 0xFFFF;
    u32 b = value >> 16;
    const __m256i zero = _mm256_setzero_si256();
    const __m256i ones = _mm256_set1_epi16(1);
    const __m256i weights = _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15,
                                             14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    while (length > 0) {
        u64 n = length < ADLER_ROUND ? length : ADLER_ROUND;
        u64 groups = n / 32;
        __m256i sums = zero;
        __m256i prefix = zero;
        __m256i weighted = zero;
        for (u64 g = 0; g < groups; g++) {
            __m256i x = _mm256_loadu_si256((const __m256i*)(bytes + 32 * g));
            prefix = _mm256_add_epi32(prefix, sums);
            sums = _mm256_add_epi32(sums, _mm256_sad_epu8(x, zero));
            weighted = _mm256_add_epi32(weighted, _mm256_madd_epi16(_mm256_maddubs_epi16(x, weights), ones));
        }
        b += (u32)(32 * groups) * a + 32 * sum_lanes(prefix) + sum_lanes(weighted);
        a += sum_lanes(sums);
        for (u64 i = 32 * groups; i < n; i++) {
            a += bytes[i];
            b += a;
        }
        a %= ADLER_MOD;
        b %= ADLER_MOD;
        bytes += n;
        length -= n;
    }
    return (b << 16) | a;
}
