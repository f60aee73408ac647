// Decode jobs: the stages that turn a document's bytes into pixels, run only
// when something on screen needs them. Each stage looks its decoder up in the
// codec table. The decoders fill the job's pixel buffer (or, for JPEG after
// its second stage and for WebP, produce tiles themselves); serving tiles
// from the buffer, with pixel replication for the finer levels of a preview
// and edge fill past the image, is common to all.
#include "codec/job.h"

#include <string.h>

#include "base/region.h"
#include "codec/codecs.h"

static constexpr u32 TILE = 256;
static constexpr u64 TILE_STRIDE = 1024;

bool start_job(DecodeJob* job, ByteSpan source, const ImageInfo* info, u8* scratch, u64 scratch_size,
               u8* pixels, CodecError* err) {
    return start_job(job, source, info, nullptr, scratch, scratch_size, pixels, err);
}

bool start_job(DecodeJob* job, ByteSpan source, const ImageInfo* info, const ProbeWork* work, u8* scratch,
               u64 scratch_size, u8* pixels, CodecError* err) {
    error_clear(err);
    *job = DecodeJob{};
    job->info = *info;
    // A container's image may be another codec's stream inside the file.
    job->source = source;
    if (info->source_size != 0 && info->source_offset <= source.size &&
        info->source_size <= source.size - info->source_offset) {
        job->source = ByteSpan{source.data + info->source_offset, info->source_size};
    }
    job->scratch = scratch;
    job->scratch_size = scratch_size;
    job->pixels.pixels = pixels;
    job->pixels.stride = row_stride(info->width);
    job->pixels.width = info->width;
    job->pixels.height = info->height;
    job->extra = pixels + align64(info->pixel_bytes);
    job->requested_frame = 0;
    job->decoded_frame = -1;
    const CodecEntry* entry = codec_entry(info->decoder);
    if (entry != nullptr && entry->start != nullptr) entry->start(job, work);
    return true;
}

// ---- Stages -----------------------------------------------------------------

bool decode_step(DecodeJob* job, CodecError* err) {
    error_clear(err);
    if (job->base_done && job->decoded_frame == (i32)job->requested_frame) return true;
    const CodecEntry* entry = codec_entry(job->info.decoder);
    bool ok = entry != nullptr ? entry->base(job, err) : fail(err, ERR_UNSUPPORTED, 0);
    job->base_done = ok;
    if (ok) job->decoded_frame = (i32)job->requested_frame;
    return ok;
}

bool finish_full_resolution(DecodeJob* job, CodecError* err) {
    error_clear(err);
    const CodecEntry* entry = codec_entry(job->info.decoder);
    if (entry == nullptr || entry->second_stage == nullptr || job->info.extra_bytes == 0 || job->full_ready) {
        return true;
    }
    if (!job->base_done && !decode_step(job, err)) return false;
    if (!entry->second_stage(job, err)) return false;
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

void job_copy_tile(const DecodeJob* job, u32 level, u32 column, u32 row, u32 cw, u32 ch, PixelBuffer* tile) {
    copy_replicated(&job->pixels, column, row, cw, ch, job->info.preview_level - level, tile->pixels);
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
    const CodecEntry* entry = codec_entry(job->info.decoder);
    if (entry != nullptr && entry->tile != nullptr) {
        if (!entry->tile(job, level, column, row, cw, ch, tile, err)) return false;
    } else {
        job_copy_tile(job, level, column, row, cw, ch, tile);
    }
    edge_fill(out, cw, ch);
    if (job->swap_red_blue) swap_red_blue(out);
    return true;
}

// ---- Whole images and frame delays ------------------------------------------

u64 full_resolution_bytes(const DecodeJob* job) {
    const CodecEntry* entry = codec_entry(job->info.decoder);
    if (entry != nullptr && entry->whole_ready != nullptr) {
        return row_stride(job->info.width) * job->info.height + 0x40020;
    }
    return 0;
}

bool full_resolution_pixels(DecodeJob* job, u8* memory, PixelBuffer* result, CodecError* err) {
    error_clear(err);
    const CodecEntry* entry = codec_entry(job->info.decoder);
    if (entry == nullptr) return fail(err, ERR_BAD_TARGET, 0);
    if (entry->whole_ready == nullptr) {
        if (job->info.preview_level != 0) return fail(err, ERR_BAD_TARGET, 0);
        if (!decode_step(job, err)) return false;
        *result = job->pixels;
        return true;
    }
    if (!entry->whole_ready(job, err)) return false;
    u32 w = job->info.width;
    u32 h = job->info.height;
    u64 stride = row_stride(w);
    if (!prefault(memory, stride * h)) return fail(err, ERR_TOO_LARGE, 0);
    PixelBuffer tile = {memory + stride * h + 32, TILE_STRIDE, TILE, TILE};
    for (u32 row = 0; (u64)row * TILE < h; row++) {
        for (u32 column = 0; (u64)column * TILE < w; column++) {
            u32 cw = w - column * TILE < TILE ? w - column * TILE : TILE;
            u32 ch = h - row * TILE < TILE ? h - row * TILE : TILE;
            if (!entry->tile(job, 0, column, row, cw, ch, &tile, err)) return false;
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
    const CodecEntry* entry = codec_entry(job->info.decoder);
    if (entry == nullptr || entry->frame_delay == nullptr) return 0;
    return entry->frame_delay(job, frame);
}
