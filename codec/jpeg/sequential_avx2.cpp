// AVX2 twin of the sequential path's chroma row filter (sequential.h):
// sixteen chroma samples a step, each neighbour row of sums formed from its
// own unaligned loads (the samples were written long before, so the loads
// cost little and no lane crossing is needed). The first step's left
// neighbours come from the row's start shifted up a place, the edge sample
// repeated; the last output is redone by the scalar formula.
#include <immintrin.h>

#include "codec/jpeg/sequential.h"

// 3 * near + far for sixteen samples.
static QB_FORCE_INLINE __m256i sums16(__m128i near, __m128i far) {
    __m256i n = _mm256_cvtepu8_epi16(near);
    __m256i f = _mm256_cvtepu8_epi16(far);
    return _mm256_add_epi16(_mm256_add_epi16(n, _mm256_add_epi16(n, n)), f);
}

static QB_FORCE_INLINE __m256i sums16(const u8* near, const u8* far) {
    return sums16(_mm_loadu_si128((const __m128i*)near), _mm_loadu_si128((const __m128i*)far));
}

// Samples 0 to 15 moved up one place, sample 0 repeated below them.
static QB_FORCE_INLINE __m128i edge_repeated(__m128i v) {
    return _mm_or_si128(_mm_slli_si128(v, 1), _mm_and_si128(v, _mm_cvtsi32_si128(0xFF)));
}

// Even and odd outputs interleaved: the in-lane unpacks and pack leave
// outputs 0 to 15 in the low lane and 16 to 31 in the high one.
static QB_FORCE_INLINE void filter16(__m256i left, __m256i mid, __m256i right, u8* out) {
    const __m256i eight = _mm256_set1_epi16(8);
    const __m256i seven = _mm256_set1_epi16(7);
    __m256i s = _mm256_add_epi16(mid, _mm256_add_epi16(mid, mid));
    __m256i even = _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(s, left), eight), 4);
    __m256i odd = _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(s, right), seven), 4);
    __m256i bytes = _mm256_packus_epi16(_mm256_unpacklo_epi16(even, odd), _mm256_unpackhi_epi16(even, odd));
    _mm256_storeu_si256((__m256i*)out, bytes);
}

void jpeg_h2v2_row_avx2(const u8* near, const u8* far, u8* out, u32 count) {
    QB_ASSERT(count >= 2);
    __m128i n = _mm_loadu_si128((const __m128i*)near);
    __m128i f = _mm_loadu_si128((const __m128i*)far);
    filter16(sums16(edge_repeated(n), edge_repeated(f)), sums16(n, f), sums16(near + 1, far + 1), out);
    for (u32 i = 16; i < count; i += 16) {
        filter16(sums16(near + i - 1, far + i - 1), sums16(near + i, far + i), sums16(near + i + 1, far + i + 1),
                 out + 2 * i);
    }
    u32 last = count - 1;
    u32 t = 3 * near[last] + far[last];
    out[2 * last + 1] = (u8)((4 * t + 7) >> 4);
}
