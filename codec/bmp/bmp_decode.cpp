// BMP pixel decoding: stored rows (bottom-up or top-down) through the layout
// the DIB reader chose, RLE8 and RLE4 streams, the icon AND mask, and the
// rule that alpha which is zero everywhere means an opaque picture. The RLE
// decoders clear the picture first, since skipped pixels are transparent,
// and check every run against the row and the stream's end.
#include <string.h>

#include "codec/bmp/bmp.h"

static QB_FORCE_INLINE void store_word(u8* dst, u32 v) {
    memcpy(dst, &v, 4);
}

// ---- Palette ------------------------------------------------------------------

// Every index past the palette is opaque black.
static void build_lut(const u8* data, const BmpDib* dib, u32* lut) {
    for (u32 i = 0; i < 256; i++) lut[i] = 0xFF000000u;
    for (u32 i = 0; i < dib->palette_count; i++) {
        const u8* p = data + dib->palette_pos + (u64)i * dib->palette_entry_size;
        lut[i] = (u32)p[2] | (u32)p[1] << 8 | (u32)p[0] << 16 | 0xFF000000u;
    }
}

static void index_row(const u8* src, u32 w, u32 bits, const u32* lut, u8* dst) {
    if (bits == 8) {
        bmp_index8_row(src, w, lut, dst);
        return;
    }
    // Pixels fill each byte from its high bits down.
    u32 per_byte = 8 / bits, mask = (1u << bits) - 1;
    for (u32 x = 0; x < w; x++) {
        u32 shift = 8 - bits * (x % per_byte + 1);
        store_word(dst + 4 * (u64)x, lut[(src[x / per_byte] >> shift) & mask]);
    }
}

// ---- Masks --------------------------------------------------------------------

// One channel of a masked pixel; widths up to 8 bits go through a table.
struct MaskChannel {
    u32 mask;
    u32 shift;
    u32 bits;  // 0: absent
    u8 table[256];
};

static void channel_init(MaskChannel* c, u32 mask) {
    c->mask = mask;
    c->shift = mask ? (u32)__builtin_ctz(mask) : 0;
    c->bits = (u32)__builtin_popcount(mask);
    if (c->bits >= 1 && c->bits <= 8)
        for (u32 v = 0; v < (1u << c->bits); v++) c->table[v] = (u8)bmp_scale_channel(v, c->bits);
}

static QB_FORCE_INLINE u32 channel_value(const MaskChannel* c, u32 px, u32 absent) {
    if (c->bits == 0) return absent;
    u32 v = (px & c->mask) >> c->shift;
    return c->bits <= 8 ? c->table[v] : bmp_scale_channel(v, c->bits);
}

static void masks_row(const u8* src, u32 w, u32 bits, const MaskChannel* ch, u8* dst) {
    for (u32 x = 0; x < w; x++) {
        u32 px = bits == 16 ? (u32)src[2 * x] | (u32)src[2 * x + 1] << 8
                            : (u32)src[4 * x] | (u32)src[4 * x + 1] << 8 | (u32)src[4 * x + 2] << 16 |
                                  (u32)src[4 * x + 3] << 24;
        u32 r = channel_value(&ch[0], px, 0), g = channel_value(&ch[1], px, 0);
        u32 b = channel_value(&ch[2], px, 0), a = channel_value(&ch[3], px, 255);
        store_word(dst + 4 * (u64)x, r | g << 8 | b << 16 | a << 24);
    }
}

// ---- Alpha --------------------------------------------------------------------

static u32 alpha_or(const u8* row, u32 w) {
    u32 acc = 0;
    for (u32 x = 0; x < w; x++) acc |= row[4 * (u64)x + 3];
    return acc;
}

static void make_opaque(PixelBuffer* out) {
    for (u32 y = 0; y < out->height; y++) {
        u8* row = out->pixels + out->stride * y;
        for (u32 x = 0; x < out->width; x++) row[4 * (u64)x + 3] = 255;
    }
}

// Icons below 32 bits: a set AND bit makes the pixel transparent. The mask
// rows are stored bottom-up, one bit a pixel from the high bit down.
static void apply_and_mask(const u8* data, const BmpDib* dib, PixelBuffer* out) {
    for (u32 y = 0; y < dib->height; y++) {
        const u8* m = data + dib->and_pos + dib->and_row_size * (dib->height - 1 - y);
        u8* row = out->pixels + out->stride * y;
        for (u32 x = 0; x < dib->width; x++)
            if ((m[x >> 3] >> (7 - (x & 7))) & 1) row[4 * (u64)x + 3] = 0;
    }
}

// ---- RLE ----------------------------------------------------------------------

