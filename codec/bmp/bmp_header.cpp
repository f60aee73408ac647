// BMP headers: the 14-byte file header, the DIB header in each of its sizes,
// the channel masks wherever the header size puts them, and the palette.
// Everything a decode will read is proved present here, so the row loops
// need no bounds checks; only RLE streams are checked as they are read.
#include "codec/bmp/bmp.h"

// ---- Limits -----------------------------------------------------------------

static const u32 k_max_side = 0x10000000;
static const u64 k_max_pixels = 0x10000000 / 4;

static bool check_size(i64 w, i64 h, u64 w_field, u64 h_field, CodecError* err) {
    if (w <= 0) return fail(err, ERR_BAD_HEADER, w_field);
    if (h <= 0) return fail(err, ERR_BAD_HEADER, h_field);
    if (w > k_max_side) return fail(err, ERR_TOO_LARGE, w_field);
    if (h > k_max_side) return fail(err, ERR_TOO_LARGE, h_field);
    if ((u64)w * (u64)h > k_max_pixels) return fail(err, ERR_TOO_LARGE, h_field);
    return true;
}

// ---- Masks ------------------------------------------------------------------

// A mask is usable when its bits are one contiguous run inside the pixel.
static bool mask_valid(u32 mask, u32 bit_count) {
    if (mask == 0) return true;
    if (bit_count < 32 && (mask >> bit_count) != 0) return false;
    u64 m = (u64)mask >> __builtin_ctz(mask);
    return (m & (m + 1)) == 0;
}

// ---- DIB header ---------------------------------------------------------------

// Info header sizes: 40 (Windows 3), 52 and 56 (with RGB and RGBA masks),
// 108 (V4), 124 (V5). Any other size from 16 to 64 is an OS/2 2.x header,
// whose fields past the first 16 bytes follow the 40-byte layout and whose
// compressions 3 and 4 mean Huffman 1D and RLE24 (neither is supported).
static bool os2_v2_size(u32 size) {
    return size >= 16 && size <= 64 && size != 40 && size != 52 && size != 56;
}

