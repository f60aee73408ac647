// One block (a strip or a tile) from its chunks to RGBA: each chunk is
// found in the offset and byte count tables, its bits reversed when the
// fill order asks, decompressed into the raw area of the scratch (an
// uncompressed chunk is read in place), and the predictor undone. Rows of
// samples are then brought to 8 bits each, interleaved (separate planes
// gathered, 16-bit values rounded, 1, 2 and 4-bit values spread over
// 0..255, palette indices kept), and converted by photometric
// interpretation. Subsampled YCbCr is converted unit by unit instead.
#include <string.h>

#include "codec/pnm/expand.h"
#include "codec/tiff/tiff.h"

// ---- Tables of the file ---------------------------------------------------------

static u64 table_value(const u8* data, u64 length, bool be, u64 pos, u32 size) {
    switch (size) {
    case 1: return data[pos];
    case 2: return be ? load_be16(data, length, pos) : load_le16(data, length, pos);
    case 4: return be ? load_be32(data, length, pos) : load_le32(data, length, pos);
    default: {
        u64 a = be ? load_be32(data, length, pos) : load_le32(data, length, pos);
        u64 b = be ? load_be32(data, length, pos + 4) : load_le32(data, length, pos + 4);
        return be ? (a << 32) | b : (b << 32) | a;
    }
    }
}

// ---- Samples --------------------------------------------------------------------

// Sample i of a packed row, raw.
static inline u32 sample_at(const u8* row, u64 i, u32 bits, bool be) {
    switch (bits) {
    case 16: return be ? (u32)row[2 * i] << 8 | row[2 * i + 1] : (u32)row[2 * i + 1] << 8 | row[2 * i];
    case 8: return row[i];
    default: {
        u64 bit = i * bits;
        return (row[bit >> 3] >> (8 - bits - (bit & 7))) & ((1u << bits) - 1);
    }
    }
}

// A raw sample brought to 8 bits: 16-bit values rounded (v / 257), smaller
// ones spread over 0..255; palette indices stay as they are.
static inline u32 sample8(u32 v, u32 bits, bool index) {
    if (bits == 16) return (v + 128) / 257;
    if (bits == 8 || index) return v;
    return v * 255 / ((1u << bits) - 1);
}

// Row y of the block as interleaved 8-bit samples, in place when the chunk
// already is that, else gathered into `buf`.
static const u8* sample_row(const TiffImage* im, const u8* const* planes, u32 y, u32 cols, u8* buf) {
    u32 spp = im->samples;
    u64 prb = im->plane_row_bytes;
    if (im->bits == 8 && im->planar == 1) return planes[0] + (u64)y * prb;
    bool index = im->photometric == TIFF_PHOTOMETRIC_PALETTE;
    if (im->planar == 1) {
        const u8* row = planes[0] + (u64)y * prb;
        u64 n = (u64)cols * spp;
        for (u64 i = 0; i < n; i++) buf[i] = (u8)sample8(sample_at(row, i, im->bits, im->big_endian), im->bits, index);
        return buf;
    }
    for (u32 p = 0; p < spp; p++) {
        const u8* row = planes[p] + (u64)y * prb;
        for (u32 x = 0; x < cols; x++) {
            buf[(u64)x * spp + p] = (u8)sample8(sample_at(row, x, im->bits, im->big_endian), im->bits, index);
        }
    }
    return buf;
}

// ---- YCbCr tables -----------------------------------------------------------------

// As TIFF readers customarily convert uncompressed YCbCr.
static i32 fix16(float x) {
    return (i32)(x * 65536.0f + 0.5);
}
static float clampf(float v, float lo, float hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}
static float code_to_value(i32 c, float black, float white, float range) {
    float d = white - black != 0 ? white - black : 1;
    return ((float)(c - (i32)black) * range) / d;
}

