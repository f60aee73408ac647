// TGA decoding: the header checks, the colour lookup table (in the
// scratch: 256 or 65536 entries, one for every value an index can take, so
// indices outside the map need no test per pixel), and one span converter
// that both the uncompressed rows and the run-length packets use.
#include "codec/tga/tga.h"

#include <string.h>

#include "codec/pnm/expand.h"

// ---- Header -------------------------------------------------------------------

static u32 entry_size(u32 bits) {
    return bits == 15 ? 2 : bits / 8;
}

static bool valid_entry_bits(u32 bits) {
    return bits == 15 || bits == 16 || bits == 24 || bits == 32;
}

// Reads and checks the 18 bytes; faults carry the offset of their field.
static bool check_header(const u8* p, u64 n, TgaHeader* h, CodecError* err) {
    *h = TgaHeader{};
    if (!need_bytes(n, TGA_HEADER_SIZE, err)) return false;
    u32 id_length = p[0];
    u32 map_type = p[1];
    u32 type = p[2];
    u32 map_first = load_le16(p, n, 3);
    u32 map_length = load_le16(p, n, 5);
    u32 map_bits = p[7];
    u32 w = load_le16(p, n, 12);
    u32 ht = load_le16(p, n, 14);
    u32 depth = p[16];
    u32 desc = p[17];
    u32 attr = desc & 15;
    if (type != 1 && type != 2 && type != 3 && type != 9 && type != 10 && type != 11)
        return fail(err, type == 0 ? ERR_UNSUPPORTED : ERR_BAD_HEADER, 2);
    u32 base = type & 7;
    if (map_type > 1 || (base == 1 && map_type != 1)) return fail(err, ERR_BAD_HEADER, 1);
    if (map_type == 1) {
        if (map_length == 0 || map_first + map_length > 65536) return fail(err, ERR_BAD_HEADER, 5);
        if (!valid_entry_bits(map_bits)) return fail(err, ERR_BAD_HEADER, 7);
    } else {
        if (map_length != 0) return fail(err, ERR_BAD_HEADER, 5);
        if (map_bits != 0 && !valid_entry_bits(map_bits)) return fail(err, ERR_BAD_HEADER, 7);
    }
    u32 kind;
    if (base == 1) {
        if (depth != 8 && depth != 16) return fail(err, ERR_BAD_HEADER, 16);
        kind = depth == 8 ? TGA_PIXEL_INDEX8 : TGA_PIXEL_INDEX16;
    } else if (base == 3) {
        if (depth != 8 && depth != 16) return fail(err, ERR_BAD_HEADER, 16);
        kind = depth == 8 ? TGA_PIXEL_GREY8 : TGA_PIXEL_GREY_ALPHA;
    } else {
        if (depth == 15) {
            kind = TGA_PIXEL_BGR15;
        } else if (depth == 16) {
            kind = attr == 1 ? TGA_PIXEL_BGR15_ALPHA : TGA_PIXEL_BGR15;
        } else if (depth == 24) {
            kind = TGA_PIXEL_BGR24;
        } else if (depth == 32) {
            kind = TGA_PIXEL_BGRA32;
        } else {
            return fail(err, ERR_BAD_HEADER, 16);
        }
    }
    // The interleave bits are never set by a real file; no format has more
    // than 8 attribute bits.
    if ((desc & 0xC0) != 0 || attr > 8) return fail(err, ERR_BAD_HEADER, 17);
    if (w == 0) return fail(err, ERR_BAD_HEADER, 12);
    if (ht == 0) return fail(err, ERR_BAD_HEADER, 14);
    // 65535 x 65535 is above the pixel cap.
    if ((u64)w * ht > 0x10000000 / 4) return fail(err, ERR_TOO_LARGE, 14);
    h->image_type = type;
    h->width = w;
    h->height = ht;
    h->pixel_kind = kind;
    h->pixel_size = depth == 15 ? 2 : depth / 8;
    h->rle = type >= 9;
    h->top_down = (desc >> 5) & 1;
    h->right_to_left = (desc >> 4) & 1;
    h->map_first = map_type ? map_first : 0;
    h->map_length = map_type ? map_length : 0;
    h->map_entry_bits = map_bits;
    h->map_offset = TGA_HEADER_SIZE + id_length;
    h->data_offset = h->map_offset + (u64)h->map_length * entry_size(map_bits);
    if (kind == TGA_PIXEL_INDEX8 || kind == TGA_PIXEL_INDEX16)
        h->has_alpha = map_bits == 32;
    else
        h->has_alpha = kind == TGA_PIXEL_BGRA32 || kind == TGA_PIXEL_GREY_ALPHA || kind == TGA_PIXEL_BGR15_ALPHA;
    return true;
}

