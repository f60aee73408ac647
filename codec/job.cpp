// Decode jobs: the stages that turn a document's bytes into pixels, run only
// when something on screen needs them. The decoders fill the job's pixel
// buffer (or, for JPEG after its second stage and for WebP, produce tiles
// themselves); serving tiles from the buffer, with pixel replication for the
// finer levels of a preview and edge fill past the image, is common to all.
#include "codec/job.h"

#include <string.h>

#include "base/region.h"
#include "codec/jpeg/jpeg.h"
#include "codec/webp/webp.h"

static constexpr u32 TILE = 256;
static constexpr u64 TILE_STRIDE = 1024;

bool start_job(DecodeJob* job, ByteSpan source, const ImageInfo* info, u8* scratch, u64 scratch_size,
               u8* pixels, CodecError* err) {
    error_clear(err);
    *job = DecodeJob{};
    job->info = *info;
    job->source = source;
    job->scratch = scratch;
    job->scratch_size = scratch_size;
    job->pixels.pixels = pixels;
    job->pixels.stride = row_stride(info->width);
    job->pixels.width = info->width;
    job->pixels.height = info->height;
    job->extra = pixels + align64(info->pixel_bytes);
    job->requested_frame = 0;
    job->decoded_frame = -1;
    if (info->decoder == DECODER_WEBP) vp8l_reset(scratch, scratch_size);
    return true;
}

bool start_job(DecodeJob* job, ByteSpan source, const ImageInfo* info, const PngPlan* png_plan, u8* scratch,
               u64 scratch_size, u8* pixels, CodecError* err) {
    if (!start_job(job, source, info, scratch, scratch_size, pixels, err)) return false;
    if (info->decoder == DECODER_PNG && png_plan != nullptr) {
        job->png_plan = *png_plan;
        job->png_header_read = true;
    }
    return true;
}

// ---- Stages -----------------------------------------------------------------

// WebP: stages 0 and 1 of the first frame, from cleared scratch memory. They
// write no pixels; the nominal 1 x 1 target satisfies the decoder's checks.
static bool webp_decode_base(DecodeJob* job, CodecError* err) {
    // Freshly committed scratch is already zero.
    if (!prefault(job->scratch, job->scratch_size)) return fail(err, ERR_TOO_LARGE, 0);
    if (!job->scratch_zero) memset(job->scratch, 0, job->scratch_size);
    job->scratch_zero = false;
    WebpRequest one = {0, 0, 0, 1, 1};
    PixelBuffer nominal = {job->pixels.pixels, TILE_STRIDE, 1, 1};
    for (u32 stage = VP8L_STAGE_ENTROPY; stage <= VP8L_STAGE_TRANSFORMS; stage++) {
        if (!vp8l_decode_stage(job->source.data, job->source.size, &one, &nominal, job->scratch, job->scratch_size,
                               stage, 0, err)) {
            return false;
        }
    }
    return true;
}

// WebP tiles: stage 2 converts the rectangle from the decoded image, band
// after band of 64 rows.
static bool webp_tile(DecodeJob* job, u32 column, u32 row, u32 cw, u32 ch, PixelBuffer* tile, CodecError* err) {
    WebpRequest rect = {0, column * TILE, row * TILE, cw, ch};
    for (u32 band = 0; band < vp8l_band_count(ch); band++) {
        if (!vp8l_decode_stage(job->source.data, job->source.size, &rect, tile, job->scratch, job->scratch_size,
                               VP8L_STAGE_OUTPUT, band, err)) {
            return false;
        }
    }
    return true;
}