bool bmp_dib_read(const u8* data, u64 length, u64 pos, u64 pixel_pos, u32 flags, BmpDib* dib, CodecError* err) {
    *dib = BmpDib{};
    dib->header_pos = pos;
    dib->flags = flags;
    if (pos > length || length - pos < 4) return fail(err, ERR_TRUNCATED, length);
    u32 hsize = load_le32(data, length, pos);
    bool core = hsize == 12;
    if (!core && !os2_v2_size(hsize) && hsize != 40 && hsize != 52 && hsize != 56 && hsize != 108 && hsize != 124)
        return fail(err, hsize < 12 || hsize > 124 ? ERR_BAD_HEADER : ERR_UNSUPPORTED, pos);
    if (length - pos < hsize) return fail(err, ERR_TRUNCATED, length);
    dib->header_size = hsize;

    i64 w, h;
    u64 w_field = pos + 4, bits_field, clr_used = 0;
    if (core) {
        w = load_le16(data, length, pos + 4);
        h = load_le16(data, length, pos + 6);
        dib->height_field = pos + 6;
        bits_field = pos + 10;
        dib->palette_entry_size = 3;
    } else {
        w = (i32)load_le32(data, length, pos + 4);
        h = (i32)load_le32(data, length, pos + 8);
        dib->height_field = pos + 8;
        bits_field = pos + 14;
        dib->palette_entry_size = 4;
        if (hsize >= 20) dib->compression = load_le32(data, length, pos + 16);
        if (hsize >= 24) dib->size_image = load_le32(data, length, pos + 20);
        if (hsize >= 36) clr_used = load_le32(data, length, pos + 32);
    }
    dib->compression_field = pos + 16;
    dib->bit_count = load_le16(data, length, bits_field);
    u32 bits = dib->bit_count;
    u32 comp = dib->compression;

    if (os2_v2_size(hsize) && (comp == 3 || comp == 4)) return fail(err, ERR_UNSUPPORTED, pos + 16);
    if (comp == BMP_JPEG || comp == BMP_PNG) {
        dib->layout = BMP_LAYOUT_EMBEDDED;
        return true;
    }

    if (flags & BMP_DIB_ICON) {
        if (h <= 0) return fail(err, ERR_BAD_HEADER, dib->height_field);
        h /= 2;
    } else if (h < 0) {
        h = -h;
        dib->top_down = 1;
    }
    if (!check_size(w, h, w_field, dib->height_field, err)) return false;
    dib->width = (u32)w;
    dib->height = (u32)h;

    // Compression and depth.
    switch (comp) {
    case BMP_RGB:
        if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
            return fail(err, ERR_BAD_HEADER, bits_field);
        break;
    case BMP_RLE8:
    case BMP_RLE4:
        if (bits != (comp == BMP_RLE8 ? 8u : 4u)) return fail(err, ERR_BAD_HEADER, bits_field);
        if (flags & BMP_DIB_ICON) return fail(err, ERR_UNSUPPORTED, pos + 16);
        if (dib->top_down) return fail(err, ERR_BAD_HEADER, dib->height_field);
        break;
    case BMP_BITFIELDS:
    case BMP_ALPHABITFIELDS:
        if (bits != 16 && bits != 32) return fail(err, ERR_BAD_HEADER, bits_field);
        break;
    default:
        return fail(err, ERR_UNSUPPORTED, pos + 16);
    }

    // Masks: in the header from 52 bytes on, else after a 40-byte header.
    u64 palette_pos = pos + hsize;
    u64 mask_pos = 0;
    u32 mask_count = 0;
    if (comp == BMP_BITFIELDS || comp == BMP_ALPHABITFIELDS) {
        if (hsize >= 52) {
            mask_pos = pos + 40;
            mask_count = hsize >= 56 ? 4 : 3;
        } else {
            mask_pos = pos + hsize;
            mask_count = comp == BMP_ALPHABITFIELDS ? 4 : 3;
            palette_pos += 4 * mask_count;
            if (length - pos - hsize < 4 * mask_count) return fail(err, ERR_TRUNCATED, length);
        }
        for (u32 c = 0; c < mask_count; c++) {
            dib->masks[c] = load_le32(data, length, mask_pos + 4 * c);
            if (!mask_valid(dib->masks[c], bits)) return fail(err, ERR_BAD_HEADER, mask_pos + 4 * c);
        }
    } else if (bits == 16) {
        dib->masks[0] = 0x7C00, dib->masks[1] = 0x03E0, dib->masks[2] = 0x001F;
    } else if (bits >= 24) {
        dib->masks[0] = 0xFF0000, dib->masks[1] = 0xFF00, dib->masks[2] = 0xFF;
        if (bits == 32 && (flags & BMP_DIB_ICON)) dib->masks[3] = 0xFF000000u;
    }
    dib->fix_zero_alpha = dib->masks[3] != 0 && !(flags & BMP_DIB_ICON);

    // Palette: the colours-used count, at most 2^bits entries, and no more
    // than fit before the pixels (a short palette leaves the rest black).
    u64 table_entries = clr_used;
    if (bits <= 8 && table_entries == 0) table_entries = (u64)1 << bits;
    dib->palette_pos = palette_pos;
    if (pixel_pos == 0) {
        pixel_pos = palette_pos + table_entries * dib->palette_entry_size;
    } else if (pixel_pos < palette_pos) {
        return fail(err, ERR_BAD_HEADER, 10);
    }
    if (pixel_pos > length) return fail(err, ERR_TRUNCATED, length);
    dib->pixel_pos = pixel_pos;
    if (bits <= 8) {
        u64 n = table_entries < ((u64)1 << bits) ? table_entries : ((u64)1 << bits);
        u64 room = (pixel_pos - palette_pos) / dib->palette_entry_size;
        dib->palette_count = (u32)(n < room ? n : room);
    }

    // Layout and the bytes it reads.
    const u32* m = dib->masks;
    bool standard = m[0] == 0xFF0000 && m[1] == 0xFF00 && m[2] == 0xFF;
    if (comp == BMP_RLE8) {
        dib->layout = BMP_LAYOUT_RLE8;
    } else if (comp == BMP_RLE4) {
        dib->layout = BMP_LAYOUT_RLE4;
    } else if (bits <= 8) {
        dib->layout = BMP_LAYOUT_INDEXED;
    } else if (bits == 24) {
        dib->layout = BMP_LAYOUT_BGR;
    } else if (bits == 32 && standard && m[3] == 0) {
        dib->layout = BMP_LAYOUT_BGRX;
    } else if (bits == 32 && standard && m[3] == 0xFF000000u) {
        dib->layout = BMP_LAYOUT_BGRA;
    } else {
        dib->layout = BMP_LAYOUT_MASKS;
    }
    dib->row_size = ((u64)dib->width * bits + 31) / 32 * 4;
    if (dib->layout == BMP_LAYOUT_RLE8 || dib->layout == BMP_LAYOUT_RLE4) return true;

    // The last stored row may lack its padding.
    u64 used = ((u64)dib->width * bits + 7) / 8;
    u64 need = dib->row_size * (dib->height - 1) + used;
    if (length - pixel_pos < need) return fail(err, ERR_TRUNCATED, length);
    if ((flags & BMP_DIB_ICON) && bits < 32) {
        dib->and_row_size = ((u64)dib->width + 31) / 32 * 4;
        dib->and_pos = pixel_pos + dib->row_size * dib->height;
        u64 and_need = dib->and_row_size * (dib->height - 1) + ((u64)dib->width + 7) / 8;
        if (dib->and_pos > length || length - dib->and_pos < and_need) return fail(err, ERR_TRUNCATED, length);
    }
    return true;
}

