// QOI decoding. The stream is walked op by op with the current pixel kept
// as one little-endian u32 (R in the low byte), so the index, runs and
// stores move whole pixels and the difference ops add all three deltas in
// one byte-wise addition. While at least 5 bytes (the longest op) remain
// the ops are read without bounds checks; near the end of the input each op
// checks its length first. A 3-channel image is stored with alpha 255 while
// the running pixel keeps the alpha the stream gives it, because the colour
// index hashes that alpha.
#include "codec/qoi/qoi.h"

#include <string.h>

enum : u32 {
    QOI_OP_INDEX = 0x00,  // 00xxxxxx
    QOI_OP_DIFF = 0x40,   // 01xxxxxx
    QOI_OP_LUMA = 0x80,   // 10xxxxxx
    QOI_OP_RUN = 0xC0,    // 11xxxxxx
    QOI_OP_RGB = 0xFE,
    QOI_OP_RGBA = 0xFF,
};

static const u8 k_magic[4] = {'q', 'o', 'i', 'f'};
static const u8 k_end_marker[8] = {0, 0, 0, 0, 0, 0, 0, 1};

bool qoi_sniff(const u8* data, u64 length) {
    return match_at(data, length, 0, k_magic, 4);
}

bool qoi_read_header(const u8* data, u64 length, QoiHeader* header, CodecError* err) {
    *header = QoiHeader{};
    if (!may_match(data, length, k_magic, 4)) return fail(err, ERR_BAD_SIGNATURE, 0);
    if (!need_bytes(length, QOI_HEADER_BYTES, err)) return false;
    u32 w = load_be32(data, length, 4);
    u32 h = load_be32(data, length, 8);
    if (w == 0) return fail(err, ERR_BAD_HEADER, 4);
    if (h == 0) return fail(err, ERR_BAD_HEADER, 8);
    if (w > 0x10000000) return fail(err, ERR_TOO_LARGE, 4);
    if (h > 0x10000000) return fail(err, ERR_TOO_LARGE, 8);
    if ((u64)w * h > 0x10000000 / 4) return fail(err, ERR_TOO_LARGE, 8);
    if (data[12] != 3 && data[12] != 4) return fail(err, ERR_BAD_HEADER, 12);
    if (data[13] > 1) return fail(err, ERR_BAD_HEADER, 13);
    header->width = w;
    header->height = h;
    header->channels = data[12];
    header->colorspace = data[13];
    error_clear(err);
    return true;
}

bool qoi_probe(const u8* data, u64 length, ImageInfo* info, CodecError* err) {
    *info = ImageInfo{};
    QoiHeader header;
    if (!qoi_read_header(data, length, &header, err)) return false;
    // Every pixel takes at least 1/62 of an op byte (a full run), and the
    // end marker follows; anything shorter cannot be whole.
    u64 least = QOI_HEADER_BYTES + ceil_div((u64)header.width * header.height, 62) + QOI_END_MARKER_BYTES;
    if (length < least) return fail(err, ERR_TRUNCATED, length);
    info->decoder = DECODER_QOI;
    info->width = header.width;
    info->height = header.height;
    info->frame_count = 1;
    info->play_count = 1;
    info->scratch_bytes = 0;
    info->pixel_bytes = row_stride(header.width) * header.height + 32;
    return true;
}

// ---- Op stream ----------------------------------------------------------------

// The index position of a pixel, (3r + 5g + 7b + 11a) mod 64, with one
// multiplication: spreading the bytes 16 bits apart (r at 0, b at 16, g at
// 32, a at 48) and multiplying by a constant that places each one's product
// with its weight at bit 56. Every other partial product lands at bit 52 or
// below (at most 3 * 255 * 11 < 2^13 above bit 40) or beyond bit 63, so no
// carry reaches the top byte.
static QB_FORCE_INLINE u32 qoi_hash(u32 px) {
    u64 v = px;
    v = (v & 0x00FF00FFull) | ((v & 0xFF00FF00ull) << 24);
    const u64 k = (3ull << 56) | (7ull << 40) | (5ull << 24) | (11ull << 8);
    return (u32)((v * k) >> 56) & 63;
}

// Byte-wise addition of the colour deltas in d (alpha byte 0), each byte
// wrapping on its own.
static constexpr QB_FORCE_INLINE u32 add_bytes(u32 px, u32 d) {
    return ((px & 0x7F7F7F7Fu) + (d & 0x7F7F7F7Fu)) ^ ((px ^ d) & 0x80808080u);
}

static constexpr QB_FORCE_INLINE u32 pack_delta(u32 dr, u32 dg, u32 db) {
    return (dr & 0xFF) | (dg & 0xFF) << 8 | (db & 0xFF) << 16;
}

// The delta of a DIFF op's byte, or the part of a LUMA op's delta its
// first byte gives (green's delta, and it less 8 for red and blue), by op
// byte less 0x40; and the rest of a LUMA delta, red's and blue's offsets,
// by its second byte.
struct QoiDeltaTables {
    u32 first[128];
    u32 second[256];
};

static constexpr QoiDeltaTables make_delta_tables() {
    QoiDeltaTables t{};
    for (u32 b = 0; b < 64; b++) {
        t.first[b] = pack_delta(((b >> 4) & 3) - 2, ((b >> 2) & 3) - 2, (b & 3) - 2);
        u32 dg = b - 32;
        t.first[64 + b] = pack_delta(dg - 8, dg, dg - 8);
    }
    for (u32 b2 = 0; b2 < 256; b2++) t.second[b2] = pack_delta(b2 >> 4, 0, b2 & 0x0F);
    return t;
}