// PNG: the plan is the probe's, or read from the file once; a still image is
// decoded strip by strip into the RGBA display buffer, an animation frame by
// frame (from the start again when going backwards) into the native canvas
// after the workspace and then the display buffer.
static bool png_decode_to(DecodeJob* job, CodecError* err) {
    const u8* bytes = job->source.data;
    u64 length = job->source.size;
    if (!job->png_header_read) {
        ImageInfo info;
        if (!png_probe(bytes, length, &info, &job->png_plan, err)) return false;
        job->png_header_read = true;
    }
    const PngPlan* plan = &job->png_plan;
    PixelBuffer canvas = png_canvas_in_scratch(plan, job->scratch);
    u64 workspace_size = (u64)(canvas.pixels - job->scratch);
    u32 target = job->requested_frame;
    // The display buffer, and an animation's canvas, are written whole by
    // the first decode, usually into freshly committed memory.
    if (job->decoded_frame < 0) {
        if (!prefault(job->pixels.pixels, job->info.pixel_bytes) ||
            (plan->animated && !prefault(canvas.pixels, canvas.stride * canvas.height))) {
            return fail(err, ERR_TOO_LARGE, 0);
        }
    }
    if (!plan->animated) {
        if (target != 0) return fail(err, ERR_BAD_TARGET, 0);
        return png_decode_still_display(bytes, length, plan, job->scratch, workspace_size, &job->pixels, err);
    }
    if (target >= plan->frame_count) return fail(err, ERR_BAD_TARGET, 0);
    u32 first = job->decoded_frame < 0 || (u32)job->decoded_frame >= target ? 0 : (u32)job->decoded_frame + 1;
    if (png_decode_frames(bytes, length, plan, job->scratch, workspace_size, first, target, &canvas, &job->pixels,
                          err)) {
        return true;
    }
    // A failed frame may already have disposed of the one before it, and it
    // poisons the decoder: the canvas shows no frame, and the next request
    // starts again from frame 0.
    job->decoded_frame = -1;
    return false;
}

// GIF: the header is read again, then frames are composed in order from the
// one after the last composed frame (from frame 0 when going backwards) up
// to the requested one. `decoded_frame` follows every frame that succeeds,
// so after a failure it still names what the canvas shows.
static bool gif_decode_to(DecodeJob* job, CodecError* err) {
    const u8* bytes = job->source.data;
    u64 length = job->source.size;
    ImageHeader header;
    if (!gif_read_header(bytes, length, &header, &job->gif_info, err)) return false;
    u32 target = job->requested_frame;
    if (target >= job->gif_info.frame_count) return fail(err, ERR_BAD_TARGET, 0);
    if (job->decoded_frame > (i32)target) job->decoded_frame = -1;
    i32 done = job->decoded_frame;
    // A canvas still as freshly committed (all zero) is not cleared again: the
    // first frame touches only the rows it covers, and only those are
    // populated, so a small frame on a huge screen costs what it covers.
    bool canvas_zero = job->pixels_zero;
    if (canvas_zero) {
        GifFrame first;
        CodecError ignored;
        if (gif_frame_info(bytes, length, &job->gif_info, 0, &first, &ignored) && first.x < job->pixels.width &&
            first.y < job->pixels.height) {
            u64 rows = job->pixels.height - first.y < first.h ? job->pixels.height - first.y : first.h;
            if (!prefault(job->pixels.pixels + (u64)first.y * job->pixels.stride, rows * job->pixels.stride)) {
                return fail(err, ERR_TOO_LARGE, 0);
            }
        }
    }
    bool ok = gif_decode_frames(bytes, length, &job->gif_info, job->scratch, job->scratch_size, (u32)(done + 1),
                                target, &job->pixels, canvas_zero, &done, err);
    if (done >= 0) job->pixels_zero = false;
    job->decoded_frame = done;
    return ok;
}

bool decode_step(DecodeJob* job, CodecError* err) {
    error_clear(err);
    if (job->base_done && job->decoded_frame == (i32)job->requested_frame) return true;
    bool ok;
    switch (job->info.decoder) {
    case DECODER_PNG: ok = png_decode_to(job, err); break;
    case DECODER_JPEG:
        // The preview (one pixel per 8 x 8 block) from the DC coefficients;
        // the buffer takes the preview's size.
        ok = job->base_done || jpeg_decode_preview(job->source.data, job->source.size, job->scratch,
                                                   job->scratch_size, &job->pixels, job->info.pixel_bytes, err);
        break;
    case DECODER_GIF: ok = gif_decode_to(job, err); break;
    case DECODER_WEBP: ok = job->base_done || webp_decode_base(job, err); break;
    default: ok = fail(err, ERR_UNSUPPORTED, 0); break;
    }
    job->base_done = ok;
    if (ok) job->decoded_frame = (i32)job->requested_frame;
    return ok;
}

