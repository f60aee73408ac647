// The loop filter, run over each macroblock in raster order once its row is
// reconstructed: first the edge with the left neighbour, then the three
// inner vertical edges (when the macroblock has 4 x 4 prediction or any
// coefficient), then the edge with the macroblock above and the three inner
// horizontal edges. The simple filter touches luma only and one pixel each
// side of an edge; the normal filter up to three on macroblock edges and two
// on inner edges, and chroma too. The thresholds are those libwebp uses:
// an edge is filtered when 4 |p0 - q0| + |p1 - q1| <= 2 limit + 1.
#include "codec/webp/vp8.h"

static QB_FORCE_INLINE i32 abs_i(i32 v) {
    return v < 0 ? -v : v;
}
static QB_FORCE_INLINE i32 clamp_s8(i32 v) {  // to [-128, 127]
    return v < -128 ? -128 : v > 127 ? 127 : v;
}
static QB_FORCE_INLINE i32 clamp_s4(i32 v) {  // to [-16, 15]
    return v < -16 ? -16 : v > 15 ? 15 : v;
}
static QB_FORCE_INLINE u8 clamp_u8(i32 v) {
    return (u8)(v < 0 ? 0 : v > 255 ? 255 : v);
}

// `p` is the first pixel after the edge (q0); `step` crosses the edge.

// One pixel each side, with the outer taps.
static QB_FORCE_INLINE void adjust2(u8* p, i64 step) {
    i32 p1 = p[-2 * step], p0 = p[-step], q0 = p[0], q1 = p[step];
    i32 a = 3 * (q0 - p0) + clamp_s8(p1 - q1);
    i32 a1 = clamp_s4((a + 4) >> 3);
    i32 a2 = clamp_s4((a + 3) >> 3);
    p[-step] = clamp_u8(p0 + a2);
    p[0] = clamp_u8(q0 - a1);
}

// Two pixels each side, without the outer taps (inner edges).
static QB_FORCE_INLINE void adjust4(u8* p, i64 step) {
    i32 p1 = p[-2 * step], p0 = p[-step], q0 = p[0], q1 = p[step];
    i32 a = 3 * (q0 - p0);
    i32 a1 = clamp_s4((a + 4) >> 3);
    i32 a2 = clamp_s4((a + 3) >> 3);
    i32 a3 = (a1 + 1) >> 1;
    p[-2 * step] = clamp_u8(p1 + a3);
    p[-step] = clamp_u8(p0 + a2);
    p[0] = clamp_u8(q0 - a1);
    p[step] = clamp_u8(q1 - a3);
}

// Three pixels each side (macroblock edges), weights 27, 18 and 9 / 128.
static QB_FORCE_INLINE void adjust6(u8* p, i64 step) {
    i32 p2 = p[-3 * step], p1 = p[-2 * step], p0 = p[-step];
    i32 q0 = p[0], q1 = p[step], q2 = p[2 * step];
    i32 a = clamp_s8(3 * (q0 - p0) + clamp_s8(p1 - q1));
    i32 a1 = (27 * a + 63) >> 7;
    i32 a2 = (18 * a + 63) >> 7;
    i32 a3 = (9 * a + 63) >> 7;
    p[-3 * step] = clamp_u8(p2 + a3);
    p[-2 * step] = clamp_u8(p1 + a2);
    p[-step] = clamp_u8(p0 + a1);
    p[0] = clamp_u8(q0 - a1);
    p[step] = clamp_u8(q1 - a2);
    p[2 * step] = clamp_u8(q2 - a3);
}

static QB_FORCE_INLINE bool edge_small(const u8* p, i64 step, i32 t) {
    return 4 * abs_i(p[-step] - p[0]) + abs_i(p[-2 * step] - p[step]) <= t;
}

