// The TIFF decoder as the probe and the decode job see it. Pixels are made
// for rectangles only: each block under a rectangle is taken from a small
// cache of decoded blocks in the scratch memory, or decoded into the slot
// used least recently; a block wholly inside the rectangle goes straight to
// it. The cache holds at least the blocks one 256 x 256 screen tile can
// touch, so neighbouring screen tiles share their blocks, and its size is
// fixed by the probe whatever the size of the image. Coarser levels come
// from the reduced-resolution images the file carries, where it has them.
#include <string.h>

#include "codec/jpeg/jpeg.h"
#include "codec/pnm/expand.h"
#include "codec/tiff/tiff.h"

static constexpr u64 NO_BLOCK = ~(u64)0;

bool tiff_probe(const u8* data, u64 length, ImageInfo* info, JpegDecoder* jpeg_work, CodecError* err) {
    *info = ImageInfo{};
    TiffDocument doc;
    if (!tiff_read_document(data, length, &doc, jpeg_work, err)) return false;
    info->decoder = DECODER_TIFF;
    info->format = FORMAT_TIFF;
    info->width = doc.images[0].width;
    info->height = doc.images[0].height;
    info->frame_count = 1;
    info->play_count = 0;
    info->preview_level = doc.top_level;
    info->scratch_bytes = doc.total_bytes;
    info->pixel_bytes = 64;
    info->extra_bytes = 0;
    return true;
}

static u64* slot_tags(u8* scratch, const TiffDocument* doc) {
    return (u64*)(scratch + doc->tags_offset);
}
static u64* slot_stamps(u8* scratch, const TiffDocument* doc) {
    return (u64*)(scratch + doc->stamps_offset);
}

bool tiff_begin(const u8* data, u64 length, u8* scratch, u64 scratch_size, CodecError* err) {
    error_clear(err);
    if (scratch == nullptr || ((u64)scratch & 63) != 0 || scratch_size < sizeof(TiffDocument)) {
        return fail(err, ERR_BAD_TARGET, 0);
    }
    TiffDocument* doc = (TiffDocument*)scratch;
    if (!tiff_read_document(data, length, doc, nullptr, err)) return false;
    doc->magic = 0;
    // The JPEG decoder's part comes last; the record that sizes it is made
    // where that part starts.
    for (u32 i = 0; i < doc->image_count; i++) {
        const TiffImage* im = &doc->images[i];
        if (im->compression != TIFF_COMPRESSION_JPEG) continue;
        if (scratch_size < doc->jpeg_offset + sizeof(JpegDecoder)) return fail(err, ERR_BAD_TARGET, 0);
        u64 layout, workspace;
        tiff_jpeg_sizes(im, (JpegDecoder*)(scratch + doc->jpeg_offset), &layout, &workspace);
        if (layout > doc->jpeg_layout_bytes) doc->jpeg_layout_bytes = layout;
        if (workspace > doc->jpeg_workspace_bytes) doc->jpeg_workspace_bytes = workspace;
    }
    doc->total_bytes = doc->jpeg_offset + align64(doc->jpeg_layout_bytes) + align64(doc->jpeg_workspace_bytes);
    tiff_share_layout(doc);
    if (doc->total_bytes > scratch_size) return fail(err, ERR_BAD_TARGET, 0);
    u64* tags = slot_tags(scratch, doc);
    u64* stamps = slot_stamps(scratch, doc);
    for (u32 i = 0; i < doc->slot_count; i++) {
        tags[i] = NO_BLOCK;
        stamps[i] = 0;
    }
    doc->clock = 0;
    doc->jpeg_tables = 0;
    doc->magic = TIFF_MAGIC;
    return true;
}

static bool block_cached(u8* scratch, const TiffDocument* doc, u64 tag) {
    const u64* tags = slot_tags(scratch, doc);
    for (u32 i = 0; i < doc->slot_count; i++) {
        if (tags[i] == tag) return true;
    }
    return false;
}

// The slot holding a block, decoded now when it is not cached.
static bool block_slot(const u8* data, u64 length, u8* scratch, TiffDocument* doc, u32 image, u64 index, u8** out,
                       CodecError* err) {
    u64 tag = (u64)image << 56 | index;
    u64* tags = slot_tags(scratch, doc);
    u64* stamps = slot_stamps(scratch, doc);
    u32 victim = 0;
    for (u32 i = 0; i < doc->slot_count; i++) {
        if (tags[i] == tag) {
            stamps[i] = ++doc->clock;
            *out = scratch + doc->slots_offset + i * doc->slot_bytes;
            return true;
        }
        if (stamps[i] < stamps[victim]) victim = i;
    }
    u8* slot = scratch + doc->slots_offset + victim * doc->slot_bytes;
    tags[victim] = NO_BLOCK;
    stamps[victim] = 0;
    const TiffImage* im = &doc->images[image];
    if (!tiff_decode_block(data, length, im, scratch, index, slot, row_stride(im->block_width), err)) return false;
    tags[victim] = tag;
    stamps[victim] = ++doc->clock;
    *out = slot;
    return true;
}

