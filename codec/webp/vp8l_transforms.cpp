// Stage 1 of the lossless decoder: the inverse transforms over the ARGB image
// in the scratch memory, in reverse order of their appearance in the stream,
// each at the width the image had when it was applied. Also the scalar
// twins of the transform and output kernels (the definitions the vector
// variants are tested against) and the kernel dispatch.
#include "codec/webp/vp8l.h"

#include "base/cpu.h"

// ---- Predictors ---------------------------------------------------------------

static inline u32 average2(u32 a, u32 b) {
    return (((a ^ b) & 0xFEFEFEFEu) >> 1) + (a & b);
}

static inline u32 channel(u32 v, u32 shift) {
    return (v >> shift) & 0xFF;
}

static inline i32 abs_i32(i32 v) {
    return v < 0 ? -v : v;
}

// Left or top, whichever lies nearer (in the sum of per-channel distances)
// to the gradient estimate L + T - TL.
static inline u32 select_pred(u32 left, u32 top, u32 top_left) {
    i32 to_left = 0;  // distance of the estimate from L: |T - TL|
    i32 to_top = 0;   // from T: |L - TL|
    for (u32 s = 0; s < 32; s += 8) {
        to_left += abs_i32((i32)channel(top, s) - (i32)channel(top_left, s));
        to_top += abs_i32((i32)channel(left, s) - (i32)channel(top_left, s));
    }
    return to_left < to_top ? left : top;
}

static inline u32 clamp255(i32 v) {
    return v < 0 ? 0 : v > 255 ? 255 : (u32)v;
}

static inline u32 clamp_add_subtract_full(u32 a, u32 b, u32 c) {
    u32 out = 0;
    for (u32 s = 0; s < 32; s += 8) {
        out |= clamp255((i32)channel(a, s) + (i32)channel(b, s) - (i32)channel(c, s)) << s;
    }
    return out;
}

static inline u32 clamp_add_subtract_half(u32 a, u32 b) {
    u32 out = 0;
    for (u32 s = 0; s < 32; s += 8) {
        i32 ca = (i32)channel(a, s);
        out |= clamp255(ca + (ca - (i32)channel(b, s)) / 2) << s;
    }
    return out;
}

// The prediction of each mode from the left, top, top-right and top-left
// pixels. Modes 14 and 15 predict opaque black like mode 0.
template <u32 MODE>
static inline u32 predict(u32 l, u32 t, u32 tr, u32 tl) {
    switch (MODE) {
    case 1: return l;
    case 2: return t;
    case 3: return tr;
    case 4: return tl;
    case 5: return average2(average2(l, tr), t);
    case 6: return average2(l, tl);
    case 7: return average2(l, t);
    case 8: return average2(tl, t);
    case 9: return average2(t, tr);
    case 10: return average2(average2(l, tl), average2(t, tr));
    case 11: return select_pred(l, t, tl);
    case 12: return clamp_add_subtract_full(l, t, tl);
    case 13: return clamp_add_subtract_half(average2(l, t), tl);
    default: return 0xFF000000u;
    }
}

template <u32 MODE>
static void predict_run(u32* cur, const u32* up, u32 count) {
    u32 left = cur[-1];
    u32 top_left = up[-1];
    for (u32 k = 0; k < count; k++) {
        u32 top = up[k];
        left = vp8l_add_pixels(cur[k], predict<MODE>(left, top, up[k + 1], top_left));
        cur[k] = left;
        top_left = top;
    }
}

const Vp8lPredictFn vp8l_predict_scalar[16] = {
    predict_run<0>,  predict_run<1>,  predict_run<2>,  predict_run<3>, predict_run<4>,  predict_run<5>,
    predict_run<6>,  predict_run<7>,  predict_run<8>,  predict_run<9>, predict_run<10>, predict_run<11>,
    predict_run<12>, predict_run<13>, predict_run<14>, predict_run<15>,
};

// ---- Other scalar kernels ------------------------------------------------------

void vp8l_add_green_scalar(u32* argb, u32 count) {
    for (u32 k = 0; k < count; k++) {
        u32 v = argb[k];
        u32 g = (v >> 8) & 0xFF;
        argb[k] = vp8l_add_pixels(v, (g << 16) | g);
    }
}