// Both RLE flavours: a pair (n > 0, v) is a run of n pixels (RLE4: the two
// nibbles of v in turn); (0, 0) ends a row, (0, 1) ends the bitmap, (0, 2, dx,
// dy) moves the cursor, (0, n >= 3) is n literal pixels padded to an even
// byte count. Rows count from the bottom. A run or move past the picture is
// an error at its first byte.
static bool decode_rle(const u8* data, u64 length, const BmpDib* dib, const u32* lut, PixelBuffer* out,
                       CodecError* err) {
    const bool nibbles = dib->layout == BMP_LAYOUT_RLE4;
    const u64 w = dib->width, h = dib->height;
    for (u32 y = 0; y < h; y++) memset(out->pixels + out->stride * y, 0, 4 * w);
    u64 p = dib->pixel_pos, x = 0, y = 0;
    for (;;) {
        if (length - p < 2) {
            if (y >= h) return true;  // every row ended; the end marker is missing
            return fail(err, ERR_TRUNCATED, length);
        }
        u64 at = p;
        u32 n = data[p], v = data[p + 1];
        p += 2;
        if (n > 0) {
            if (y >= h || x + n > w) return fail(err, ERR_BAD_HEADER, at);
            u8* dst = out->pixels + out->stride * (h - 1 - y) + 4 * x;
            if (nibbles) {
                u32 pair[2] = {lut[v >> 4], lut[v & 15]};
                for (u32 i = 0; i < n; i++) store_word(dst + 4 * i, pair[i & 1]);
            } else {
                for (u32 i = 0; i < n; i++) store_word(dst + 4 * i, lut[v]);
            }
            x += n;
        } else if (v == 0) {
            x = 0;
            y++;
        } else if (v == 1) {
            return true;
        } else if (v == 2) {
            if (length - p < 2) return fail(err, ERR_TRUNCATED, length);
            u32 dx = data[p], dy = data[p + 1];
            p += 2;
            if (x + dx > w || y + dy > h) return fail(err, ERR_BAD_HEADER, at);
            x += dx;
            y += dy;
        } else {
            u64 bytes = nibbles ? (v + 1) / 2 : v;
            if (length - p < bytes) return fail(err, ERR_TRUNCATED, length);
            if (y >= h || x + v > w) return fail(err, ERR_BAD_HEADER, at);
            u8* dst = out->pixels + out->stride * (h - 1 - y) + 4 * x;
            for (u32 i = 0; i < v; i++) {
                u32 index = nibbles ? (data[p + i / 2] >> (i & 1 ? 0 : 4)) & 15 : data[p + i];
                store_word(dst + 4 * i, lut[index]);
            }
            x += v;
            p += bytes;
            if (bytes & 1) p = p < length ? p + 1 : p;
        }
    }
}

// ---- Stored rows ----------------------------------------------------------------

bool bmp_dib_decode(const u8* data, u64 length, const BmpDib* dib, PixelBuffer* out, CodecError* err) {
    error_clear(err);
    u32 lut[256];
    const u32 w = dib->width, h = dib->height, bits = dib->bit_count;
    switch (dib->layout) {
    case BMP_LAYOUT_RLE8:
    case BMP_LAYOUT_RLE4:
        build_lut(data, dib, lut);
        return decode_rle(data, length, dib, lut, out, err);
    case BMP_LAYOUT_EMBEDDED:
        return fail(err, ERR_UNSUPPORTED, dib->compression_field);
    default:
        break;
    }

    MaskChannel channels[4];
    if (dib->layout == BMP_LAYOUT_INDEXED) build_lut(data, dib, lut);
    if (dib->layout == BMP_LAYOUT_MASKS)
        for (u32 c = 0; c < 4; c++) channel_init(&channels[c], dib->masks[c]);
    const bool track_alpha = dib->fix_zero_alpha != 0;
    u32 alpha = 0;
    for (u32 y = 0; y < h; y++) {
        u64 stored = dib->top_down ? y : h - 1 - y;
        const u8* src = data + dib->pixel_pos + dib->row_size * stored;
        u8* dst = out->pixels + out->stride * y;
        switch (dib->layout) {
        case BMP_LAYOUT_INDEXED:
            index_row(src, w, bits, lut, dst);
            break;
        case BMP_LAYOUT_BGR:
            bmp_kernels.bgr(src, w, dst);
            break;
        case BMP_LAYOUT_BGRX:
            bmp_kernels.bgrx(src, w, dst);
            break;
        case BMP_LAYOUT_BGRA:
            bmp_kernels.bgra(src, w, dst);
            break;
        default:
            masks_row(src, w, bits, channels, dst);
            break;
        }
        if (track_alpha) alpha |= alpha_or(dst, w);
    }
    if (track_alpha && alpha == 0) make_opaque(out);
    if (dib->and_pos != 0) apply_and_mask(data, dib, out);
    return true;
}
