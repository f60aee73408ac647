// SSE2 twin of the sequential path's chroma row filter (sequential.h):
// eight chroma samples a step, their column sums formed in registers from
// the two sample rows, so no sum row is stored and read back, and each sum
// formed once: its neighbours come by lane shifts from the steps before and
// after. The last output, whose right neighbour lies past the row, is
// redone by the scalar formula.
#include <emmintrin.h>

#include "codec/jpeg/sequential.h"

static QB_FORCE_INLINE __m128i load8(const u8* p) {
    return _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i*)p), _mm_setzero_si128());
}

// 3 * near + far for eight samples; at most 1020, so 16 bits hold every sum below.
static QB_FORCE_INLINE __m128i sums8(const u8* near, const u8* far) {
    __m128i n = load8(near);
    return _mm_add_epi16(_mm_add_epi16(n, _mm_add_epi16(n, n)), load8(far));
}

static QB_FORCE_INLINE void filter8(__m128i left, __m128i mid, __m128i right, u8* out) {
    const __m128i eight = _mm_set1_epi16(8);
    const __m128i seven = _mm_set1_epi16(7);
    __m128i s = _mm_add_epi16(mid, _mm_add_epi16(mid, mid));
    __m128i even = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(s, left), eight), 4);
    __m128i odd = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(s, right), seven), 4);
    _mm_storeu_si128((__m128i*)out, _mm_packus_epi16(_mm_unpacklo_epi16(even, odd), _mm_unpackhi_epi16(even, odd)));
}

void jpeg_h2v2_row_sse2(const u8* near, const u8* far, u8* out, u32 count) {
    QB_ASSERT(count >= 2);
    // Sums of samples i to i + 7 in `mid`, carried across the steps: the
    // left neighbours are `mid` one lane up with the previous step's last
    // sum below, the right ones one lane down with the next step's first.
    __m128i mid = sums8(near, far);
    __m128i before = _mm_slli_si128(mid, 14);  // the edge sum repeated
    for (u32 i = 0; i < count; i += 8) {
        __m128i next = sums8(near + i + 8, far + i + 8);
        __m128i left = _mm_or_si128(_mm_slli_si128(mid, 2), _mm_srli_si128(before, 14));
        __m128i right = _mm_or_si128(_mm_srli_si128(mid, 2), _mm_slli_si128(next, 14));
        filter8(left, mid, right, out + 2 * i);
        before = mid;
        mid = next;
    }
    u32 last = count - 1;
    u32 t = 3 * near[last] + far[last];
    out[2 * last + 1] = (u8)((4 * t + 7) >> 4);
}
