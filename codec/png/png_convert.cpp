// Scalar twins of the conversion kernels: unfiltered samples of every colour
// type and depth into the canvas format, the canvas format into RGBA for the
// display, and the straight-alpha over blend. These loops are the definition
// the vector variants are tested against. Runs are padded to a multiple of
// 16 pixels; padding pixels are converted like real ones (their bytes come
// from the row slack) but never raise the palette fault.
#include <string.h>

#include "codec/png/png_rows.h"

static inline void put16(u8* p, u32 v) {
    p[0] = (u8)v;
    p[1] = (u8)(v >> 8);
}
static inline u32 be16(const u8* p) {
    return ((u32)p[0] << 8) | p[1];
}

// Unpack entries of 16 bytes, one per source byte, stored `step` bytes apart
// so that they overlap: the later entry overwrites the unused tail.
static void unpack_bytes(const PngTables* t, const u8* src, u8* dst, u32 padded, u32 depth, u32 step) {
    u32 n = padded * depth / 8;
    for (u32 j = 0; j < n; j++) memcpy(dst + (u64)j * step, t->unpack[src[j]], 16);
}

static bool palette_lookup(const PngTables* t, const u8* idx, u8* dst, u32 padded, u32 count) {
    u32 worst = 0;
    for (u32 i = 0; i < padded; i++) memcpy(dst + 4 * i, t->palette[idx[i]], 4);
    for (u32 i = 0; i < count; i++) worst = idx[i] > worst ? idx[i] : worst;
    return count != 0 && worst >= t->palette_count;
}

bool convert_run_scalar(u32 kind, const PngTables* t, const u8* src, u8* dst, u32 padded, u32 depth,
                        u32 count) {
    switch (kind) {
    case PNG_CONVERT_GREY_LOW: unpack_bytes(t, src, dst, padded, depth, 8 / depth); return false;
    case PNG_CONVERT_GREY_LOW_TRNS: unpack_bytes(t, src, dst, padded, depth, 16 / depth); return false;
    case PNG_CONVERT_GREY8: memcpy(dst, src, padded); return false;
    case PNG_CONVERT_GREY8_TRNS:
        for (u32 i = 0; i < padded; i++) {
            bool key = src[i] == t->grey_key;
            dst[2 * i] = key ? 0 : src[i];
            dst[2 * i + 1] = key ? 0 : 255;
        }
        return false;
    case PNG_CONVERT_GREY16:
        for (u32 i = 0; i < padded; i++) {
            u32 g = be16(src + 2 * i);
            bool key = g == t->grey_key;
            u32 a = key ? 0 : 65535;
            g = key ? 0 : g;
            put16(dst + 8 * i, g);
            put16(dst + 8 * i + 2, g);
            put16(dst + 8 * i + 4, g);
            put16(dst + 8 * i + 6, a);
        }
        return false;
    case PNG_CONVERT_PALETTE_LOW: {
        u8 idx[PNG_RUN + 16];
        unpack_bytes(t, src, idx, padded, depth, 8 / depth);
        return palette_lookup(t, idx, dst, padded, count);
    }
    case PNG_CONVERT_PALETTE8: return palette_lookup(t, src, dst, padded, count);
    case PNG_CONVERT_RGB8:
        for (u32 i = 0; i < padded; i++) {
            const u8* s = src + 3 * i;
            u32 v = (u32)s[0] | ((u32)s[1] << 8) | ((u32)s[2] << 16);
            v = v == t->rgb_key8 ? 0 : v | 0xFF000000u;
            memcpy(dst + 4 * i, &v, 4);
        }
        return false;
    case PNG_CONVERT_RGB16:
        for (u32 i = 0; i < padded; i++) {
            const u8* s = src + 6 * i;
            u64 r = be16(s), g = be16(s + 2), b = be16(s + 4);
            bool key = (r | g << 16 | b << 32) == t->rgb_key16;
            put16(dst + 8 * i, key ? 0 : (u32)r);
            put16(dst + 8 * i + 2, key ? 0 : (u32)g);
            put16(dst + 8 * i + 4, key ? 0 : (u32)b);
            put16(dst + 8 * i + 6, key ? 0 : 65535);
        }
        return false;
    case PNG_CONVERT_GREY_ALPHA8: memcpy(dst, src, 2 * (u64)padded); return false;
    case PNG_CONVERT_GREY_ALPHA16:
        for (u32 i = 0; i < padded; i++) {
            u32 g = be16(src + 4 * i), a = be16(src + 4 * i + 2);
            put16(dst + 8 * i, g);
            put16(dst + 8 * i + 2, g);
            put16(dst + 8 * i + 4, g);
            put16(dst + 8 * i + 6, a);
        }
        return false;
    case PNG_CONVERT_RGBA8: memcpy(dst, src, 4 * (u64)padded); return false;
    default:
        for (u32 i = 0; i < 4 * padded; i++) put16(dst + 2 * i, be16(src + 2 * i));
        return false;
    }
}

void to_display_scalar(PixelFormat format, const u8* src, u8* dst, u32 padded) {
    switch (format) {
    case Mono8:
        for (u32 i = 0; i < padded; i++) {
            dst[4 * i] = dst[4 * i + 1] = dst[4 * i + 2] = src[i];
            dst[4 * i + 3] = 255;
        }
        break;
    case MonoA8:
        for (u32 i = 0; i < padded; i++) {
            dst[4 * i] = dst[4 * i + 1] = dst[4 * i + 2] = src[2 * i];
            dst[4 * i + 3] = src[2 * i + 1];
        }
        break;
    case Rgba16:
        // Little-endian samples: the high byte is the second of each pair.
        for (u32 i = 0; i < 4 * padded; i++) dst[i] = src[2 * i + 1];
        break;
    default: memcpy(dst, src, 4 * (u64)padded); break;
    }
}

void over_run_scalar(PixelFormat format, const u8* src, u8* dst, u32 count) {
    switch (format) {
    case Rgba16:
        for (u32 i = 0; i < count; i++) {
            u16 s[4], d[4];
            memcpy(s, src + 8 * i, 8);
            memcpy(d, dst + 8 * i, 8);
            over_pixel16(s, d);
            memcpy(dst + 8 * i, d, 8);
        }
        break;
    case MonoA8:
        for (u32 i = 0; i < count; i++) over_pixel8(src + 2 * i, dst + 2 * i, 1);
        break;
    default:
        for (u32 i = 0; i < count; i++) over_pixel8(src + 4 * i, dst + 4 * i, 3);
        break;
    }
}