// ((signed) t * (signed) c) >> 5, the colour transform's delta.
static inline i32 color_delta(u32 t, u32 c) {
    return ((i32)(i8)t * (i32)(i8)c) >> 5;
}

// The element holds green-to-red in its blue byte, green-to-blue in its
// green byte and red-to-blue in its red byte.
void vp8l_color_scalar(u32* argb, u32 count, u32 element) {
    u32 g2r = element & 0xFF;
    u32 g2b = (element >> 8) & 0xFF;
    u32 r2b = (element >> 16) & 0xFF;
    for (u32 k = 0; k < count; k++) {
        u32 v = argb[k];
        u32 green = (v >> 8) & 0xFF;
        u32 red = ((v >> 16) + (u32)color_delta(g2r, green)) & 0xFF;
        u32 blue = (v + (u32)color_delta(g2b, green) + (u32)color_delta(r2b, red)) & 0xFF;
        argb[k] = (v & 0xFF00FF00u) | (red << 16) | blue;
    }
}

void vp8l_cache_insert_scalar(u32* cache, u32 shift, const u32* argb, u64 count) {
    for (u64 k = 0; k < count; k++) cache[vp8l_cache_slot(argb[k], shift)] = argb[k];
}

void vp8l_cache_insert_backward(u32* cache, u32 shift, const u32* argb, u64 count) {
    QB_ASSERT(shift >= 26);
    u64 all = shift == 26 ? ~0ull : (1ull << (1u << (32 - shift))) - 1;
    u64 seen = 0;
    for (u64 k = count; k-- > 0 && seen != all;) {
        u32 slot = vp8l_cache_slot(argb[k], shift);
        if ((seen >> slot) & 1) continue;
        seen |= 1ull << slot;
        cache[slot] = argb[k];
    }
}

void vp8l_output_scalar(const u32* argb, u8* out, u32 count) {
    u32 padded = (count + 7) & ~7u;
    for (u32 k = 0; k < padded; k++) {
        u32 v = argb[k];
        u32 rgba = (v & 0xFF00FF00u) | ((v >> 16) & 0xFF) | ((v & 0xFF) << 16);
        memcpy(out + 4 * k, &rgba, 4);
    }
}

// ---- Dispatch -----------------------------------------------------------------

static Vp8lKernels g_kernels;
static bool g_selected = false;

bool vp8l_force_kernels(u32 variant) {
    __builtin_cpu_init();
    bool avx2 = cpu_has_avx2();
    if (variant == VP8L_KERNELS_BEST) variant = avx2 ? VP8L_KERNELS_AVX2 : VP8L_KERNELS_SSE2;
    if (variant == VP8L_KERNELS_SCALAR) {
        g_kernels.output = vp8l_output_scalar;
        g_kernels.add_green = vp8l_add_green_scalar;
        g_kernels.color = vp8l_color_scalar;
        g_kernels.cache_insert = vp8l_cache_insert_scalar;
        for (u32 m = 0; m < 16; m++) g_kernels.predict[m] = vp8l_predict_scalar[m];
    } else if (variant == VP8L_KERNELS_SSE2 || (variant == VP8L_KERNELS_AVX2 && avx2)) {
        // SSE2 is part of x86-64.
        g_kernels.output = vp8l_output_sse2;
        g_kernels.add_green = vp8l_add_green_sse2;
        g_kernels.color = vp8l_color_sse2;
        g_kernels.cache_insert = vp8l_cache_insert_sse2;
        for (u32 m = 0; m < 16; m++) {
            g_kernels.predict[m] = vp8l_predict_sse2[m] ? vp8l_predict_sse2[m] : vp8l_predict_scalar[m];
        }
        if (variant == VP8L_KERNELS_AVX2) {
            g_kernels.output = vp8l_output_avx2;
            g_kernels.add_green = vp8l_add_green_avx2;
            g_kernels.color = vp8l_color_avx2;
            g_kernels.cache_insert = vp8l_cache_insert_avx2;
            for (u32 m = 0; m < 16; m++) {
                if (vp8l_predict_avx2[m]) g_kernels.predict[m] = vp8l_predict_avx2[m];
            }
        }
    } else {
        return false;
    }
    g_selected = true;
    return true;
}

