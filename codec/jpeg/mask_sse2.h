// The non-zero mask of a block of 64 coefficients with SSE2, inlined into
// the refining scans' block decoder; its scalar twin is
// jpeg_nonzero_mask_scalar (entropy.cpp), and tests compare the two.
#pragma once

#include <emmintrin.h>

#include "base/types.h"

// Bit i set when coefficient i (natural order) is not zero.
static QB_FORCE_INLINE u64 jpeg_nonzero_mask_sse2(const i16* block) {
    const __m128i zero = _mm_setzero_si128();
    u64 zeros = 0;
    for (u32 i = 0; i < 64; i += 16) {
        __m128i a = _mm_cmpeq_epi16(_mm_loadu_si128((const __m128i*)(block + i)), zero);
        __m128i b = _mm_cmpeq_epi16(_mm_loadu_si128((const __m128i*)(block + i + 8)), zero);
        zeros |= (u64)(u32)_mm_movemask_epi8(_mm_packs_epi16(a, b)) << i;
    }
    return ~zeros;
}

// A block of 64 coefficients (16-byte aligned) set to zero: eight stores,
// where a call to memset of 128 bytes may become a string store with a
// start-up cost of its own. Written out one by one: the compiler takes a
// loop of them for a memset and emits that string store after all.
static QB_FORCE_INLINE void jpeg_clear_block_sse2(i16* block) {
    const __m128i zero = _mm_setzero_si128();
    __m128i* p = (__m128i*)block;
    _mm_store_si128(p + 0, zero);
    _mm_store_si128(p + 1, zero);
    _mm_store_si128(p + 2, zero);
    _mm_store_si128(p + 3, zero);
    _mm_store_si128(p + 4, zero);
    _mm_store_si128(p + 5, zero);
    _mm_store_si128(p + 6, zero);
    _mm_store_si128(p + 7, zero);
}