bool finish_full_resolution(DecodeJob* job, CodecError* err) {
    error_clear(err);
    if (job->info.decoder != DECODER_JPEG || job->info.extra_bytes == 0 || job->full_ready) return true;
    if (!job->base_done && !decode_step(job, err)) return false;
    if (!jpeg_finish_full_resolution(job->source.data, job->source.size, job->scratch, job->scratch_size, job->extra,
                                     job->info.extra_bytes, err)) {
        return false;
    }
    job->full_ready = true;
    return true;
}

// ---- Tiles ------------------------------------------------------------------

static bool servable(const DecodeJob* job, u32 level) {
    if (level >= 32) return false;
    if (job->full_ready && level != 0) return level == job->info.preview_level;
    return level <= job->info.preview_level;
}

// Copies the tile's valid part from the pixel buffer, each source pixel
// repeated 2^shift times across and each source row 2^shift times down.
static void copy_replicated(const PixelBuffer* src, u32 column, u32 row, u32 cw, u32 ch, u32 shift, u8* tile) {
    u32 x0 = column * TILE;
    u32 y0 = row * TILE;
    for (u32 i = 0; i < ch; i++) {
        const u32* line = (const u32*)(src->pixels + (u64)((y0 + i) >> shift) * src->stride);
        u32* out = (u32*)(tile + i * TILE_STRIDE);
        if (shift == 0) {
            const u32* from = line + x0;
            for (u32 j = 0; j < cw; j++) out[j] = from[j];
        } else {
            for (u32 j = 0; j < cw; j++) out[j] = line[(x0 + j) >> shift];
        }
    }
}

// Every row continues with its last valid pixel, and the rows below the
// valid part repeat the last valid row.
static void edge_fill(u8* tile, u32 cw, u32 ch) {
    for (u32 i = 0; i < ch; i++) {
        u32* out = (u32*)(tile + i * TILE_STRIDE);
        u32 last = out[cw - 1];
        for (u32 j = cw; j < TILE; j++) out[j] = last;
    }
    const u32* last_row = (const u32*)(tile + (ch - 1) * TILE_STRIDE);
    for (u32 i = ch; i < TILE; i++) {
        u32* out = (u32*)(tile + i * TILE_STRIDE);
        for (u32 j = 0; j < TILE; j++) out[j] = last_row[j];
    }
}

static void swap_red_blue(u8* tile) {
    for (u32 i = 0; i < TILE; i++) {
        u32* p = (u32*)(tile + i * TILE_STRIDE);
        for (u32 j = 0; j < TILE; j++) {
            u32 v = p[j];
            p[j] = (v & 0xFF00FF00u) | ((v & 0xFF) << 16) | ((v >> 16) & 0xFF);
        }
    }
}

bool render_tile(DecodeJob* job, u32 level, u32 column, u32 row, PixelBuffer* tile, CodecError* err) {
    error_clear(err);
    if (!servable(job, level)) return fail(err, ERR_BAD_TARGET, 0);
    u64 lw = ceil_shift(job->info.width, level);
    u64 lh = ceil_shift(job->info.height, level);
    u64 x0 = (u64)column * TILE;
    u64 y0 = (u64)row * TILE;
    if (x0 >= lw || y0 >= lh) return fail(err, ERR_BAD_TARGET, 0);
    if (!decode_step(job, err)) return false;
    u32 cw = (u32)(lw - x0 < TILE ? lw - x0 : TILE);
    u32 ch = (u32)(lh - y0 < TILE ? lh - y0 : TILE);
    u8* out = tile->pixels;
    if (job->info.decoder == DECODER_WEBP) {
        if (!webp_tile(job, column, row, cw, ch, tile, err)) return false;
    } else if (job->info.decoder == DECODER_JPEG && job->full_ready && level == 0) {
        if (!jpeg_render_full_tile(job->scratch, job->extra, column, row, tile, err)) return false;
    } else {
        copy_replicated(&job->pixels, column, row, cw, ch, job->info.preview_level - level, out);
    }
    edge_fill(out, cw, ch);
    if (job->swap_red_blue) swap_red_blue(out);
    return true;
}

