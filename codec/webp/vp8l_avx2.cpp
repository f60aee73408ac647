// AVX2 twins of the lossless decoder's row kernels, 8 pixels a step: the
// output conversion (one byte shuffle), adding green back, the colour
// cache's insertion, the colour transform (the SSE2 twin's multiplies, twice as wide) and the predictors
// that read only the row above. Chosen at start-up when the CPU has AVX2;
// the rest of the kernels stay with their SSE2 twins.
#include <immintrin.h>

#include "codec/webp/vp8l.h"

// ---- Output and add green -----------------------------------------------------

void vp8l_output_avx2(const u32* argb, u8* out, u32 count) {
    // Per pixel, bytes B G R A become R G B A.
    const __m256i order = _mm256_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15, 2, 1, 0, 3, 6, 5, 4,
                                           7, 10, 9, 8, 11, 14, 13, 12, 15);
    for (u32 k = 0; k < count; k += 8) {
        __m256i v = _mm256_loadu_si256((const __m256i*)(argb + k));
        _mm256_storeu_si256((__m256i*)(out + 4 * k), _mm256_shuffle_epi8(v, order));
    }
}

void vp8l_add_green_avx2(u32* argb, u32 count) {
    // Green to the bytes of red and blue, zero elsewhere.
    const __m256i green = _mm256_setr_epi8(1, -1, 1, -1, 5, -1, 5, -1, 9, -1, 9, -1, 13, -1, 13, -1, 1, -1, 1, -1, 5,
                                           -1, 5, -1, 9, -1, 9, -1, 13, -1, 13, -1);
    u32 k = 0;
    for (; k + 8 <= count; k += 8) {
        __m256i v = _mm256_loadu_si256((const __m256i*)(argb + k));
        _mm256_storeu_si256((__m256i*)(argb + k), _mm256_add_epi8(v, _mm256_shuffle_epi8(v, green)));
    }
    vp8l_add_green_sse2(argb + k, count - k);
}

// ---- Colour cache -------------------------------------------------------------

// As the SSE2 twin, 16 pixels equal to their predecessors at a time.
void vp8l_cache_insert_avx2(u32* cache, u32 shift, const u32* argb, u64 count) {
    if (count == 0) return;
    cache[vp8l_cache_slot(argb[0], shift)] = argb[0];
    u64 k = 1;
    for (; k + 16 <= count; k += 16) {
        // Only a block that ends on the pixel before it can be a run of it.
        if (argb[k + 15] != argb[k - 1]) {
            for (u32 j = 0; j < 16; j++) cache[vp8l_cache_slot(argb[k + j], shift)] = argb[k + j];
            continue;
        }
        __m256i a = _mm256_cmpeq_epi32(_mm256_loadu_si256((const __m256i*)(argb + k)),
                                       _mm256_loadu_si256((const __m256i*)(argb + k - 1)));
        __m256i b = _mm256_cmpeq_epi32(_mm256_loadu_si256((const __m256i*)(argb + k + 8)),
                                       _mm256_loadu_si256((const __m256i*)(argb + k + 7)));
        if (_mm256_movemask_epi8(_mm256_and_si256(a, b)) == -1) continue;
        for (u32 j = 0; j < 16; j++) cache[vp8l_cache_slot(argb[k + j], shift)] = argb[k + j];
    }
    vp8l_cache_insert_scalar(cache, shift, argb + k, count - k);
}

// ---- Colour transform -----------------------------------------------------------

// As the SSE2 twin: signed products kept in the high halves of 16-bit lanes.
void vp8l_color_avx2(u32* argb, u32 count, u32 element) {
    i16 g2r = (i16)((i8)(element & 0xFF) * 8);
    i16 g2b = (i16)((i8)((element >> 8) & 0xFF) * 8);
    i16 r2b = (i16)((i8)((element >> 16) & 0xFF) * 8);
    const __m256i green_mults = _mm256_set1_epi32((i32)(((u32)(u16)g2r << 16) | (u16)g2b));
    const __m256i red_mult = _mm256_set1_epi32((i32)((u32)(u16)r2b << 16));
    const __m256i ag_mask = _mm256_set1_epi32((int)0xFF00FF00u);
    u32 k = 0;
    for (; k + 8 <= count; k += 8) {
        __m256i v = _mm256_loadu_si256((const __m256i*)(argb + k));
        __m256i ag = _mm256_and_si256(v, ag_mask);
        __m256i g = _mm256_shufflelo_epi16(ag, _MM_SHUFFLE(2, 2, 0, 0));
        g = _mm256_shufflehi_epi16(g, _MM_SHUFFLE(2, 2, 0, 0));
        __m256i rb = _mm256_add_epi8(v, _mm256_mulhi_epi16(g, green_mults));
        __m256i high = _mm256_slli_epi16(rb, 8);
        __m256i second = _mm256_srli_epi32(_mm256_mulhi_epi16(high, red_mult), 8);
        __m256i out = _mm256_srli_epi16(_mm256_add_epi8(high, second), 8);
        _mm256_storeu_si256((__m256i*)(argb + k), _mm256_or_si256(out, ag));
    }
    vp8l_color_sse2(argb + k, count - k, element);
}

// ---- Predictors -----------------------------------------------------------------

// Per-byte floor((a + b) / 2).
static inline __m256i average2(__m256i a, __m256i b) {
    __m256i odd = _mm256_and_si256(_mm256_xor_si256(a, b), _mm256_set1_epi8(1));
    return _mm256_sub_epi8(_mm256_avg_epu8(a, b), odd);
}

// Modes that read only the row above: 8 pixels at a time, the rest through
// the SSE2 twin.
template <u32 MODE>
static void predict_above(u32* cur, const u32* up, u32 count) {
    u32 k = 0;
    for (; k + 8 <= count; k += 8) {
        __m256i c = _mm256_loadu_si256((const __m256i*)(cur + k));
        __m256i t = _mm256_loadu_si256((const __m256i*)(up + k));
        __m256i p;
        switch (MODE) {
        case 2: p = t; break;
        case 3: p = _mm256_loadu_si256((const __m256i*)(up + k + 1)); break;
        case 4: p = _mm256_loadu_si256((const __m256i*)(up + k - 1)); break;
        case 8: p = average2(_mm256_loadu_si256((const __m256i*)(up + k - 1)), t); break;
        case 9: p = average2(t, _mm256_loadu_si256((const __m256i*)(up + k + 1))); break;
        default: p = _mm256_set1_epi32((int)0xFF000000u); break;
        }
        _mm256_storeu_si256((__m256i*)(cur + k), _mm256_add_epi8(c, p));
    }
    vp8l_predict_sse2[MODE](cur + k, up + k, count - k);
}

// Null where the SSE2 twin serves.
const Vp8lPredictFn vp8l_predict_avx2[16] = {
    predict_above<0>, nullptr, predict_above<2>, predict_above<3>, predict_above<4>, nullptr,
    nullptr,          nullptr, predict_above<8>, predict_above<9>, nullptr,          nullptr,
    nullptr,          nullptr, predict_above<14>, predict_above<15>,
};
