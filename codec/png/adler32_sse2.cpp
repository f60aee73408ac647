// Adler-32 with SSE2. Per 16-byte group of a round: the byte sum by psadbw,
// and the weighted sum (weights 16 down to 1) by widening to 16 bits and
// pmaddwd. Across a round the running a must be added to b once per byte, so
// a prefix sum of the group sums is kept too:
//   b' = b + 16 * groups * a + 16 * prefix + weighted,  a' = a + sums.
// Rounds of 2048 bytes (128 groups) keep the per-round work, three lane sums
// and two reductions, small beside the groups; every lane stays bounded: the
// prefix lanes below 2040 * 128^2 / 2, so b's increment stays below
// 16 * 128 * 65521 + 16 * 2 * 2040 * 128^2 / 2 + 4 * 16320 * 128, about 2^29.
#include <emmintrin.h>

#include "codec/png/adler32.h"

static const u32 ADLER_MOD = 65521;
static const u64 ADLER_ROUND = 2048;

static inline u32 sum_lanes(__m128i v) {
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0x4E));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0xB1));
    return (u32)_mm_cvtsi128_si32(v);
}

u32 adler32_update_sse2(u32 value, const u8* bytes, u64 length) {
    u32 a = value & 0xFFFF;
    u32 b = value >> 16;
    const __m128i zero = _mm_setzero_si128();
    const __m128i weights_lo = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
    const __m128i weights_hi = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
    while (length > 0) {
        u64 n = length < ADLER_ROUND ? length : ADLER_ROUND;
        u64 groups = n / 16;
        __m128i sums = zero;
        __m128i prefix = zero;
        __m128i weighted = zero;
        for (u64 g = 0; g < groups; g++) {
            __m128i x = _mm_loadu_si128((const __m128i*)(bytes + 16 * g));
            prefix = _mm_add_epi32(prefix, sums);
            sums = _mm_add_epi32(sums, _mm_sad_epu8(x, zero));
            __m128i lo = _mm_unpacklo_epi8(x, zero);
            __m128i hi = _mm_unpackhi_epi8(x, zero);
            weighted = _mm_add_epi32(weighted, _mm_madd_epi16(lo, weights_lo));
            weighted = _mm_add_epi32(weighted, _mm_madd_epi16(hi, weights_hi));
        }
        b += (u32)(16 * groups) * a + 16 * sum_lanes(prefix) + sum_lanes(weighted);
        a += sum_lanes(sums);
        for (u64 i = 16 * groups; i < n; i++) {
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
