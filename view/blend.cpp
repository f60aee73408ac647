// Scalar twins of the pixel kernels and the start-up choice among the
// variants. The scalar loops are the definition every vector variant is
// tested against; they use the one-pixel rules of blend.h directly.
#include "view/blend.h"

#include "base/cpu.h"

void blend_rows_scalar(u32* out, const u32* a, const u32* b, u32 count, u32 weight) {
    for (u32 i = 0; i < count; i++) out[i] = blend_pixel(a[i], b[i], weight);
}

void blend_columns_scalar(u32* out, const u32* row, const u8* left, const u8* right,
                          const u8* weight, u32 count) {
    for (u32 i = 0; i < count; i++) out[i] = blend_pixel(row[left[i]], row[right[i]], weight[i]);
}

void composite_row_scalar(u32* dst, const u32* src, u32 count) {
    for (u32 i = 0; i < count; i++) dst[i] = composite_pixel(dst[i], src[i]);
}

void blend_halves_over_scalar(u32* dst, const u32* a, const u32* b, u32 count, u32 wy, u32 wx) {
    for (u32 i = 0; i < count; i++) {
        u32 even = blend_pixel(a[2 * i], b[2 * i], wy);
        u32 odd = blend_pixel(a[2 * i + 1], b[2 * i + 1], wy);
        dst[i] = composite_pixel(dst[i], blend_pixel(even, odd, wx));
    }
}

void blend_shifted_over_scalar(u32* dst, const u32* a, const u32* b, u32 count, u32 wy, u32 wx) {
    for (u32 i = 0; i < count; i++) {
        u32 here = blend_pixel(a[i], b[i], wy);
        u32 next = blend_pixel(a[i + 1], b[i + 1], wy);
        dst[i] = composite_pixel(dst[i], blend_pixel(here, next, wx));
    }
}

void reduce_row_scalar(u32* out, const u32* a, const u32* b, u32 count) {
    for (u32 i = 0; i < count; i++) out[i] = reduce_pixel(a[2 * i], a[2 * i + 1], b[2 * i], b[2 * i + 1]);
}

void blend_pairs_over_scalar(u32* dst, const u32* a, const u32* b, const PairColumns* c, u32 count, u32 wy) {
    for (u32 i = 0; i < count; i++) {
        u32 l = blend_pixel(a[c->left[i]], b[c->left[i]], wy);
        u32 r = blend_pixel(a[c->right[i]], b[c->right[i]], wy);
        dst[i] = composite_pixel(dst[i], blend_pixel(l, r, c->weight[i]));
    }
}

// The samples alone: the _over rules without the compositing.
void blend_halves_scalar(u32* out, const u32* a, const u32* b, u32 count, u32 wy, u32 wx) {
    for (u32 i = 0; i < count; i++) {
        u32 even = blend_pixel(a[2 * i], b[2 * i], wy);
        u32 odd = blend_pixel(a[2 * i + 1], b[2 * i + 1], wy);
        out[i] = blend_pixel(even, odd, wx);
    }
}

void blend_shifted_scalar(u32* out, const u32* a, const u32* b, u32 count, u32 wy, u32 wx) {
    for (u32 i = 0; i < count; i++) {
        u32 here = blend_pixel(a[i], b[i], wy);
        u32 next = blend_pixel(a[i + 1], b[i + 1], wy);
        out[i] = blend_pixel(here, next, wx);
    }
}

void blend_pairs_scalar(u32* out, const u32* a, const u32* b, const PairColumns* c, u32 count, u32 wy) {
    for (u32 i = 0; i < count; i++) {
        u32 l = blend_pixel(a[c->left[i]], b[c->left[i]], wy);
        u32 r = blend_pixel(a[c->right[i]], b[c->right[i]], wy);
        out[i] = blend_pixel(l, r, c->weight[i]);
    }
}

void blend_pairs2_scalar(u32* out0, u32* out1, const u32* a0, const u32* b0, u32 wy0, const u32* a1, const u32* b1,
                         u32 wy1, const PairColumns* c, u32 count) {
    blend_pairs_scalar(out0, a0, b0, c, count, wy0);
    blend_pairs_scalar(out1, a1, b1, c, count, wy1);
}

