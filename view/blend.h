// Pixel kernels of the presentation: blending two tile rows, blending the
// left and right samples of each screen column, compositing over the
// framebuffer and the colour rule of difference mode; and the pyramid's 2:1
// reduction of tile rows. Pixels are 32-bit BGRA (blue in the low byte).
//
// Each kernel has a scalar twin with the same signature and the same results
// bit for bit; the table `blend_kernels` is filled once at start-up from a CPU
// check (blend_select), and blend_force picks any variant for tests and the
// benchmark. Every channel formula keeps its intermediate sums below 2^16, so
// the vector variants work in 16-bit lanes without changing a result.
#pragma once

#include "base/types.h"

// Per channel (a * (256 - w) + b * w) >> 8, truncating; w is 0 to 255.
typedef void (*BlendRowsFn)(u32* out, const u32* a, const u32* b, u32 count, u32 weight);
// out[i] = blend of row[left[i]] and row[right[i]] with weight[i].
typedef void (*BlendColumnsFn)(u32* out, const u32* row, const u8* left, const u8* right,
                               const u8* weight, u32 count);
// Halving, composited: the sample s(i), the blend of p(2i) and p(2i + 1)
// with weight wx where p(k) is the blend of a[k] and b[k] with weight wy
// (exactly what blend_rows then blend_columns with left 2i, right 2i + 1 and
// every weight wx give), goes over dst[i] as composite_row puts it; reads
// 2 * count pixels of each row. A level shown at 50 %, in one pass.
typedef void (*BlendHalvesOverFn)(u32* dst, const u32* a, const u32* b, u32 count, u32 wy, u32 wx);
// Shifted, composited: the same with p(i) and p(i + 1), reading count + 1
// pixels of each row; a level shown at 100 % off its pixel grid, which is
// what a zoom of exactly 50 %, 25 %, ... draws.
typedef void (*BlendShiftedOverFn)(u32* dst, const u32* a, const u32* b, u32 count, u32 wy, u32 wx);
// Bilinear columns, composited: the sample s(i), the blend of p(left[i]) and
// p(right[i]) with weight[i] where p(k) is the blend of a[k] and b[k] with
// weight wy (exactly what blend_rows then blend_columns give), goes over
// dst[i] as composite_row puts it. Rows a and b hold `width` pixels and
// nothing outside them is read; left and right ascend, with
// left[i] <= right[i] <= left[i] + 1 and right[i] < width (the tables of a
// level shown between 50 % and 100 %, clamped at the tile's edges). A level
// shown at any other ratio, in one pass.
//
// The columns come with a plan (pair_plan), made once for every row they
// are drawn on: per group of four columns from the first, the pixel its
// eight pixels start at (PAIR_SLOW set when its columns span more than
// that), and per column its two pixels as offsets from there and its
// weight pair 256 - w, w (a weight of 0 taken as the left pixel twice at
// 128: a pixel blended with itself is itself). The vector variants follow
// the plan; the scalar twin follows the rule.
struct PairColumns {
    const u8* left;
    const u8* right;
    const u8* weight;
    u32 width;
    const u16* base;     // at each group's first column
    const u8* offsets;   // two per column
    const u8* pairs;     // two per column
    // Cache lines the vector variants ask for (into the second-level cache)
    // while they draw the columns, one a group: memory the caller reads
    // next, spread over the work so that the requests never pile up. Hints
    // only, never read; the scalar twin ignores them.
    const u8* ahead;
    u32 ahead_lines;
};
static constexpr u16 PAIR_SLOW = 0x8000;
typedef void (*BlendPairsOverFn)(u32* dst, const u32* a, const u32* b, const PairColumns* columns, u32 count,
                                 u32 wy);
// Two rows through the same bilinear columns at once, as samples: out0 gets
// what blend_pairs gives for rows a0 and b0 with weight wy0, out1 the same
// for a1, b1 and wy1 (two screen rows of a tile column; the vector variants
// take each group's plan once for both).
typedef void (*BlendPairs2Fn)(u32* out0, u32* out1, const u32* a0, const u32* b0, u32 wy0, const u32* a1,
                              const u32* b1, u32 wy1, const PairColumns* columns, u32 count);
// Fills base[0, 4, 8, ...], offsets[0 .. 2 count) and pairs[0 .. 2 count).
void pair_plan(u16* base, u8* offsets, u8* pairs, const u8* left, const u8* right, const u8* weight, u32 count,
               u32 width);
// Alpha over: an opaque pixel is stored; otherwise with a = alpha + (alpha >> 7)
// every channel, alpha included, becomes (dst * (256 - a) + src * a) >> 8.
typedef void (*CompositeRowFn)(u32* dst, const u32* src, u32 count);
// The difference colour of a and b: with m the largest of the blue, green and
// red distances and g = 2m: blue 128 - g while g < 128 (0 when m is 0),
// green g - 255 above 255, red min(g, 255), alpha 255.
typedef void (*DifferenceRowFn)(u32* dst, const u32* a, const u32* b, u32 count);
// The difference colour of a and b each composited over opaque black (the
// two views of difference mode from their samples); the vector variants
// stream their stores (see below).
typedef void (*DifferenceOverBlackFn)(u32* dst, const u32* a, const u32* b, u32 count);