// ---- Whole images and frame delays ------------------------------------------

u64 full_resolution_bytes(const DecodeJob* job) {
    if (job->info.decoder == DECODER_JPEG || job->info.decoder == DECODER_WEBP) {
        return row_stride(job->info.width) * job->info.height + 0x40020;
    }
    return 0;
}

bool full_resolution_pixels(DecodeJob* job, u8* memory, PixelBuffer* result, CodecError* err) {
    error_clear(err);
    if (job->info.decoder == DECODER_PNG || job->info.decoder == DECODER_GIF) {
        if (job->info.preview_level != 0) return fail(err, ERR_BAD_TARGET, 0);
        if (!decode_step(job, err)) return false;
        *result = job->pixels;
        return true;
    }
    bool webp = job->info.decoder == DECODER_WEBP;
    if (webp) {
        if (!decode_step(job, err)) return false;
    } else if (job->info.decoder != DECODER_JPEG || !job->full_ready) {
        return fail(err, ERR_BAD_TARGET, 0);
    }
    u32 w = job->info.width;
    u32 h = job->info.height;
    u64 stride = row_stride(w);
    if (!prefault(memory, stride * h)) return fail(err, ERR_TOO_LARGE, 0);
    PixelBuffer tile = {memory + stride * h + 32, TILE_STRIDE, TILE, TILE};
    for (u32 row = 0; (u64)row * TILE < h; row++) {
        for (u32 column = 0; (u64)column * TILE < w; column++) {
            u32 cw = w - column * TILE < TILE ? w - column * TILE : TILE;
            u32 ch = h - row * TILE < TILE ? h - row * TILE : TILE;
            bool ok = webp ? webp_tile(job, column, row, cw, ch, &tile, err)
                           : jpeg_render_full_tile(job->scratch, job->extra, column, row, &tile, err);
            if (!ok) return false;
            for (u32 i = 0; i < ch; i++) {
                const u8* from = tile.pixels + (u64)i * TILE_STRIDE;
                u8* to = memory + ((u64)row * TILE + i) * stride + (u64)column * TILE * 4;
                for (u64 b = 0; b < (u64)cw * 4; b++) to[b] = from[b];
            }
        }
    }
    *result = PixelBuffer{memory, stride, w, h};
    return true;
}

u32 delay_hundredths(u32 num, u32 den) {
    u64 d = den == 0 ? 100 : den;
    return (u32)((d + 200 * (u64)num) / (2 * d));
}

u32 frame_delay(DecodeJob* job, u32 frame) {
    if (frame >= job->info.frame_count) return 0;
    if (job->info.decoder == DECODER_PNG) {
        CodecError err;
        if (!job->png_header_read) {
            ImageInfo info;
            if (!png_probe(job->source.data, job->source.size, &info, &job->png_plan, &err)) return 0;
            job->png_header_read = true;
        }
        if (!job->png_plan.animated) return 0;
        FrameControl fc;
        if (!png_frame_control(job->source.data, job->source.size, &job->png_plan, frame, &fc, &err)) return 0;
        return delay_hundredths(fc.delay_num, fc.delay_den);
    }
    if (job->info.decoder == DECODER_GIF) {
        CodecError err;
        GifFrame f;
        if (job->gif_info.frame_count == 0) {
            ImageHeader header;
            if (!gif_read_header(job->source.data, job->source.size, &header, &job->gif_info, &err)) return 0;
        }
        if (!gif_frame_info(job->source.data, job->source.size, &job->gif_info, frame, &f, &err)) return 0;
        return f.delay;
    }
    return 0;
}