// A rectangle inside one image, from its blocks.
static bool render_image(const u8* data, u64 length, u8* scratch, TiffDocument* doc, u32 image, u32 x, u32 y, u32 w,
                         u32 h, PixelBuffer* out, CodecError* err) {
    const TiffImage* im = &doc->images[image];
    u32 bw = im->block_width;
    u32 bh = im->block_height;
    u64 slot_stride = row_stride(bw);
    for (u32 by = y / bh; by <= (y + h - 1) / bh; by++) {
        for (u32 bx = x / bw; bx <= (x + w - 1) / bw; bx++) {
            u64 index = (u64)by * im->blocks_across + bx;
            u64 bx0 = (u64)bx * bw;
            u64 by0 = (u64)by * bh;
            // A block wholly inside the rectangle goes straight to the output,
            // past the cache: an aligned screen tile of a tiled file, or a
            // whole image. A JPEG block writes all its rows, in steps of 8
            // pixels that must stay inside the output's width; any other
            // block writes only its part inside the image, so a tile at the
            // image's edge qualifies too.
            u32 cols, rows;
            tiff_block_extent(im, index, &cols, &rows);
            u64 reach = cols;
            if (im->compression == TIFF_COMPRESSION_JPEG) {
                cols = bw;
                reach = align_up(bw, 8);
                if (im->tiled) rows = bh;
            }
            if (bx0 >= x && bx0 + cols <= (u64)x + w && by0 >= y && by0 + rows <= (u64)y + h &&
                bx0 - x + reach <= out->width && !block_cached(scratch, doc, (u64)image << 56 | index)) {
                u8* to = out->pixels + (by0 - y) * out->stride + (bx0 - x) * 4;
                if (!tiff_decode_block(data, length, im, scratch, index, to, out->stride, err)) return false;
                continue;
            }
            u8* slot;
            if (!block_slot(data, length, scratch, doc, image, index, &slot, err)) return false;
            // The part of the rectangle this block covers.
            u64 x0 = bx0 > x ? bx0 : x;
            u64 y0 = by0 > y ? by0 : y;
            u64 x1 = bx0 + bw < (u64)x + w ? bx0 + bw : (u64)x + w;
            u64 y1 = by0 + bh < (u64)y + h ? by0 + bh : (u64)y + h;
            for (u64 row = y0; row < y1; row++) {
                const u8* from = slot + (row - by0) * slot_stride + (x0 - bx0) * 4;
                memcpy(out->pixels + (row - y) * out->stride + (x0 - x) * 4, from, (x1 - x0) * 4);
            }
        }
    }
    return true;
}

bool tiff_render(const u8* data, u64 length, u8* scratch, u32 level, u32 x, u32 y, u32 w, u32 h, PixelBuffer* out,
                 CodecError* err) {
    expand_kernels_ensure();
    error_clear(err);
    TiffDocument* doc = (TiffDocument*)scratch;
    if (scratch == nullptr || doc->magic != TIFF_MAGIC || level >= TIFF_MAX_LEVELS || doc->level_image[level] < 0) {
        return fail(err, ERR_BAD_TARGET, 0);
    }
    u64 lw = ceil_shift(doc->images[0].width, level);
    u64 lh = ceil_shift(doc->images[0].height, level);
    if (w == 0 || h == 0 || x >= lw || y >= lh || w > lw - x || h > lh - y || w > out->width) {
        return fail(err, ERR_BAD_TARGET, 0);
    }
    u32 image = (u32)doc->level_image[level];
    const TiffImage* im = &doc->images[image];
    // A reduced image may be a pixel smaller than its level (sizes rounded
    // down): its last column and row then stand for the missing ones.
    u32 sx = x < im->width ? x : im->width - 1;
    u32 sy = y < im->height ? y : im->height - 1;
    u32 ex = (u64)x + w < im->width ? x + w : im->width;
    u32 ey = (u64)y + h < im->height ? y + h : im->height;
    if (ex <= sx) ex = sx + 1;
    if (ey <= sy) ey = sy + 1;
    if (!render_image(data, length, scratch, doc, image, sx, sy, ex - sx, ey - sy, out, err)) return false;
    u32 done_w = ex - sx;
    u32 done_h = ey - sy;
    for (u32 row = 0; row < done_h && done_w < w; row++) {
        u32* line = (u32*)(out->pixels + (u64)row * out->stride);
        for (u32 i = done_w; i < w; i++) line[i] = line[done_w - 1];
    }
    for (u32 row = done_h; row < h; row++) {
        memcpy(out->pixels + (u64)row * out->stride, out->pixels + (u64)(done_h - 1) * out->stride, (u64)w * 4);
    }
    return true;
}