void tiff_ycc_tables(const TiffImage* im, TiffYcc* t) {
    const float* luma = im->luma;
    const float* ref = im->reference;
    float f1 = 2 - 2 * luma[0];
    i32 d1 = fix16(clampf(f1, 0, 2));
    float f2 = luma[0] * f1 / luma[1];
    i32 d2 = -fix16(clampf(f2, 0, 2));
    float f3 = 2 - 2 * luma[2];
    i32 d3 = fix16(clampf(f3, 0, 2));
    float f4 = luma[2] * f3 / luma[1];
    i32 d4 = -fix16(clampf(f4, 0, 2));
    for (i32 i = 0; i < 256; i++) {
        i32 x = i - 128;
        i32 cr = (i32)clampf(code_to_value(x, ref[4] - 128.0f, ref[5] - 128.0f, 127), -128.0f * 32, 128.0f * 32);
        i32 cb = (i32)clampf(code_to_value(x, ref[2] - 128.0f, ref[3] - 128.0f, 127), -128.0f * 32, 128.0f * 32);
        t->cr_r[i] = (i32)(((i64)d1 * cr + 32768) >> 16);
        t->cb_b[i] = (i32)(((i64)d3 * cb + 32768) >> 16);
        t->cr_g[i] = d2 * cr;
        t->cb_g[i] = d4 * cb + 32768;
        t->y_tab[i] = (i32)clampf(code_to_value(x + 128, ref[0], ref[1], 255), -128.0f * 32, 128.0f * 32);
    }
}

// ---- Colour -----------------------------------------------------------------------

static inline u32 rgba(u32 r, u32 g, u32 b, u32 a) {
    return r | g << 8 | b << 16 | a << 24;
}

// Colour divided by associated alpha, rounded and clamped.
static inline u32 unpremultiply(u32 c, u32 a) {
    if (a == 0) return 0;
    u32 v = (c * 255 + a / 2) / a;
    return v > 255 ? 255 : v;
}

static inline u32 clamp255(i32 v) {
    return v < 0 ? 0 : (v > 255 ? 255 : (u32)v);
}

static inline u32 ycbcr_pixel(const TiffYcc* t, u32 y, u32 cb, u32 cr) {
    i32 l = t->y_tab[y];
    u32 r = clamp255(l + t->cr_r[cr]);
    u32 g = clamp255(l + (i32)((t->cb_g[cb] + t->cr_g[cr]) >> 16));
    u32 b = clamp255(l + t->cb_b[cb]);
    return rgba(r, g, b, 255);
}