void bmp_dib_info(const BmpDib* dib, DecoderKind decoder, ImageInfo* info) {
    *info = ImageInfo{};
    info->decoder = decoder;
    info->width = dib->width;
    info->height = dib->height;
    info->frame_count = 1;
    info->play_count = 1;
    info->preview_level = 0;
    info->scratch_bytes = 0;
    info->pixel_bytes = row_stride(dib->width) * dib->height + 32;
    info->extra_bytes = 0;
}

// ---- Files ------------------------------------------------------------------

bool bmp_sniff(const u8* data, u64 length) {
    return length >= 2 && data[0] == 'B' && data[1] == 'M';
}

static bool read_file(const u8* data, u64 length, BmpDib* dib, CodecError* err) {
    if (length < 2) return fail(err, ERR_TRUNCATED, length);
    if (!bmp_sniff(data, length)) return fail(err, ERR_BAD_SIGNATURE, 0);
    if (length < 18) return fail(err, ERR_TRUNCATED, length);
    u64 pixel_pos = load_le32(data, length, 10);
    if (pixel_pos == 0) return fail(err, ERR_BAD_HEADER, 10);
    return bmp_dib_read(data, length, 14, pixel_pos, 0, dib, err);
}

bool bmp_probe(const u8* data, u64 length, ImageInfo* info, CodecError* err) {
    *info = ImageInfo{};
    error_clear(err);
    BmpDib dib;
    if (!read_file(data, length, &dib, err)) return false;
    if (dib.layout == BMP_LAYOUT_EMBEDDED) return fail(err, ERR_UNSUPPORTED, dib.compression_field);
    bmp_dib_info(&dib, DECODER_BMP, info);
    return true;
}

bool bmp_decode(const u8* data, u64 length, u8*, u64, PixelBuffer* out, CodecError* err) {
    error_clear(err);
    BmpDib dib;
    if (!read_file(data, length, &dib, err)) return false;
    if (dib.layout == BMP_LAYOUT_EMBEDDED) return fail(err, ERR_UNSUPPORTED, dib.compression_field);
    if (out->width != dib.width || out->height != dib.height || out->stride < 4 * (u64)dib.width)
        return fail(err, ERR_BAD_TARGET, 0);
    return bmp_dib_decode(data, length, &dib, out, err);
}

bool bmp_embedded(const u8* data, u64 length, ByteSpan* inner_out, CodecError* err) {
    error_clear(err);
    *inner_out = span_of(data, 0);
    BmpDib dib;
    if (!read_file(data, length, &dib, err)) return false;
    if (dib.layout != BMP_LAYOUT_EMBEDDED) return true;
    u64 start = load_le32(data, length, 10);
    if (start < 14 + (u64)dib.header_size) return fail(err, ERR_BAD_HEADER, 10);
    if (start >= length) return fail(err, ERR_TRUNCATED, length);
    u64 size = length - start;
    if (dib.size_image != 0 && dib.size_image < size) size = dib.size_image;
    *inner_out = span_of(data + start, size);
    return true;
}
