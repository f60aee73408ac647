// SSE2 undoing of the horizontal predictor on 8-bit rows whose samples are
// 1 to 4 bytes apart. Each vector holds whole pixels (15 bytes, five pixels,
// for 3 bytes apart; 16 otherwise): the prefix sum inside it takes shifts by
// 1, 2, 4 and 8 pixels, then the previous vector's last pixel, repeated in
// every position, is added. Spreading a pixel is a byte-wise selection, so
// the running carry is the sum of the spread last pixels of the bare prefix
// sums: the only link from one vector to the next is one addition. The next
// vector is loaded before the current one is stored, since the 16-byte store
// of a 15-byte step reaches one byte into it. The row's last bytes go
// through the scalar loop.
#include <emmintrin.h>

#include "codec/tiff/tiff.h"

template <int S>
static QB_FORCE_INLINE __m128i prefix(__m128i v) {
    v = _mm_add_epi8(v, _mm_slli_si128(v, S));
    if (2 * S < 16) v = _mm_add_epi8(v, _mm_slli_si128(v, 2 * S));
    if (4 * S < 16) v = _mm_add_epi8(v, _mm_slli_si128(v, 4 * S));
    if (8 * S < 16) v = _mm_add_epi8(v, _mm_slli_si128(v, 8 * S));
    return v;
}

// The pixel at bytes [STEP - S, STEP) of v in every pixel position.
template <int S, int STEP>
static QB_FORCE_INLINE __m128i spread_last(__m128i v) {
    __m128i c = _mm_srli_si128(v, STEP - S);
    const __m128i keep = _mm_srli_si128(_mm_set1_epi8((char)0xFF), 16 - S);
    c = _mm_and_si128(c, keep);
    c = _mm_or_si128(c, _mm_slli_si128(c, S));
    if (2 * S < 16) c = _mm_or_si128(c, _mm_slli_si128(c, 2 * S));
    if (4 * S < 16) c = _mm_or_si128(c, _mm_slli_si128(c, 4 * S));
    if (8 * S < 16) c = _mm_or_si128(c, _mm_slli_si128(c, 8 * S));
    return c;
}

template <int S>
static void undo_row(u8* p, u64 n) {
    constexpr int STEP = 16 - 16 % S;
    u64 i = 0;
    __m128i carry = _mm_setzero_si128();
    if (n >= (u64)STEP + 16) {
        __m128i cur = _mm_loadu_si128((const __m128i*)p);
        for (; i + STEP + 16 <= n; i += STEP) {
            __m128i next = _mm_loadu_si128((const __m128i*)(p + i + STEP));
            __m128i sum = prefix<S>(cur);
            _mm_storeu_si128((__m128i*)(p + i), _mm_add_epi8(sum, carry));
            carry = _mm_add_epi8(carry, spread_last<S, STEP>(sum));
            cur = next;
        }
        // The last store may have reached into the first byte not yet done.
        _mm_storeu_si128((__m128i*)(p + i), cur);
    }
    // The rest from the last finished pixel on.
    for (u64 j = i > 0 ? i : (u64)S; j < n; j++) p[j] = (u8)(p[j] + p[j - S]);
}

void tiff_predict8_sse2(u8* row, u64 n, u32 stride) {
    switch (stride) {
    case 1: undo_row<1>(row, n); return;
    case 2: undo_row<2>(row, n); return;
    case 3: undo_row<3>(row, n); return;
    case 4: undo_row<4>(row, n); return;
    default: tiff_predict8_scalar(row, n, stride); return;
    }
}
