// CRC-32 by carry-less multiplication: the data is folded 64 bytes a step
// into four 128-bit accumulators (each multiplied by x^(512 +- 32) mod P and
// added to the next 64 bytes), the four are folded into one, the rest taken
// 16 bytes a step, and the 128-bit remainder reduced to 32 bits with two
// more folds and a bit-reflected Barrett reduction. The constants are the
// powers of x modulo the reflected polynomial for those distances:
//   k1 = x^(4*128+32), k2 = x^(4*128-32), k3 = x^(128+32), k4 = x^(128-32),
//   k5 = x^64, P' = 0x1DB710641 (P, reflected, with its x^32 term),
//   mu = 0x1F7011641 (floor(x^64 / P), reflected).
// Inputs under 64 bytes, and the last bytes under 16, go to the slicing
// loop. Built with PCLMULQDQ enabled for this file only; chosen at start-up
// after a CPU check.
#include <emmintrin.h>
#include <wmmintrin.h>

#include "codec/png/crc32_fold.h"

u32 crc32_update_clmul(const Crc32Table* table, u32 value, const u8* bytes, u64 length) {
    if (length < 64) return crc32_update_slicing(table, value, bytes, length);
    const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    u32 c = ~value;
    __m128i x0 = _mm_xor_si128(_mm_loadu_si128((const __m128i*)bytes), _mm_cvtsi32_si128((int)c));
    __m128i x1 = _mm_loadu_si128((const __m128i*)(bytes + 16));
    __m128i x2 = _mm_loadu_si128((const __m128i*)(bytes + 32));
    __m128i x3 = _mm_loadu_si128((const __m128i*)(bytes + 48));
    bytes += 64;
    length -= 64;
    while (length >= 64) {
        __m128i a0 = _mm_clmulepi64_si128(x0, k1k2, 0x00), b0 = _mm_clmulepi64_si128(x0, k1k2, 0x11);
        __m128i a1 = _mm_clmulepi64_si128(x1, k1k2, 0x00), b1 = _mm_clmulepi64_si128(x1, k1k2, 0x11);
        __m128i a2 = _mm_clmulepi64_si128(x2, k1k2, 0x00), b2 = _mm_clmulepi64_si128(x2, k1k2, 0x11);
        __m128i a3 = _mm_clmulepi64_si128(x3, k1k2, 0x00), b3 = _mm_clmulepi64_si128(x3, k1k2, 0x11);
        x0 = _mm_xor_si128(_mm_xor_si128(a0, b0), _mm_loadu_si128((const __m128i*)bytes));
        x1 = _mm_xor_si128(_mm_xor_si128(a1, b1), _mm_loadu_si128((const __m128i*)(bytes + 16)));
        x2 = _mm_xor_si128(_mm_xor_si128(a2, b2), _mm_loadu_si128((const __m128i*)(bytes + 32)));
        x3 = _mm_xor_si128(_mm_xor_si128(a3, b3), _mm_loadu_si128((const __m128i*)(bytes + 48)));
        bytes += 64;
        length -= 64;
    }
    return crc32_clmul_finish(table, x0, x1, x2, x3, bytes, length);
}
