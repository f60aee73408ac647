// SSE2 search for the 0xFF that starts every marker and stuffed byte of the
// entropy-coded data: 32 bytes a step, compared with 0xFF and turned into a
// bit mask whose lowest set bit is the answer. Its scalar twin,
// jpeg_find_ff_scalar, sits with the scan driver in entropy.cpp.
#include <emmintrin.h>

#include "codec/jpeg/kernels.h"

u64 jpeg_find_ff_sse2(const u8* p, u64 pos, u64 length) {
    const __m128i ff = _mm_set1_epi8((char)0xFF);
    while (pos + 32 <= length) {
        __m128i a = _mm_loadu_si128((const __m128i*)(p + pos));
        __m128i b = _mm_loadu_si128((const __m128i*)(p + pos + 16));
        u32 mask = (u32)_mm_movemask_epi8(_mm_cmpeq_epi8(a, ff)) |
                   ((u32)_mm_movemask_epi8(_mm_cmpeq_epi8(b, ff)) << 16);
        if (mask != 0) return pos + (u64)__builtin_ctz(mask);
        pos += 32;
    }
    while (pos < length && p[pos] != 0xFF) pos++;
    return pos;
}
