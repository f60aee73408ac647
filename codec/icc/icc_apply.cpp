// The per-pixel conversion to sRGB and its kernel choice. A pixel's linear
// sRGB colour is the sum of one table row per stored channel (the channel's
// curve and its column of the matrix folded together when the transform was
// built), clamped to [0, 1] and looked up in the encoding table. The SSE2
// kernel adds the rows four lanes at a time; this file's scalar twin gives
// the same bytes.
#include "codec/icc/icc.h"

static inline u32 encode_lane(const IccTransform* t, i32 s) {
    if (s < 0) s = 0;
    if (s > (i32)ICC_ONE) s = ICC_ONE;
    return t->encode[s];
}

void icc_row_scalar(const IccTransform* t, const u8* src, u8* dst, u64 count) {
    for (u64 i = 0; i < count; i++) {
        const u8* p = src + 4 * i;
        const i32* r = t->rows[0][p[0]];
        const i32* g = t->rows[1][p[1]];
        const i32* b = t->rows[2][p[2]];
        u8 alpha = p[3];
        u8* q = dst + 4 * i;
        q[0] = (u8)encode_lane(t, r[0] + g[0] + b[0]);
        q[1] = (u8)encode_lane(t, r[1] + g[1] + b[1]);
        q[2] = (u8)encode_lane(t, r[2] + g[2] + b[2]);
        q[3] = alpha;
    }
}

// AVX2 not written: the work is eight table reads per pixel, which a gather
// does no faster than scalar loads feeding SSE2 adds.
static u32 g_kernel = ICC_KERNEL_SSE2;

IccRowFn icc_row_kernel() {
    return g_kernel == ICC_KERNEL_SCALAR ? icc_row_scalar : icc_row_sse2;
}

bool icc_kernel_force(u32 variant) {
    if (variant > ICC_KERNEL_SSE2) return false;
    g_kernel = variant;
    return true;
}

void icc_convert_rect(const IccTransform* t, u8* pixels, u64 stride, u32 width, u32 height) {
    IccRowFn row = icc_row_kernel();
    for (u32 y = 0; y < height; y++) row(t, pixels + y * stride, pixels + y * stride, width);
}