// One row of 8-bit interleaved samples to RGBA words.
static void pixel_row(const TiffImage* im, const TiffYcc* ycc, const u8* s, u32 cols, u32* out) {
    u32 spp = im->samples;
    u32 ai = im->color_samples;
    u32 alpha = im->alpha;
    switch (im->photometric) {
    case TIFF_PHOTOMETRIC_MIN_IS_WHITE:
    case TIFF_PHOTOMETRIC_MIN_IS_BLACK: {
        u32 flip = im->photometric == TIFF_PHOTOMETRIC_MIN_IS_WHITE ? 255 : 0;
        if (flip == 0 && alpha == TIFF_ALPHA_NONE && spp == 1) {
            expand_kernels.grey(s, cols, (u8*)out);
            return;
        }
        for (u32 x = 0; x < cols; x++, s += spp) {
            u32 g = s[0] ^ flip;
            u32 a = alpha != TIFF_ALPHA_NONE ? s[ai] : 255;
            if (alpha == TIFF_ALPHA_ASSOCIATED) g = unpremultiply(g, a);
            out[x] = rgba(g, g, g, a);
        }
        return;
    }
    case TIFF_PHOTOMETRIC_PALETTE:
        for (u32 x = 0; x < cols; x++, s += spp) out[x] = im->palette[s[0]];
        return;
    case TIFF_PHOTOMETRIC_RGB:
        if (alpha == TIFF_ALPHA_NONE && spp == 3) {
            expand_kernels.rgb(s, cols, (u8*)out);
        } else if (alpha == TIFF_ALPHA_UNASSOCIATED && spp == 4) {
            memcpy(out, s, (u64)cols * 4);
        } else if (alpha == TIFF_ALPHA_NONE) {
            for (u32 x = 0; x < cols; x++, s += spp) out[x] = rgba(s[0], s[1], s[2], 255);
        } else if (alpha == TIFF_ALPHA_UNASSOCIATED) {
            for (u32 x = 0; x < cols; x++, s += spp) out[x] = rgba(s[0], s[1], s[2], s[ai]);
        } else {
            for (u32 x = 0; x < cols; x++, s += spp) {
                u32 a = s[ai];
                out[x] = rgba(unpremultiply(s[0], a), unpremultiply(s[1], a), unpremultiply(s[2], a), a);
            }
        }
        return;
    case TIFF_PHOTOMETRIC_SEPARATED:
        // Inks to light without a colour profile: each channel is the
        // light its ink leaves times what black leaves, (255 - C)(255 - K)/255,
        // rounded down (what TIFFReadRGBA does).
        for (u32 x = 0; x < cols; x++, s += spp) {
            u32 k = 255 - s[3];
            u32 a = alpha != TIFF_ALPHA_NONE ? s[ai] : 255;
            out[x] = rgba(k * (255 - s[0]) / 255, k * (255 - s[1]) / 255, k * (255 - s[2]) / 255, a);
        }
        return;
    default:  // YCbCr without subsampling
        for (u32 x = 0; x < cols; x++, s += spp) out[x] = ycbcr_pixel(ycc, s[0], s[1], s[2]);
        return;
    }
}

// Subsampled YCbCr: units of h x v luma samples followed by Cb and Cr.
static void ycbcr_units(const TiffImage* im, const TiffYcc* ycc, const u8* data, u32 cols, u32 rows, u8* out,
                        u64 stride) {
    u32 h = im->ycbcr_h;
    u32 v = im->ycbcr_v;
    u32 unit = h * v + 2;
    u32 units_across = (u32)ceil_div(cols, h);
    for (u32 uy = 0; uy * v < rows; uy++) {
        const u8* u = data + (u64)uy * im->plane_row_bytes;
        for (u32 ux = 0; ux < units_across; ux++, u += unit) {
            u32 cb = u[h * v];
            u32 cr = u[h * v + 1];
            for (u32 j = 0; j < v && uy * v + j < rows; j++) {
                u32* line = (u32*)(out + (u64)(uy * v + j) * stride);
                for (u32 i = 0; i < h && ux * h + i < cols; i++) line[ux * h + i] = ycbcr_pixel(ycc, u[j * h + i], cb, cr);
            }
        }
    }
}

// ---- Blocks -----------------------------------------------------------------------

void tiff_block_extent(const TiffImage* im, u64 index, u32* cols, u32* rows) {
    u64 x0 = index % im->blocks_across * im->block_width;
    u64 y0 = index / im->blocks_across * im->block_height;
    *cols = im->width - x0 < im->block_width ? (u32)(im->width - x0) : im->block_width;
    *rows = im->height - y0 < im->block_height ? (u32)(im->height - y0) : im->block_height;
}

