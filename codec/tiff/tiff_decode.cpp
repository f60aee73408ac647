// The TIFF decoder as the probe and the decode job see it. Pixels are made
// for rectangles only: each block under a rectangle is taken from a small
// cache of decoded blocks in the scratch memory, or decoded into the slot
// used least recently. The cache holds at least the blocks one 256 x 256
// screen tile can touch, so neighbouring screen tiles share their blocks,
// and its size is fixed by the probe whatever the size of the image.
#include <string.h>

#include "codec/jpeg/jpeg.h"
#include "codec/tiff/tiff.h"

static constexpr u64 NO_BLOCK = ~(u64)0;

bool tiff_probe(const u8* data, u64 length, ImageInfo* info, JpegDecoder* jpeg_work, CodecError* err) {
    *info = ImageInfo{};
    TiffImage im;
    if (!tiff_read_image(data, length, &im, jpeg_work, err)) return false;
    info->decoder = DECODER_TIFF;
    info->format = FORMAT_TIFF;
    info->width = im.width;
    info->height = im.height;
    info->frame_count = 1;
    info->play_count = 0;
    info->preview_level = 0;
    info->scratch_bytes = im.total_bytes;
    info->pixel_bytes = 64;
    info->extra_bytes = 0;
    return true;
}

static u64* slot_tags(u8* scratch, const TiffImage* im) {
    return (u64*)(scratch + im->tags_offset);
}
static u64* slot_stamps(u8* scratch, const TiffImage* im) {
    return (u64*)(scratch + im->stamps_offset);
}

bool tiff_begin(const u8* data, u64 length, u8* scratch, u64 scratch_size, CodecError* err) {
    error_clear(err);
    if (scratch == nullptr || ((u64)scratch & 63) != 0 || scratch_size < sizeof(TiffImage)) {
        return fail(err, ERR_BAD_TARGET, 0);
    }
    TiffImage* im = (TiffImage*)scratch;
    if (!tiff_read_image(data, length, im, nullptr, err)) {
        im->magic = 0;
        return false;
    }
    // The JPEG decoder's part comes last; the record that sizes it is made
    // where that part starts.
    if (im->compression == TIFF_COMPRESSION_JPEG) {
        if (scratch_size < im->jpeg_offset + sizeof(JpegDecoder)) return fail(err, ERR_BAD_TARGET, 0);
        tiff_jpeg_sizes(im, (JpegDecoder*)(scratch + im->jpeg_offset), &im->jpeg_layout_bytes,
                        &im->jpeg_workspace_bytes);
        im->total_bytes = im->jpeg_offset + align64(im->jpeg_layout_bytes) + align64(im->jpeg_workspace_bytes);
    }
    if (im->total_bytes > scratch_size) {
        im->magic = 0;
        return fail(err, ERR_BAD_TARGET, 0);
    }
    u64* tags = slot_tags(scratch, im);
    u64* stamps = slot_stamps(scratch, im);
    for (u32 i = 0; i < im->slot_count; i++) {
        tags[i] = NO_BLOCK;
        stamps[i] = 0;
    }
    im->clock = 0;
    return true;
}

static bool block_cached(u8* scratch, const TiffImage* im, u64 index) {
    const u64* tags = slot_tags(scratch, im);
    for (u32 i = 0; i < im->slot_count; i++) {
        if (tags[i] == index) return true;
    }
    return false;
}

// The slot holding block `index`, decoded now when it is not cached.
static bool block_slot(const u8* data, u64 length, u8* scratch, TiffImage* im, u64 index, u8** out, CodecError* err) {
    u64* tags = slot_tags(scratch, im);
    u64* stamps = slot_stamps(scratch, im);
    u32 victim = 0;
    for (u32 i = 0; i < im->slot_count; i++) {
        if (tags[i] == index) {
            stamps[i] = ++im->clock;
            *out = scratch + im->slots_offset + i * im->slot_bytes;
            return true;
        }
        if (stamps[i] < stamps[victim]) victim = i;
    }
    u8* slot = scratch + im->slots_offset + victim * im->slot_bytes;
    tags[victim] = NO_BLOCK;
    stamps[victim] = 0;
    if (!tiff_decode_block(data, length, im, scratch, index, slot, row_stride(im->block_width), err)) return false;
    tags[victim] = index;
    stamps[victim] = ++im->clock;
    *out = slot;
    return true;
}

bool tiff_render(const u8* data, u64 length, u8* scratch, u32 x, u32 y, u32 w, u32 h, PixelBuffer* out,
                 CodecError* err) {
    error_clear(err);
    TiffImage* im = (TiffImage*)scratch;
    if (scratch == nullptr || im->magic != TIFF_MAGIC) return fail(err, ERR_BAD_TARGET, 0);
    if (w == 0 || h == 0 || x >= im->width || y >= im->height || w > im->width - x || h > im->height - y) {
        return fail(err, ERR_BAD_TARGET, 0);
    }
    u32 bw = im->block_width;
    u32 bh = im->block_height;
    u64 slot_stride = row_stride(bw);
    for (u32 by = y / bh; by <= (y + h - 1) / bh; by++) {
        for (u32 bx = x / bw; bx <= (x + w - 1) / bw; bx++) {
            u64 index = (u64)by * im->blocks_across + bx;
            u64 bx0 = (u64)bx * bw;
            u64 by0 = (u64)by * bh;
            u64 rows = im->tiled || im->height - by0 > bh ? bh : im->height - by0;
            // A block wholly inside the rectangle goes straight to the output,
            // past the cache: an aligned screen tile of a tiled file, or a
            // whole image. JPEG rows are written in steps of 8 pixels, which
            // must stay inside the output's width.
            u64 reach = im->compression == TIFF_COMPRESSION_JPEG ? align_up(bw, 8) : bw;
            if (bx0 >= x && bx0 + bw <= (u64)x + w && by0 >= y && by0 + rows <= (u64)y + h &&
                bx0 - x + reach <= out->width && !block_cached(scratch, im, index)) {
                u8* to = out->pixels + (by0 - y) * out->stride + (bx0 - x) * 4;
                if (!tiff_decode_block(data, length, im, scratch, index, to, out->stride, err)) return false;
                continue;
            }
            u8* slot;
            if (!block_slot(data, length, scratch, im, index, &slot, err)) return false;
            // The part of the rectangle this block covers.
            u64 x0 = (u64)bx * bw > x ? (u64)bx * bw : x;
            u64 y0 = (u64)by * bh > y ? (u64)by * bh : y;
            u64 x1 = (u64)(bx + 1) * bw < (u64)x + w ? (u64)(bx + 1) * bw : (u64)x + w;
            u64 y1 = (u64)(by + 1) * bh < (u64)y + h ? (u64)(by + 1) * bh : (u64)y + h;
            for (u64 row = y0; row < y1; row++) {
                const u8* from = slot + (row - (u64)by * bh) * slot_stride + (x0 - (u64)bx * bw) * 4;
                memcpy(out->pixels + (row - y) * out->stride + (x0 - x) * 4, from, (x1 - x0) * 4);
            }
        }
    }
    return true;
}