static QB_FORCE_INLINE bool edge_smooth(const u8* p, i64 step, i32 t, i32 it) {
    if (!edge_small(p, step, t)) return false;
    i32 p3 = p[-4 * step], p2 = p[-3 * step], p1 = p[-2 * step], p0 = p[-step];
    i32 q0 = p[0], q1 = p[step], q2 = p[2 * step], q3 = p[3 * step];
    return abs_i(p3 - p2) <= it && abs_i(p2 - p1) <= it && abs_i(p1 - p0) <= it && abs_i(q3 - q2) <= it &&
           abs_i(q2 - q1) <= it && abs_i(q1 - q0) <= it;
}

static QB_FORCE_INLINE bool high_variance(const u8* p, i64 step, i32 t) {
    return abs_i(p[-2 * step] - p[-step]) > t || abs_i(p[step] - p[0]) > t;
}

// ---- Simple filter --------------------------------------------------------------

// `count` pixels along an edge: `step` crosses it, `along` runs beside it.
static void simple_edge(u8* p, i64 step, i64 along, u32 count, i32 limit) {
    i32 t = 2 * limit + 1;
    for (u32 i = 0; i < count; i++, p += along) {
        if (edge_small(p, step, t)) adjust2(p, step);
    }
}

void vp8_filter_simple_mb_scalar(u8* y, u64 stride, const Vp8FilterInfo* f, bool left, bool top) {
    i64 s = (i64)stride;
    if (left) simple_edge(y, 1, s, 16, f->limit + 4);
    if (f->inner) {
        for (u32 k = 4; k < 16; k += 4) simple_edge(y + k, 1, s, 16, f->limit);
    }
    if (top) simple_edge(y, s, 1, 16, f->limit + 4);
    if (f->inner) {
        for (u32 k = 4; k < 16; k += 4) simple_edge(y + k * s, s, 1, 16, f->limit);
    }
}

// ---- Normal filter ----------------------------------------------------------------

static void mb_edge(u8* p, i64 step, i64 along, u32 count, i32 limit, i32 ilevel, i32 hev) {
    i32 t = 2 * limit + 1;
    for (u32 i = 0; i < count; i++, p += along) {
        if (!edge_smooth(p, step, t, ilevel)) continue;
        if (high_variance(p, step, hev)) {
            adjust2(p, step);
        } else {
            adjust6(p, step);
        }
    }
}

static void inner_edge(u8* p, i64 step, i64 along, u32 count, i32 limit, i32 ilevel, i32 hev) {
    i32 t = 2 * limit + 1;
    for (u32 i = 0; i < count; i++, p += along) {
        if (!edge_smooth(p, step, t, ilevel)) continue;
        if (high_variance(p, step, hev)) {
            adjust2(p, step);
        } else {
            adjust4(p, step);
        }
    }
}

void vp8_filter_normal_mb_scalar(u8* y, u8* u, u8* v, u64 y_stride, u64 uv_stride, const Vp8FilterInfo* f, bool left,
                          bool top) {
    i64 ys = (i64)y_stride;
    i64 cs = (i64)uv_stride;
    i32 limit = f->limit, il = f->ilevel, hev = f->hev;
    if (left) {
        mb_edge(y, 1, ys, 16, limit + 4, il, hev);
        mb_edge(u, 1, cs, 8, limit + 4, il, hev);
        mb_edge(v, 1, cs, 8, limit + 4, il, hev);
    }
    if (f->inner) {
        for (u32 k = 4; k < 16; k += 4) inner_edge(y + k, 1, ys, 16, limit, il, hev);
        inner_edge(u + 4, 1, cs, 8, limit, il, hev);
        inner_edge(v + 4, 1, cs, 8, limit, il, hev);
    }
    if (top) {
        mb_edge(y, ys, 1, 16, limit + 4, il, hev);
        mb_edge(u, cs, 1, 8, limit + 4, il, hev);
        mb_edge(v, cs, 1, 8, limit + 4, il, hev);
    }
    if (f->inner) {
        for (u32 k = 4; k < 16; k += 4) inner_edge(y + k * ys, ys, 1, 16, limit, il, hev);
        inner_edge(u + 4 * cs, cs, 1, 8, limit, il, hev);
        inner_edge(v + 4 * cs, cs, 1, 8, limit, il, hev);
    }
}
