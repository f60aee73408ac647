// CRC-32 by carry-less multiplication on 256-bit vectors: the four 128-bit
// accumulators of crc32_clmul.cpp held two to a vector, so each vpclmulqdq
// folds two of them with the same constants and a 64-byte step takes four
// multiplications instead of eight; the end is the 128-bit kernel's. Built
// with AVX2 and VPCLMULQDQ for this file only; chosen at start-up after a
// CPU check.
#include <immintrin.h>

#include "codec/png/crc32_fold.h"

u32 crc32_update_vpclmul(const Crc32Table* table, u32 value, const u8* bytes, u64 length) {
    if (length < 64) return crc32_update_slicing(table, value, bytes, length);
    // x^(4*128+32) and x^(4*128-32) in each 128-bit lane.
    const __m256i k1k2 = _mm256_set_epi64x(0x1c6e41596, 0x154442bd4, 0x1c6e41596, 0x154442bd4);
    const u32 c = ~value;
    // Lanes: x0 and x1 in y01, x2 and x3 in y23.
    __m256i y01 = _mm256_xor_si256(_mm256_loadu_si256((const __m256i*)bytes),
                                   _mm256_zextsi128_si256(_mm_cvtsi32_si128((int)c)));
    __m256i y23 = _mm256_loadu_si256((const __m256i*)(bytes + 32));
    bytes += 64;
    length -= 64;
    while (length >= 64) {
        const __m256i a01 = _mm256_clmulepi64_epi128(y01, k1k2, 0x00);
        const __m256i b01 = _mm256_clmulepi64_epi128(y01, k1k2, 0x11);
        const __m256i a23 = _mm256_clmulepi64_epi128(y23, k1k2, 0x00);
        const __m256i b23 = _mm256_clmulepi64_epi128(y23, k1k2, 0x11);
        y01 = _mm256_xor_si256(_mm256_xor_si256(a01, b01), _mm256_loadu_si256((const __m256i*)bytes));
        y23 = _mm256_xor_si256(_mm256_xor_si256(a23, b23), _mm256_loadu_si256((const __m256i*)(bytes + 32)));
        bytes += 64;
        length -= 64;
    }
    return crc32_clmul_finish(table, _mm256_castsi256_si128(y01), _mm256_extracti128_si256(y01, 1),
                              _mm256_castsi256_si128(y23), _mm256_extracti128_si256(y23, 1), bytes, length);
}
