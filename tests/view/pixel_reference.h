// Per-channel references for the presentation's pixel rules, written from
// the rules and shared by the kernel and the frame tests: a 1/256-weight
// blend of two pixels, and a pixel composited over a background.
#pragma once

#include "base/types.h"

static inline u32 channel(u32 p, u32 c) {
    return (p >> (8 * c)) & 0xFF;
}

static inline u32 ref_blend(u32 a, u32 b, u32 w) {
    u32 r = 0;
    for (u32 c = 0; c < 4; c++) r |= ((channel(a, c) * (256 - w) + channel(b, c) * w) >> 8) << (8 * c);
    return r;
}

static inline u32 ref_over(u32 bg, u32 px) {
    u32 alpha = px >> 24;
    if (alpha == 255) return px;
    u32 a = alpha + (alpha >> 7);
    u32 r = 0;
    for (u32 c = 0; c < 4; c++) r |= ((channel(bg, c) * (256 - a) + channel(px, c) * a) >> 8) << (8 * c);
    return r;
}