bool tiff_decode_block(const u8* data, u64 length, const TiffImage* im, u8* scratch, u64 index, u8* out,
                       u64 stride, CodecError* err) {
    u64 by = index / im->blocks_across;
    u32 rows = im->block_height;
    if (!im->tiled && (u64)im->height - by * im->block_height < rows) rows = (u32)(im->height - by * im->block_height);
    bool subsampled = im->photometric == TIFF_PHOTOMETRIC_YCBCR && (im->ycbcr_h != 1 || im->ycbcr_v != 1);
    u64 plane_bytes = im->plane_row_bytes * (subsampled ? ceil_div(rows, im->ycbcr_v) : rows);
    const u8* planes[16];
    for (u32 p = 0; p < im->planes; p++) {
        u64 chunk = (u64)p * im->block_count + index;
        u64 entry = im->offsets_pos + chunk * im->offsets_size;
        u64 pos = table_value(data, length, im->big_endian, entry, im->offsets_size);
        u64 n = table_value(data, length, im->big_endian, im->counts_pos + chunk * im->counts_size, im->counts_size);
        // The probe proved pos + n <= length.
        if (n == 0) return fail(err, ERR_BAD_HEADER, entry);
        const u8* src = data + pos;
        u8* chunk_buffer = scratch + im->chunk_offset;
        if (im->compression == TIFF_COMPRESSION_JPEG) {
            if (im->fill_order == 2) {
                tiff_reverse_bits(src, n, chunk_buffer + im->tables_size);
                src = chunk_buffer + im->tables_size;
            }
            if (im->tables_size == 0) return tiff_jpeg_block(src, n, pos, im, scratch, rows, out, stride, err);
            if (tiff_jpeg_direct(data, im, scratch, src, n, rows, out, stride)) return true;
            // The tables without their end marker, then the chunk without
            // its start marker.
            u64 head = im->tables_size;
            if (data[im->tables_pos + head - 2] == 0xFF && data[im->tables_pos + head - 1] == 0xD9) head -= 2;
            u64 skip = n >= 2 && src[0] == 0xFF && src[1] == 0xD8 ? 2 : 0;
            memmove(chunk_buffer + head, src + skip, n - skip);
            memcpy(chunk_buffer, data + im->tables_pos, head);
            return tiff_jpeg_block(chunk_buffer, head + n - skip, pos, im, scratch, rows, out, stride, err);
        }
        u8* raw = scratch + im->raw_offset + (u64)p * im->raw_bytes_per_plane;
        if (im->compression == TIFF_COMPRESSION_NONE) {
            if (n < plane_bytes) return fail(err, ERR_TRUNCATED, pos + n);
            planes[p] = src;
            if (im->fill_order == 2) {
                tiff_reverse_bits(src, plane_bytes, raw);
                planes[p] = raw;
            }
            continue;
        }
        if (im->fill_order == 2) {
            tiff_reverse_bits(src, n, chunk_buffer);
            src = chunk_buffer;
        }
        switch (im->compression) {
        case TIFF_COMPRESSION_PACKBITS:
            if (!tiff_unpack_bits(src, n, pos, raw, plane_bytes, err)) return false;
            break;
        case TIFF_COMPRESSION_LZW:
            if (!tiff_lzw(src, n, pos, scratch + im->work_offset, raw, plane_bytes, err)) return false;
            break;
        default:
            if (!tiff_inflate(src, n, pos, scratch + im->work_offset, raw, plane_bytes, err)) return false;
            break;
        }
        if (im->predictor == 2) {
            tiff_undo_predictor(raw, im->plane_row_bytes, rows, im->bits, im->planar == 2 ? 1 : im->samples,
                                im->big_endian);
        }
        planes[p] = raw;
    }
    // Only the part inside the image is converted: a tile's padding past
    // the image's right or bottom edge is decompressed but never shown.
    u32 show_cols, show_rows;
    tiff_block_extent(im, index, &show_cols, &show_rows);
    TiffYcc ycc;
    if (im->photometric == TIFF_PHOTOMETRIC_YCBCR) tiff_ycc_tables(im, &ycc);
    if (subsampled) {
        ycbcr_units(im, &ycc, planes[0], show_cols, show_rows, out, stride);
        return true;
    }
    u8* buf = scratch + im->row_offset;
    for (u32 y = 0; y < show_rows; y++) {
        pixel_row(im, &ycc, sample_row(im, planes, y, show_cols, buf), show_cols, (u32*)(out + (u64)y * stride));
    }
    return true;
}