static constexpr QoiDeltaTables k_delta_tables = make_delta_tables();
static const u32* const k_delta_first = k_delta_tables.first;
static const u32* const k_delta_second = k_delta_tables.second;

static QB_FORCE_INLINE void store_pixel(u8* dst, u32 v) {
    memcpy(dst, &v, 4);
}

static QB_FORCE_INLINE void fill(u8* dst, u32 count, u32 v) {
    for (u32 i = 0; i < count; i++) store_pixel(dst + 4 * i, v);
}

// The size of the op starting with byte b.
static QB_FORCE_INLINE u32 op_size(u32 b) {
    if (b == QOI_OP_RGB) return 4;
    if (b == QOI_OP_RGBA) return 5;
    return (b & 0xC0) == QOI_OP_LUMA ? 2 : 1;
}

// Every op, an index hit and a run included, stores the pixel it yields at
// its hash: the pixel an index op fetched may sit in a slot other than its
// own (a zero-initialised one), and the first op may be a run of the
// starting pixel. The reference decoder does the same.
bool qoi_decode(const u8* data, u64 length, u8* scratch, u64 scratch_size, PixelBuffer* out, CodecError* err) {
    (void)scratch;
    (void)scratch_size;
    QoiHeader header;
    if (!qoi_read_header(data, length, &header, err)) return false;
    QB_ASSERT(out->width == header.width && out->height == header.height);
    u32 index[64];
    memset(index, 0, sizeof index);
    const u32 opaque = header.channels == 3 ? 0xFF000000u : 0;
    const u8* p = data;
    u32 px = 0xFF000000u;
    u64 pos = QOI_HEADER_BYTES;
    u32 run = 0;  // pixels of a run op still owed, carried across a row end
    const u32 w = header.width;
    // Ops are read unchecked while the longest one fits.
    const u64 fast_end = length >= 5 ? length - 5 : 0;
    for (u32 y = 0; y < header.height; y++) {
        u8* row = out->pixels + (u64)y * out->stride;
        u32 x = 0;
        if (run) {
            x = run < w ? run : w;
            fill(row, x, px | opaque);
            run -= x;
        }
        while (x < w) {
            if (pos > fast_end) {
                if (pos >= length || pos + op_size(p[pos]) > length) return fail(err, ERR_TRUNCATED, length);
            }
            u32 b = p[pos];
            if (b - QOI_OP_DIFF < 0x80 && pos <= fast_end) {
                // DIFF and LUMA, the ops of most photo pixels, share one
                // branch-free path: a mispredicted choice between them cost
                // more than building both deltas from two small tables.
                u32 luma = b >> 7;
                u32 d = add_bytes(k_delta_first[b - QOI_OP_DIFF], k_delta_second[p[pos + 1]] & (0u - luma));
                px = add_bytes(px, d);
                pos += 1 + luma;
            } else if ((b & 0xC0) == QOI_OP_LUMA) {  // green's delta, red's and blue's relative to it
                u32 b2 = p[pos + 1];
                u32 dg = (b & 0x3F) - 32;
                px = add_bytes(px, pack_delta(dg - 8 + (b2 >> 4), dg, dg - 8 + (b2 & 0x0F)));
                pos += 2;
            } else if (b < 0x40) {  // INDEX
                // A slot holds a pixel of its own hash or its initial zero,
                // so storing the fetched pixel at its hash changes the index
                // only in the second case, and then only slot 0.
                px = index[b];
                pos += 1;
                if (px == 0) index[0] = 0;
                store_pixel(row + 4 * (u64)x, px | opaque);
                x++;
                continue;
            } else if (b < 0x80) {  // DIFF: three 2-bit deltas biased by 2
                px = add_bytes(px, pack_delta(((b >> 4) & 3) - 2, ((b >> 2) & 3) - 2, (b & 3) - 2));
                pos += 1;
            } else if (b < QOI_OP_RGB) {  // RUN
                pos += 1;
                index[qoi_hash(px)] = px;
                u32 n = (b & 0x3F) + 1;
                u32 k = n < w - x ? n : w - x;
                fill(row + 4 * (u64)x, k, px | opaque);
                x += k;
                run = n - k;
                continue;
            } else if (b == QOI_OP_RGB) {
                px = (px & 0xFF000000u) | (u32)p[pos + 1] | (u32)p[pos + 2] << 8 | (u32)p[pos + 3] << 16;
                pos += 4;
            } else {
                px = (u32)p[pos + 1] | (u32)p[pos + 2] << 8 | (u32)p[pos + 3] << 16 | (u32)p[pos + 4] << 24;
                pos += 5;
            }
            index[qoi_hash(px)] = px;
            store_pixel(row + 4 * (u64)x, px | opaque);
            x++;
        }
    }
    if (!need_bytes(length, pos + QOI_END_MARKER_BYTES, err)) return false;
    if (!match_at(data, length, pos, k_end_marker, QOI_END_MARKER_BYTES)) {
        u64 bad = pos;
        while (data[bad] == k_end_marker[bad - pos]) bad++;
        return fail(err, ERR_BAD_HEADER, bad);
    }
    error_clear(err);
    return true;
}
