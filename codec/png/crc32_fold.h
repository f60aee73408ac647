// The end of a CRC-32 by carry-less multiplication, shared by the 128-bit
// and the 256-bit kernels: the four 128-bit accumulators of the 64-byte folds
// folded into one, the rest taken 16 bytes a step, the remainder reduced to 32
// bits (see crc32_clmul.cpp for the constants), and the last bytes under 16
// by slicing. Internal linkage: each including file builds it with its own
// target flags.
#pragma once

#include <emmintrin.h>
#include <wmmintrin.h>

#include "codec/png/crc32.h"

static inline u32 crc32_clmul_finish(const Crc32Table* table, __m128i x0, __m128i x1, __m128i x2, __m128i x3,
                                     const u8* bytes, u64 length) {
    const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124);
    const __m128i poly_mu = _mm_set_epi64x(0x1f7011641, 0x1db710641);
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
    u32 c;
    // Four accumulators into one, then 16 bytes a step.
    __m128i x = x0;
    x = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k3k4, 0x00), _mm_clmulepi64_si128(x, k3k4, 0x11)), x1);
    x = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k3k4, 0x00), _mm_clmulepi64_si128(x, k3k4, 0x11)), x2);
    x = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k3k4, 0x00), _mm_clmulepi64_si128(x, k3k4, 0x11)), x3);
    while (length >= 16) {
        __m128i folded = _mm_xor_si128(_mm_clmulepi64_si128(x, k3k4, 0x00), _mm_clmulepi64_si128(x, k3k4, 0x11));
        x = _mm_xor_si128(folded, _mm_loadu_si128((const __m128i*)bytes));
        bytes += 16;
        length -= 16;
    }
    // 128 bits to 64 (with 32 zero bits appended), then to 32.
    x = _mm_xor_si128(_mm_srli_si128(x, 8), _mm_clmulepi64_si128(k3k4, x, 0x01));
    x = _mm_xor_si128(_mm_srli_si128(x, 4), _mm_clmulepi64_si128(_mm_and_si128(x, mask32), k5, 0x00));
    // Barrett: q = (low 32 bits * mu) low 32 bits, then remove q * P.
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, mask32), poly_mu, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), poly_mu, 0x00);
    x = _mm_xor_si128(x, t);
    c = (u32)_mm_cvtsi128_si32(_mm_srli_si128(x, 4));
    return crc32_update_slicing(table, ~c, bytes, length);
}