bool tga_sniff(const u8* data, u64 length) {
    TgaHeader h;
    CodecError err;
    return check_header(data, length, &h, &err);
}

bool tga_read_header(const u8* data, u64 length, TgaHeader* header, CodecError* err) {
    if (!check_header(data, length, header, err)) return false;
    if (header->data_offset > length) return fail(err, ERR_TRUNCATED, length);
    if (!header->rle) {
        u64 need = (u64)header->width * header->height * header->pixel_size;
        if (need > length - header->data_offset) return fail(err, ERR_TRUNCATED, length);
    } else if (header->data_offset == length) {
        return fail(err, ERR_TRUNCATED, length);
    }
    error_clear(err);
    return true;
}

static u64 lut_bytes(const TgaHeader& h) {
    if (h.pixel_kind == TGA_PIXEL_INDEX8) return 4 * 256;
    if (h.pixel_kind == TGA_PIXEL_INDEX16) return 4 * 65536;
    return 0;
}

bool tga_probe(const u8* data, u64 length, ImageInfo* info, CodecError* err) {
    *info = ImageInfo{};
    TgaHeader h;
    if (!tga_read_header(data, length, &h, err)) return false;
    info->decoder = DECODER_TGA;
    info->width = h.width;
    info->height = h.height;
    info->frame_count = 1;
    info->play_count = 1;
    info->scratch_bytes = lut_bytes(h);
    info->pixel_bytes = row_stride(h.width) * h.height + 32;
    return true;
}

// ---- Pixels -------------------------------------------------------------------

static QB_FORCE_INLINE void store_pixel(u8* dst, u32 v) {
    memcpy(dst, &v, 4);
}

static QB_FORCE_INLINE u32 widen5(u32 v) {
    return v << 3 | v >> 2;
}

// A 5-5-5 value (blue in the low bits) as opaque RGBA, the top bit ignored.
static QB_FORCE_INLINE u32 rgba_from_555(u32 v) {
    return widen5((v >> 10) & 31) | widen5((v >> 5) & 31) << 8 | widen5(v & 31) << 16 | 0xFF000000u;
}

// `count` stored pixels to RGBA.
static void convert(const TgaHeader& h, const u32* lut, const u8* src, u64 count, u8* dst) {
    switch (h.pixel_kind) {
    case TGA_PIXEL_INDEX8:
        for (u64 i = 0; i < count; i++) store_pixel(dst + 4 * i, lut[src[i]]);
        break;
    case TGA_PIXEL_INDEX16:
        for (u64 i = 0; i < count; i++) store_pixel(dst + 4 * i, lut[src[2 * i] | (u32)src[2 * i + 1] << 8]);
        break;
    case TGA_PIXEL_GREY8: expand_kernels.grey(src, count, dst); break;
    case TGA_PIXEL_GREY_ALPHA:
        for (u64 i = 0; i < count; i++) store_pixel(dst + 4 * i, src[2 * i] * 0x010101u | (u32)src[2 * i + 1] << 24);
        break;
    case TGA_PIXEL_BGR15:
        for (u64 i = 0; i < count; i++) store_pixel(dst + 4 * i, rgba_from_555(src[2 * i] | (u32)src[2 * i + 1] << 8));
        break;
    case TGA_PIXEL_BGR15_ALPHA:
        for (u64 i = 0; i < count; i++) {
            u32 v = src[2 * i] | (u32)src[2 * i + 1] << 8;
            store_pixel(dst + 4 * i, rgba_from_555(v) & (v & 0x8000 ? 0xFFFFFFFFu : 0x00FFFFFFu));
        }
        break;
    case TGA_PIXEL_BGR24: expand_kernels.bgr(src, count, dst); break;
    default: expand_kernels.bgra(src, count, dst); break;
    }
}