void pair_plan(u16* base, u8* offsets, u8* pairs, const u8* left, const u8* right, const u8* weight, u32 count,
               u32 width) {
    for (u32 g = 0; g < count; g += 4) {
        u32 n = count - g < 4 ? count - g : 4;
        u32 lo = 255, hi = 0;
        for (u32 k = 0; k < n; k++) {
            lo = left[g + k] < lo ? left[g + k] : lo;
            lo = right[g + k] < lo ? right[g + k] : lo;
            hi = left[g + k] > hi ? left[g + k] : hi;
            hi = right[g + k] > hi ? right[g + k] : hi;
        }
        // Eight pixels from the group's lowest, or the rows' last eight.
        u32 from = lo + 8 <= width ? lo : (width >= 8 ? width - 8 : 0);
        bool fast = n == 4 && width >= 8 && hi - from <= 7;
        base[g] = (u16)(fast ? from : (from | PAIR_SLOW));
        for (u32 k = 0; k < n; k++) {
            u32 l = left[g + k], r = right[g + k], w = weight[g + k];
            if (w == 0) {
                r = l;
                w = 128;
            }
            offsets[2 * (g + k)] = (u8)(l - from);
            offsets[2 * (g + k) + 1] = (u8)(r - from);
            pairs[2 * (g + k)] = (u8)(256 - w);
            pairs[2 * (g + k) + 1] = (u8)w;
        }
    }
}

void difference_row_scalar(u32* dst, const u32* a, const u32* b, u32 count) {
    for (u32 i = 0; i < count; i++) dst[i] = difference_pixel(a[i], b[i]);
}

void difference_over_black_scalar(u32* dst, const u32* a, const u32* b, u32 count) {
    for (u32 i = 0; i < count; i++) dst[i] = difference_over_black_pixel(a[i], b[i]);
}

// ---- Dispatch ---------------------------------------------------------------

// The scalar table's streaming entries are the plain rules: the same pixels.
static const BlendKernels k_scalar = {blend_rows_scalar,     blend_columns_scalar,     composite_row_scalar,
                                      difference_row_scalar, blend_halves_over_scalar, blend_shifted_over_scalar,
                                      reduce_row_scalar,     blend_pairs_over_scalar,  blend_halves_scalar,
                                      blend_shifted_scalar,  blend_pairs_scalar,       composite_row_scalar,
                                      difference_over_black_scalar,
                                      blend_pairs2_scalar};
static const BlendKernels k_sse2 = {blend_rows_sse2,     blend_columns_sse2,     composite_row_sse2,
                                    difference_row_sse2, blend_halves_over_sse2, blend_shifted_over_sse2,
                                    reduce_row_sse2,     blend_pairs_over_sse2,  blend_halves_sse2,
                                    blend_shifted_sse2,  blend_pairs_sse2,       composite_row_stream_sse2,
                                    difference_over_black_stream_sse2,
                                    blend_pairs2_sse2};
static const BlendKernels k_avx2 = {blend_rows_avx2,     blend_columns_avx2,     composite_row_avx2,
                                    difference_row_avx2, blend_halves_over_avx2, blend_shifted_over_avx2,
                                    reduce_row_avx2,     blend_pairs_over_avx2,  blend_halves_avx2,
                                    blend_shifted_avx2,  blend_pairs_avx2,       composite_row_stream_avx2,
                                    difference_over_black_stream_avx2,
                                    blend_pairs2_avx2};

BlendKernels blend_kernels = k_sse2;

bool blend_supported(u32 variant) {
    if (variant == KERNELS_SCALAR || variant == KERNELS_SSE2) return true;
    if (variant == KERNELS_AVX2) return cpu_has_avx2();
    return false;
}

bool blend_force(u32 variant) {
    if (!blend_supported(variant)) return false;
    blend_kernels = variant == KERNELS_SCALAR ? k_scalar : (variant == KERNELS_SSE2 ? k_sse2 : k_avx2);
    return true;
}

u32 blend_select() {
    __builtin_cpu_init();
    u32 variant = blend_supported(KERNELS_AVX2) ? KERNELS_AVX2 : KERNELS_SSE2;
    blend_force(variant);
    return variant;
}