const Vp8lKernels* vp8l_kernels() {
    if (!g_selected) vp8l_force_kernels(VP8L_KERNELS_BEST);
    return &g_kernels;
}

// ---- Inverse transforms ---------------------------------------------------------

// One row of the predictor from its second pixel on: neighbouring blocks
// with the same mode (bits 8-11 of their sub-image pixels) in one call.
static void predict_row(const Vp8lKernels* k, u32* row, const u32* up, u32 w, u32 bits, const u32* modes) {
    u32 x = 1;
    while (x < w) {
        u32 block = x >> bits;
        u32 mode = (modes[block] >> 8) & 15;
        u32 next = block + 1;
        while ((u64)next << bits < w && ((modes[next] >> 8) & 15) == mode) next++;
        u32 end = (u64)next << bits < w ? next << bits : w;
        k->predict[mode](row + x, up + x, end - x);
        x = end;
    }
}

// One row of the colour transform: neighbouring blocks with the same
// element (its low three bytes) in one call; an element of zero changes
// nothing and is passed over.
static void color_row(const Vp8lKernels* k, u32* row, u32 w, u32 bits, const u32* elements) {
    u32 blocks = (u32)ceil_shift(w, bits);
    u32 block = 0;
    while (block < blocks) {
        u32 element = elements[block] & 0xFFFFFF;
        u32 next = block + 1;
        while (next < blocks && (elements[next] & 0xFFFFFF) == element) next++;
        if (element != 0) {
            u32 end = (u64)next << bits < w ? next << bits : w;
            k->color(row + (block << bits), end - (block << bits), element);
        }
        block = next;
    }
}

// The top row adds opaque black to its first pixel and the left pixel to
// the rest; each further row starts with the pixel above, then runs block
// by block with the block's mode (bits 8-11 of its sub-image pixel). The
// top-right pixel of the last column is, in memory, the row's first pixel,
// which is what the format asks for.
static void inverse_predictor(const Vp8lKernels* k, u32* img, u32 w, u32 h, u32 bits, const u32* sub) {
    img[0] = vp8l_add_pixels(img[0], 0xFF000000u);
    for (u32 x = 1; x < w; x++) img[x] = vp8l_add_pixels(img[x], img[x - 1]);
    u32 sw = (u32)ceil_shift(w, bits);
    for (u32 y = 1; y < h; y++) {
        u32* row = img + (u64)y * w;
        const u32* up = row - w;
        row[0] = vp8l_add_pixels(row[0], up[0]);
        predict_row(k, row, up, w, bits, sub + (u64)(y >> bits) * sw);
    }
}

static void inverse_color(const Vp8lKernels* k, u32* img, u32 w, u32 h, u32 bits, const u32* sub) {
    u32 sw = (u32)ceil_shift(w, bits);
    for (u32 y = 0; y < h; y++) {
        u32* row = img + (u64)y * w;
        color_row(k, row, w, bits, sub + (u64)(y >> bits) * sw);
    }
}

// Packed rows (2^shift indices per pixel's green byte, the first in the
// lowest bits) are widened from the bottom row up, so a widened row never
// overwrites a packed row still to be read; each row goes through the row
// buffer because its own packed and widened forms overlap.
static void inverse_indexing(u32* img, u32 w, u32 h, u32 shift, const u32* palette, u32* row_buffer) {
    if (shift == 0) {
        u64 total = (u64)w * h;
        for (u64 i = 0; i < total; i++) img[i] = palette[(img[i] >> 8) & 0xFF];
        return;
    }
    u32 pw = (u32)ceil_shift(w, shift);
    u32 bits = 8 >> shift;
    u32 mask = (1u << bits) - 1;
    u32 per = (1u << shift) - 1;
    for (u32 y = h; y-- > 0;) {
        memcpy(row_buffer, img + (u64)y * pw, 4 * (u64)pw);
        u32* dst = img + (u64)y * w;
        for (u32 x = 0; x < w; x++) {
            dst[x] = palette[(row_buffer[x >> shift] >> (8 + bits * (x & per))) & mask];
        }
    }
}

