// AVX2 unfiltering: Up adds 32 bytes per instruction. The other filters are
// bound by the dependency on the pixel to the left (or, for Sub, by the
// in-vector prefix sum, which AVX2 cannot do across its two lanes any
// faster), so they share the SSE2 kernels.
#include <immintrin.h>

#include "codec/png/png_rows.h"

void unfilter_row_avx2(u32 type, const u8* src, u8* dst, const u8* prev, u64 n, u32 bpp) {
    if (type != 2) {
        unfilter_row_sse2(type, src, dst, prev, n, bpp);
        return;
    }
    for (u64 i = 0; i < n; i += 32) {
        __m256i a = _mm256_loadu_si256((const __m256i*)(src + i));
        __m256i b = _mm256_loadu_si256((const __m256i*)(prev + i));
        _mm256_storeu_si256((__m256i*)(dst + i), _mm256_add_epi8(a, b));
    }
}