// Every _over kernel has a twin that stores its samples into out instead of
// compositing them (a row assembled before it goes to the target), with the
// same signature. The streaming twin of composite_row (and the vector
// variants of difference_over_black) give the same pixels with stores that
// bypass the caches from dst's first vector boundary on, for a frame too
// large for them that is written once.
// Those stores are weakly ordered: a frame that used them ends with
// stream_fence, after which every reader sees its pixels. (A fence per row
// waits for each row's stores to reach memory: 3840 x 2160 at 33 % measured
// 4.0 plain copies of the frame against 2.7 with one per view.)

// The pyramid's 2:1 reduction of two rows: per channel
// out[i] = (a[2i] + a[2i + 1] + b[2i] + b[2i + 1] + 2) >> 2; reads 2 * count
// pixels of each row.
typedef void (*ReduceRowFn)(u32* out, const u32* a, const u32* b, u32 count);

struct BlendKernels {
    BlendRowsFn blend_rows;
    BlendColumnsFn blend_columns;
    CompositeRowFn composite_row;
    DifferenceRowFn difference_row;
    BlendHalvesOverFn blend_halves_over;
    BlendShiftedOverFn blend_shifted_over;
    ReduceRowFn reduce_row;
    BlendPairsOverFn blend_pairs_over;
    BlendHalvesOverFn blend_halves;
    BlendShiftedOverFn blend_shifted;
    BlendPairsOverFn blend_pairs;
    CompositeRowFn composite_row_stream;
    DifferenceOverBlackFn difference_over_black;
    BlendPairs2Fn blend_pairs2;
};

enum : u32 { KERNELS_SCALAR = 0, KERNELS_SSE2 = 1, KERNELS_AVX2 = 2, KERNEL_VARIANT_COUNT = 3 };

extern BlendKernels blend_kernels;

void stream_fence();

// Fills blend_kernels with the best variant this processor runs; returns it.
u32 blend_select();
// Whether this processor runs a variant.
bool blend_supported(u32 variant);
// Test and benchmark hook: installs one variant; false (and nothing changes)
// when the processor cannot run it.
bool blend_force(u32 variant);

// ---- Scalar twins -----------------------------------------------------------

void blend_rows_scalar(u32* out, const u32* a, const u32* b, u32 count, u32 weight);
void blend_columns_scalar(u32* out, const u32* row, const u8* left, const u8* right,
                          const u8* weight, u32 count);
void composite_row_scalar(u32* dst, const u32* src, u32 count);
void difference_row_scalar(u32* dst, const u32* a, const u32* b, u32 count);
void blend_halves_over_scalar(u32* dst, const u32* a, const u32* b, u32 count, u32 wy, u32 wx);
void blend_shifted_over_scalar(u32* dst, const u32* a, const u32* b, u32 count, u32 wy, u32 wx);
void reduce_row_scalar(u32* out, const u32* a, const u32* b, u32 count);
void blend_pairs_over_scalar(u32* dst, const u32* a, const u32* b, const PairColumns* columns, u32 count, u32 wy);
void blend_halves_scalar(u32* out, const u32* a, const u32* b, u32 count, u32 wy, u32 wx);
void blend_shifted_scalar(u32* out, const u32* a, const u32* b, u32 count, u32 wy, u32 wx);
void blend_pairs_scalar(u32* out, const u32* a, const u32* b, const PairColumns* columns, u32 count, u32 wy);
void difference_over_black_scalar(u32* dst, const u32* a, const u32* b, u32 count);
void blend_pairs2_scalar(u32* out0, u32* out1, const u32* a0, const u32* b0, u32 wy0, const u32* a1, const u32* b1,
                         u32 wy1, const PairColumns* columns, u32 count);

void blend_rows_sse2(u32* out, const u32* a, const u32* b, u32 count, u32 weight);
void blend_columns_sse2(u32* out, const u32* row, const u8* left, const u8* right, const u8* weight,
                        u32 count);
