// The GIF block structure: the header and logical screen, the chain of
// extensions, image descriptors and the trailer, and the sub-block chains
// that carry extension and image data. The header reader walks the whole
// file once, counting each frame's compressed payload without copying it,
// so the job can size one workspace for every frame before decoding any.
#include "codec/gif/gif.h"

#include <string.h>

// ---- Sub-block chains ---------------------------------------------------------

// Walks length-prefixed sub-blocks from `pos` up to the zero-length one.
// False when the chain runs past the data.
static bool walk_chain(const u8* data, u64 length, u64 pos, u64* end_out, u64* payload_out) {
    u64 payload = 0;
    while (pos < length) {
        u64 n = data[pos];
        pos += 1;
        if (n == 0) {
            *end_out = pos;
            *payload_out = payload;
            return true;
        }
        if (length - pos < n) return false;
        pos += n;
        payload += n;
    }
    return false;
}

// ---- Block scanner ------------------------------------------------------------------

void gif_scanner_init(GifScanner* scanner, u64 pos) {
    scanner->pos = pos;
    scanner->delay = 0;
    scanner->disposal = 0;
    scanner->transparent = GIF_NO_TRANSPARENT;
    scanner->loop_count = 0;
    scanner->loop_present = 0;
}

static const u8 k_netscape[11] = {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'};
static const u8 k_animexts[11] = {'A', 'N', 'I', 'M', 'E', 'X', 'T', 'S', '1', '.', '0'};

// The extension at s->pos: graphic control values are taken, a loop block is
// recognised, and every extension is skipped by its sub-block chain.
static bool read_extension(const u8* data, u64 length, GifScanner* s, CodecError* err) {
    u64 pos = s->pos;
    if (length - pos < 2) return fail(err, ERR_TRUNCATED, length);
    u32 label = data[pos + 1];
    if (label == 0xF9) {
        if (length - pos < 8) return fail(err, ERR_TRUNCATED, length);
        if (data[pos + 2] != 4) return fail(err, ERR_BAD_HEADER, pos + 2);
        u32 p = data[pos + 3];
        s->disposal = (p >> 2) & 7;
        s->delay = load_le16(data, length, pos + 4);
        s->transparent = (p & 1) ? (i32)data[pos + 6] : (i32)GIF_NO_TRANSPARENT;
    }
    u64 end, payload;
    if (!walk_chain(data, length, pos + 2, &end, &payload)) return fail(err, ERR_TRUNCATED, length);
    if (label == 0xFF && end >= pos + 19 && data[pos + 2] == 11 &&
        (match_at(data, length, pos + 3, k_netscape, 11) || match_at(data, length, pos + 3, k_animexts, 11)) &&
        data[pos + 14] == 3 && data[pos + 15] == 1) {
        s->loop_count = load_le16(data, length, pos + 16);
        s->loop_present = 1;
    }
    s->pos = end;
    return true;
}

static bool read_descriptor(const u8* data, u64 length, GifScanner* s, GifFrame* f, CodecError* err) {
    u64 start = s->pos;
    if (length - start < 10) return fail(err, ERR_TRUNCATED, length);
    f->start = start;
    f->x = load_le16(data, length, start + 1);
    f->y = load_le16(data, length, start + 3);
    f->w = load_le16(data, length, start + 5);
    f->h = load_le16(data, length, start + 7);
    if (f->w == 0) return fail(err, ERR_BAD_HEADER, start + 5);
    if (f->h == 0) return fail(err, ERR_BAD_HEADER, start + 7);
    u32 packed = data[start + 9];
    f->interlaced = (packed >> 6) & 1;
    f->lct_offset = start + 10;
    f->lct_entries = (packed & 0x80) ? 2u << (packed & 7) : 0;
    f->code_size_pos = f->lct_offset + 3 * (u64)f->lct_entries;
    if (f->code_size_pos >= length) return fail(err, ERR_TRUNCATED, length);
    u32 code_size = data[f->code_size_pos];
    if (code_size < 2 || code_size > 8) return fail(err, ERR_BAD_HEADER, f->code_size_pos);
    if (!walk_chain(data, length, f->code_size_pos + 1, &f->data_end, &f->data_bytes)) {
        return fail(err, ERR_TRUNCATED, length);
    }
    // data_bytes is below 2^40 (the file is in memory), so the product fits.
    if ((u64)f->w * f->h > f->data_bytes * GIF_PIXELS_PER_DATA_BYTE) return fail(err, ERR_TRUNCATED, f->data_end - 1);
    f->delay = s->delay;
    f->disposal = s->disposal;
    f->transparent = s->transparent;
    s->delay = 0;
    s->disposal = 0;
    s->transparent = GIF_NO_TRANSPARENT;
    s->pos = f->data_end;
    return true;
}

u32 gif_next_frame(const u8* data, u64 length, GifScanner* scanner, GifFrame* frame, CodecError* err) {
    error_clear(err);
    while (scanner->pos < length) {
        switch (data[scanner->pos]) {
        case 0x3B: return GIF_SCAN_TRAILER;
        case 0x2C: return read_descriptor(data, length, scanner, frame, err) ? GIF_SCAN_FRAME : GIF_SCAN_ERROR;
        case 0x21:
            if (!read_extension(data, length, scanner, err)) return GIF_SCAN_ERROR;
            break;
        default: fail(err, ERR_BAD_HEADER, scanner->pos); return GIF_SCAN_ERROR;
        }
    }
    fail(err, ERR_TRUNCATED, length);
    return GIF_SCAN_ERROR;
}

// ---- Header -----------------------------------------------------------------------

u64 gif_workspace_bytes(u64 max_restore_pixels, u64 max_frame_pixels, u64 max_data_bytes) {
    return GIF_STATE_BYTES + align64(4 * max_restore_pixels) + align64(max_frame_pixels) + align64(max_data_bytes) +
           GIF_SLACK_BYTES;
}

static u64 clipped(u32 size, u32 pos, u32 extent) {
    u64 room = size > pos ? size - pos : 0;
    return extent < room ? extent : room;
}

bool gif_read_header(const u8* data, u64 length, ImageHeader* header, GifInfo* info, CodecError* err) {
    image_header_clear(header);
    memset(info, 0, sizeof *info);
    error_clear(err);
    static const u8 k_gif[3] = {'G', 'I', 'F'};
    if (!may_match(data, length, k_gif, 3)) return fail(err, ERR_BAD_SIGNATURE, 0);
    if (!need_bytes(length, 13, err)) return false;
    static const u8 k_87a[3] = {'8', '7', 'a'};
    static const u8 k_89a[3] = {'8', '9', 'a'};
    if (!match_at(data, length, 3, k_87a, 3) && !match_at(data, length, 3, k_89a, 3)) {
        return fail(err, ERR_BAD_HEADER, 3);
    }
    u32 width = load_le16(data, length, 6);
    u32 height = load_le16(data, length, 8);
    if (width == 0) return fail(err, ERR_BAD_HEADER, 6);
    if (height == 0) return fail(err, ERR_BAD_HEADER, 8);
    u32 packed = data[10];
    u32 gct_entries = (packed & 0x80) ? 2u << (packed & 7) : 0;
    u64 first_block = 13 + 3 * (u64)gct_entries;
    if (!need_bytes(length, first_block, err)) return false;

    GifInfo g = {};
    g.width = width;
    g.height = height;
    g.gct_offset = 13;
    g.gct_entries = gct_entries;
    g.first_block = first_block;
    bool transparent = false;
    GifScanner scanner;
    gif_scanner_init(&scanner, first_block);
    for (;;) {
        GifFrame f;
        u32 r = gif_next_frame(data, length, &scanner, &f, err);
        if (r == GIF_SCAN_ERROR) return false;
        if (r == GIF_SCAN_TRAILER) break;
        if (g.frame_count == GIF_MAX_FRAMES) return fail(err, ERR_TOO_LARGE, f.start);
        u64 pixels = (u64)f.w * f.h;
        if (pixels > GIF_MAX_FRAME_PIXELS) return fail(err, ERR_TOO_LARGE, f.start + 7);
        if (pixels > g.max_frame_pixels) g.max_frame_pixels = pixels;
        if (f.data_bytes > g.max_data_bytes) g.max_data_bytes = f.data_bytes;
        if (f.disposal == 3) {
            u64 area = clipped(width, f.x, f.w) * clipped(height, f.y, f.h);
            if (area > g.max_restore_pixels) g.max_restore_pixels = area;
        }
        bool covers = f.x == 0 && f.y == 0 && f.w >= width && f.h >= height;
        if (f.transparent != (i32)GIF_NO_TRANSPARENT || f.disposal == 2 ||
            (g.frame_count == 0 && (f.disposal == 3 || !covers))) {
            transparent = true;
        }
        g.frame_count++;
    }
    if (g.frame_count == 0) return fail(err, ERR_BAD_HEADER, scanner.pos);
    g.flags = (g.frame_count > 1 ? (u32)GIF_FLAG_ANIMATED : 0u) | (transparent ? (u32)GIF_FLAG_TRANSPARENT : 0u);
    g.loop_count = scanner.loop_count;
    g.loop_present = scanner.loop_present;
    g.workspace_bytes = gif_workspace_bytes(g.max_restore_pixels, g.max_frame_pixels, g.max_data_bytes);
    *info = g;
    header->width = width;
    header->height = height;
    header->frame_count = g.frame_count;
    header->flags = g.flags;
    header->pixel_format = Rgba8Straight;
    header->sample_bits = ((packed >> 4) & 7) + 1;
    return true;
}

bool gif_frame_info(const u8* data, u64 length, const GifInfo* info, u32 n, GifFrame* frame, CodecError* err) {
    error_clear(err);
    if (n >= info->frame_count) return fail(err, ERR_BAD_TARGET, 0);
    GifScanner scanner;
    gif_scanner_init(&scanner, info->first_block);
    for (u32 i = 0; i <= n; i++) {
        u32 r = gif_next_frame(data, length, &scanner, frame, err);
        if (r == GIF_SCAN_ERROR) return false;
        if (r == GIF_SCAN_TRAILER) return fail(err, ERR_BAD_HEADER, scanner.pos);
    }
    return true;
}

bool gif_probe(const u8* data, u64 length, ImageInfo* image, GifInfo* info_out, CodecError* err) {
    *image = ImageInfo{};
    ImageHeader header;
    GifInfo info;
    if (!gif_read_header(data, length, &header, &info, err)) return false;
    // Checked before any memory is asked for: a few bytes can claim a
    // screen of 4 billion pixels.
    if ((u64)info.width * info.height > GIF_MAX_SCREEN_PIXELS) return fail(err, ERR_TOO_LARGE, 8);
    image->decoder = DECODER_GIF;
    image->width = info.width;
    image->height = info.height;
    image->frame_count = info.frame_count;
    // A stored repeat count n plays n + 1 times; 0 repeats forever.
    image->play_count = !info.loop_present ? 1 : (info.loop_count == 0 ? 0 : info.loop_count + 1);
    image->preview_level = 0;
    image->scratch_bytes = info.workspace_bytes;
    image->pixel_bytes = row_stride(info.width) * info.height + 32;
    image->extra_bytes = 0;
    *info_out = info;
    return true;
}

// ---- Image data ---------------------------------------------------------------------

void gif_deblock(const u8* data, const GifFrame* frame, u8* out) {
    u64 pos = frame->code_size_pos + 1;
    for (;;) {
        u64 n = data[pos];
        if (n == 0) return;
        memcpy(out, data + pos + 1, n);
        out += n;
        pos += 1 + n;
    }
}

u64 gif_code_offset(const u8* data, u64 length, const GifFrame* frame, u64 consumed) {
    u64 pos = frame->code_size_pos + 1;
    while (pos < length) {
        u64 n = data[pos];
        if (n == 0) return pos;
        if (consumed < n) return pos + 1 + consumed;
        consumed -= n;
        pos += 1 + n;
    }
    return length;
}