// Every index value's colour: the map's entries where it has them, opaque
// black elsewhere.
static void build_lut(const u8* p, const TgaHeader& h, u32* lut) {
    u32 entries = h.pixel_kind == TGA_PIXEL_INDEX8 ? 256 : 65536;
    for (u32 i = 0; i < entries; i++) lut[i] = 0xFF000000u;
    u32 size = entry_size(h.map_entry_bits);
    for (u32 k = 0; k < h.map_length; k++) {
        u32 index = h.map_first + k;
        if (index >= entries) break;
        const u8* e = p + h.map_offset + (u64)k * size;
        u32 c;
        if (size == 2)
            c = rgba_from_555(e[0] | (u32)e[1] << 8);
        else if (size == 3)
            c = e[2] | (u32)e[1] << 8 | (u32)e[0] << 16 | 0xFF000000u;
        else
            c = e[2] | (u32)e[1] << 8 | (u32)e[0] << 16 | (u32)e[3] << 24;
        lut[index] = c;
    }
}

// ---- Rows ---------------------------------------------------------------------

static u8* out_row(const TgaHeader& h, const PixelBuffer* out, u32 file_row) {
    u32 y = h.top_down ? file_row : h.height - 1 - file_row;
    return out->pixels + (u64)y * out->stride;
}

static void mirror_row(u8* row, u32 width) {
    u32* a = (u32*)row;
    for (u32 i = 0, j = width - 1; i < j; i++, j--) {
        u32 t = a[i];
        a[i] = a[j];
        a[j] = t;
    }
}

static bool decode_rle(const u8* p, u64 n, const TgaHeader& h, const u32* lut, const PixelBuffer* out,
                       CodecError* err) {
    u64 pos = h.data_offset;
    const u32 w = h.width;
    const u32 size = h.pixel_size;
    u32 row = 0, x = 0;
    u8* dst = out_row(h, out, 0);
    while (row < h.height) {
        if (pos >= n) return fail(err, ERR_TRUNCATED, n);
        u64 packet = pos;
        u32 b = p[pos++];
        u32 count = (b & 0x7F) + 1;
        // Pixels left in the image; rows before `row` are complete.
        u64 left = (u64)(h.height - row) * w - x;
        if (count > left) return fail(err, ERR_BAD_HEADER, packet);
        u32 value = 0;
        if (b & 0x80) {
            if (size > n - pos) return fail(err, ERR_TRUNCATED, n);
            u8 px[4];
            convert(h, lut, p + pos, 1, px);
            memcpy(&value, px, 4);
            pos += size;
        } else if ((u64)count * size > n - pos) {
            return fail(err, ERR_TRUNCATED, n);
        }
        while (count > 0) {
            u32 k = count < w - x ? count : w - x;
            u8* d = dst + 4 * (u64)x;
            if (b & 0x80) {
                for (u32 i = 0; i < k; i++) store_pixel(d + 4 * i, value);
            } else {
                convert(h, lut, p + pos, k, d);
                pos += (u64)k * size;
            }
            x += k;
            count -= k;
            if (x == w) {
                if (h.right_to_left) mirror_row(dst, w);
                x = 0;
                if (++row < h.height) dst = out_row(h, out, row);
            }
        }
    }
    return true;
}

bool tga_decode(const u8* data, u64 length, u8* scratch, u64 scratch_size, PixelBuffer* out, CodecError* err) {
    expand_kernels_ensure();
    TgaHeader h;
    if (!tga_read_header(data, length, &h, err)) return false;
    QB_ASSERT(out->width == h.width && out->height == h.height);
    QB_ASSERT(scratch_size >= lut_bytes(h));
    (void)scratch_size;
    u32* lut = nullptr;
    if (lut_bytes(h)) {
        QB_ASSERT(((uintptr_t)scratch & 3) == 0);
        lut = (u32*)scratch;
        build_lut(data, h, lut);
    }
    if (h.rle) {
        if (!decode_rle(data, length, h, lut, out, err)) return false;
    } else {
        u64 row_size = (u64)h.width * h.pixel_size;
        for (u32 r = 0; r < h.height; r++) {
            u8* d = out_row(h, out, r);
            convert(h, lut, data + h.data_offset + r * row_size, h.width, d);
            if (h.right_to_left) mirror_row(d, h.width);
        }
    }
    if (h.has_alpha) {
        bool zero = true;
        for (u32 y = 0; y < h.height && zero; y++) zero = expand_alpha_all_zero(out->pixels + (u64)y * out->stride, h.width);
        if (zero)
            for (u32 y = 0; y < h.height; y++) expand_set_opaque(out->pixels + (u64)y * out->stride, h.width);
    }
    error_clear(err);
    return true;
}
