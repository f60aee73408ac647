// The five PNG filters undone one byte at a time: the definition that the
// vector variants (png_unfilter_sse2.cpp, png_unfilter_avx2.cpp) must match
// bit for bit. Row bytes before the first pixel count as 0 on the left; the
// row above is the zero row for a pass's first row, so no case is special.
#include "codec/png/png_rows.h"

static inline u8 paeth(u32 a, u32 b, u32 c) {
    i32 p = (i32)a + (i32)b - (i32)c;
    i32 pa = p > (i32)a ? p - (i32)a : (i32)a - p;
    i32 pb = p > (i32)b ? p - (i32)b : (i32)b - p;
    i32 pc = p > (i32)c ? p - (i32)c : (i32)c - p;
    if (pa <= pb && pa <= pc) return (u8)a;
    if (pb <= pc) return (u8)b;
    return (u8)c;
}

void unfilter_row_scalar(u32 type, const u8* src, u8* dst, const u8* prev, u64 n, u32 bpp) {
    switch (type) {
    case 0:
        for (u64 i = 0; i < n; i++) dst[i] = src[i];
        break;
    case 1:
        for (u64 i = 0; i < n; i++) dst[i] = (u8)(src[i] + (i >= bpp ? dst[i - bpp] : 0));
        break;
    case 2:
        for (u64 i = 0; i < n; i++) dst[i] = (u8)(src[i] + prev[i]);
        break;
    case 3:
        for (u64 i = 0; i < n; i++) {
            u32 left = i >= bpp ? dst[i - bpp] : 0;
            dst[i] = (u8)(src[i] + ((left + prev[i]) >> 1));
        }
        break;
    default:
        for (u64 i = 0; i < n; i++) {
            u32 left = i >= bpp ? dst[i - bpp] : 0;
            u32 upleft = i >= bpp ? prev[i - bpp] : 0;
            dst[i] = (u8)(src[i] + paeth(left, prev[i], upleft));
        }
        break;
    }
}