// The inverse of a per-pixel transform (subtract green, colour) on row y.
static void pixel_inverse_row(const Vp8lKernels* k, const Vp8lTransform* t, u32* row, u32 w, u32 y,
                              const u32* color) {
    if (t->type == VP8L_SUBTRACT_GREEN) {
        k->add_green(row, w);
    } else {
        color_row(k, row, w, t->bits, color + (u64)(y >> t->bits) * ceil_shift(w, t->bits));
    }
}

// Without colour indexing every transform keeps the width, and the whole
// chain runs row by row while the rows are in the first-level cache. The
// predictor must see the row above as its own output, before the inverses
// that follow it change that row, so those inverses run one row behind:
// row y takes the inverses before the predictor and the predictor, then row
// y - 1 the inverses after it. The top-right neighbour of the last column is
// then, in memory, the current row's first pixel as the predictor made it.
static void inverse_rows(const Vp8lKernels* k, const Vp8lDecoder* d, u8* scratch, u32* img) {
    u32 w = d->width;
    u32 h = d->height;
    const u32* predictor = (const u32*)(scratch + d->layout.predictor);
    const u32* color = (const u32*)(scratch + d->layout.color);
    // Inverses run from the last transform to the first; `split` is the
    // predictor's place, or the count when there is none.
    u32 split = d->transform_count;
    for (u32 n = 0; n < d->transform_count; n++) {
        if (d->transforms[n].type == VP8L_PREDICTOR) split = n;
    }
    for (u32 y = 0; y < h; y++) {
        u32* row = img + (u64)y * w;
        for (u32 n = d->transform_count; n-- > 0 && n != split;) {
            pixel_inverse_row(k, &d->transforms[n], row, w, y, color);
        }
        if (split == d->transform_count) continue;
        u32 bits = d->transforms[split].bits;
        if (y == 0) {
            row[0] = vp8l_add_pixels(row[0], 0xFF000000u);
            for (u32 x = 1; x < w; x++) row[x] = vp8l_add_pixels(row[x], row[x - 1]);
        } else {
            row[0] = vp8l_add_pixels(row[0], row[-(i64)w]);
            predict_row(k, row, row - w, w, bits, predictor + (u64)(y >> bits) * ceil_shift(w, bits));
            for (u32 n = split; n-- > 0;) pixel_inverse_row(k, &d->transforms[n], row - w, w, y - 1, color);
        }
    }
    if (split == d->transform_count || h == 0) return;
    for (u32 n = split; n-- > 0;) pixel_inverse_row(k, &d->transforms[n], img + (u64)(h - 1) * w, w, h - 1, color);
}

void vp8l_inverse_transforms(Vp8lDecoder* d, u8* scratch) {
    const Vp8lKernels* k = vp8l_kernels();
    u32* img = (u32*)(scratch + d->layout.argb) + VP8L_GUARD;
    u32 h = d->height;
    if (!(d->transforms_seen & (1u << VP8L_COLOR_INDEXING))) {
        inverse_rows(k, d, scratch, img);
        return;
    }
    for (u32 n = d->transform_count; n-- > 0;) {
        const Vp8lTransform* t = &d->transforms[n];
        switch (t->type) {
        case VP8L_PREDICTOR:
            inverse_predictor(k, img, t->width, h, t->bits, (const u32*)(scratch + d->layout.predictor));
            break;
        case VP8L_COLOR: inverse_color(k, img, t->width, h, t->bits, (const u32*)(scratch + d->layout.color)); break;
        case VP8L_SUBTRACT_GREEN: {
            u64 total = (u64)t->width * h;
            for (u64 at = 0; at < total; at += 1u << 20) {
                k->add_green(img + at, (u32)(total - at < (1u << 20) ? total - at : 1u << 20));
            }
            break;
        }
        default:
            inverse_indexing(img, t->width, h, t->bits, (const u32*)(scratch + d->layout.palette),
                             (u32*)(scratch + d->layout.row));
            break;
        }
    }
}