void composite_row_sse2(u32* dst, const u32* src, u32 count);
void difference_row_sse2(u32* dst, const u32* a, const u32* b, u32 count);
void blend_halves_over_sse2(u32* dst, const u32* a, const u32* b, u32 count, u32 wy, u32 wx);
void blend_shifted_over_sse2(u32* dst, const u32* a, const u32* b, u32 count, u32 wy, u32 wx);
void reduce_row_sse2(u32* out, const u32* a, const u32* b, u32 count);
void blend_pairs_over_sse2(u32* dst, const u32* a, const u32* b, const PairColumns* columns, u32 count, u32 wy);
void blend_halves_sse2(u32* out, const u32* a, const u32* b, u32 count, u32 wy, u32 wx);
void blend_shifted_sse2(u32* out, const u32* a, const u32* b, u32 count, u32 wy, u32 wx);
void blend_pairs_sse2(u32* out, const u32* a, const u32* b, const PairColumns* columns, u32 count, u32 wy);
void composite_row_stream_sse2(u32* dst, const u32* src, u32 count);
void difference_over_black_stream_sse2(u32* dst, const u32* a, const u32* b, u32 count);
void blend_pairs2_sse2(u32* out0, u32* out1, const u32* a0, const u32* b0, u32 wy0, const u32* a1, const u32* b1,
                       u32 wy1, const PairColumns* columns, u32 count);

void blend_rows_avx2(u32* out, const u32* a, const u32* b, u32 count, u32 weight);
void blend_columns_avx2(u32* out, const u32* row, const u8* left, const u8* right, const u8* weight,
                        u32 count);
void composite_row_avx2(u32* dst, const u32* src, u32 count);
void difference_row_avx2(u32* dst, const u32* a, const u32* b, u32 count);
void blend_halves_over_avx2(u32* dst, const u32* a, const u32* b, u32 count, u32 wy, u32 wx);
void blend_shifted_over_avx2(u32* dst, const u32* a, const u32* b, u32 count, u32 wy, u32 wx);
void reduce_row_avx2(u32* out, const u32* a, const u32* b, u32 count);
void blend_pairs_over_avx2(u32* dst, const u32* a, const u32* b, const PairColumns* columns, u32 count, u32 wy);
void blend_halves_avx2(u32* out, const u32* a, const u32* b, u32 count, u32 wy, u32 wx);
void blend_shifted_avx2(u32* out, const u32* a, const u32* b, u32 count, u32 wy, u32 wx);
void blend_pairs_avx2(u32* out, const u32* a, const u32* b, const PairColumns* columns, u32 count, u32 wy);
void composite_row_stream_avx2(u32* dst, const u32* src, u32 count);
void difference_over_black_stream_avx2(u32* dst, const u32* a, const u32* b, u32 count);
void blend_pairs2_avx2(u32* out0, u32* out1, const u32* a0, const u32* b0, u32 wy0, const u32* a1, const u32* b1,
                       u32 wy1, const PairColumns* columns, u32 count);

// One pixel of each rule, shared by the scalar twins and the vector tails.

// The reduction two channels at a time: each 16-bit field sums at most
// 4 x 255 + 2.
QB_FORCE_INLINE u32 reduce_pixel(u32 a, u32 b, u32 c, u32 d) {
    const u32 m = 0x00FF00FF;
    u32 lo = (((a & m) + (b & m) + (c & m) + (d & m) + 0x00020002) >> 2) & m;
    u32 hi = ((((a >> 8) & m) + ((b >> 8) & m) + ((c >> 8) & m) + ((d >> 8) & m) + 0x00020002) >> 2) & m;
    return lo | (hi << 8);
}

QB_FORCE_INLINE u32 blend_pixel(u32 a, u32 b, u32 w) {
    u32 iw = 256 - w;
    // Two channels at a time: each 16-bit field holds at most 255 * 256.
    u32 lo = (((a & 0x00FF00FF) * iw + (b & 0x00FF00FF) * w) >> 8) & 0x00FF00FF;
    u32 hi = (((a >> 8) & 0x00FF00FF) * iw + ((b >> 8) & 0x00FF00FF) * w) & 0xFF00FF00;
    return lo | hi;
}

// Alpha 255 gives a = 256, which is the stored pixel; below that a is at most
// 255 and the blend of the background towards the pixel is blend_pixel's.
QB_FORCE_INLINE u32 composite_pixel(u32 dst, u32 src) {
    u32 alpha = src >> 24;
    if (alpha == 255) return src;
    return blend_pixel(dst, src, alpha + (alpha >> 7));
}

QB_FORCE_INLINE u32 difference_pixel(u32 a, u32 b) {
    u32 m = 0;
    for (u32 shift = 0; shift < 24; shift += 8) {
        i32 d = (i32)((a >> shift) & 0xFF) - (i32)((b >> shift) & 0xFF);
        u32 ad = (u32)(d < 0 ? -d : d);
        if (ad > m) m = ad;
    }
    u32 g = 2 * m;
    u32 blue = m == 0 ? 0 : (g < 128 ? 128 - g : 0);
    u32 green = g > 255 ? g - 255 : 0;
    u32 red = g < 255 ? g : 255;
    return 0xFF000000u | (red << 16) | (green << 8) | blue;
}

QB_FORCE_INLINE u32 difference_over_black_pixel(u32 a, u32 b) {
    return difference_pixel(composite_pixel(0xFF000000u, a), composite_pixel(0xFF000000u, b));
}
