// ICO and CUR files: a 6-byte header, 16-byte directory records (the
// cursor's hotspot sits where an icon keeps planes and bit count; neither is
// used), then each entry's bytes: a bare DIB whose stored height counts the
// AND mask too, or a whole PNG file. Every entry is examined from its own
// header, and the choice is made again on each call, so the probe and the
// decode always agree without keeping state.
#include "codec/ico/ico.h"

static const u8 k_png_signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

static bool signature(const u8* data, u64 length) {
    return length >= 4 && data[0] == 0 && data[1] == 0 && (data[2] == 1 || data[2] == 2) && data[3] == 0;
}

bool ico_sniff(const u8* data, u64 length) {
    return signature(data, length) && (length < 6 || load_le16(data, length, 4) != 0);
}

// The PNG's IHDR: size and depth (bit depth times samples a pixel).
static bool read_png_entry(const u8* data, u64 length, IcoEntry* e, CodecError* err) {
    static const u8 ihdr[8] = {0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    if (e->size < 26) return fail(err, ERR_TRUNCATED, e->offset + e->size);
    if (!match_at(data, length, e->offset + 8, ihdr, 8)) return fail(err, ERR_BAD_HEADER, e->offset + 8);
    u64 p = e->offset + 16;
    e->width = load_be32(data, length, p);
    e->height = load_be32(data, length, p + 4);
    if (e->width == 0) return fail(err, ERR_BAD_HEADER, p);
    if (e->height == 0) return fail(err, ERR_BAD_HEADER, p + 4);
    if (e->width > 0x10000000) return fail(err, ERR_TOO_LARGE, p);
    if (e->height > 0x10000000) return fail(err, ERR_TOO_LARGE, p + 4);
    static const u8 samples[7] = {1, 0, 3, 1, 2, 0, 4};
    u32 type = data[p + 9];
    u32 n = type < 7 ? samples[type] : 0;
    if (n == 0) return fail(err, ERR_BAD_HEADER, p + 9);
    e->depth = data[p + 8] * n;
    return true;
}

static bool read_entry(const u8* data, u64 length, u32 index, IcoEntry* e, CodecError* err) {
    u64 rec = 6 + 16 * (u64)index;
    *e = IcoEntry{};
    e->index = index;
    e->size = load_le32(data, length, rec + 8);
    e->offset = load_le32(data, length, rec + 12);
    if (e->size == 0) return fail(err, ERR_BAD_HEADER, rec + 8);
    if (e->offset > length || length - e->offset < e->size) return fail(err, ERR_TRUNCATED, length);
    if (e->size >= 8 && match_at(data, length, e->offset, k_png_signature, 8)) {
        e->kind = ICO_KIND_PNG;
        return read_png_entry(data, length, e, err);
    }
    e->kind = ICO_KIND_DIB;
    BmpDib dib;
    if (!bmp_dib_read(data, length, e->offset, 0, BMP_DIB_ICON, &dib, err)) return false;
    if (dib.layout == BMP_LAYOUT_EMBEDDED) return fail(err, ERR_UNSUPPORTED, dib.compression_field);
    e->width = dib.width;
    e->height = dib.height;
    e->depth = dib.bit_count;
    return true;
}

bool ico_choose(const u8* data, u64 length, IcoEntry* entry, CodecError* err) {
    error_clear(err);
    if (length < 4) return fail(err, ERR_TRUNCATED, length);
    if (!signature(data, length)) return fail(err, ERR_BAD_SIGNATURE, 0);
    if (length < 6) return fail(err, ERR_TRUNCATED, length);
    u32 count = load_le16(data, length, 4);
    if (count == 0) return fail(err, ERR_BAD_HEADER, 4);
    if (length - 6 < 16 * (u64)count) return fail(err, ERR_TRUNCATED, length);
    bool found = false;
    CodecError first = {ERR_OK, 0};
    for (u32 i = 0; i < count; i++) {
        IcoEntry e;
        CodecError e_err;
        if (!read_entry(data, length, i, &e, &e_err)) {
            if (first.code == ERR_OK) first = e_err;
            continue;
        }
        u64 area = (u64)e.width * e.height, best = (u64)entry->width * entry->height;
        if (!found || area > best || (area == best && e.depth > entry->depth)) *entry = e;
        found = true;
    }
    if (!found) return fail(err, first.code, first.offset);
    return true;
}

static bool chosen_dib(const u8* data, u64 length, BmpDib* dib, CodecError* err) {
    IcoEntry e;
    if (!ico_choose(data, length, &e, err)) return false;
    if (e.kind == ICO_KIND_PNG) return fail(err, ERR_UNSUPPORTED, e.offset);
    return bmp_dib_read(data, length, e.offset, 0, BMP_DIB_ICON, dib, err);
}

bool ico_probe(const u8* data, u64 length, ImageInfo* info, CodecError* err) {
    *info = ImageInfo{};
    BmpDib dib;
    if (!chosen_dib(data, length, &dib, err)) return false;
    bmp_dib_info(&dib, DECODER_ICO, info);
    return true;
}

bool ico_decode(const u8* data, u64 length, u8*, u64, PixelBuffer* out, CodecError* err) {
    BmpDib dib;
    if (!chosen_dib(data, length, &dib, err)) return false;
    if (out->width != dib.width || out->height != dib.height || out->stride < 4 * (u64)dib.width)
        return fail(err, ERR_BAD_TARGET, 0);
    return bmp_dib_decode(data, length, &dib, out, err);
}

bool ico_embedded(const u8* data, u64 length, ByteSpan* inner_out, CodecError* err) {
    *inner_out = span_of(data, 0);
    IcoEntry e;
    if (!ico_choose(data, length, &e, err)) return false;
    if (e.kind == ICO_KIND_PNG) *inner_out = span_of(data + e.offset, e.size);
    return true;
}
