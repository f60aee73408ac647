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
#include "codec/orientation.h"

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
    // The profile's memory sits between the pixel buffer and the extra
    // memory, so that it is committed at open with the buffer while the
    // extra memory waits for its stage.
    job->colour_memory = info->colour_bytes != 0 ? pixels + align64(info->pixel_bytes) : nullptr;
    job->extra = pixels + align64(info->pixel_bytes) + align64(info->colour_bytes);
    job->requested_frame = 0;
    job->decoded_frame = -1;
    // The probe reports the size as shown; the decoder works on the image as
    // stored.
    job->orientation = info->orientation >= 1 && info->orientation <= 8 ? info->orientation : 1;
    job->stored_width = orientation_swaps(job->orientation) ? info->height : info->width;
    job->stored_height = orientation_swaps(job->orientation) ? info->width : info->height;
    job->pixels.stride = row_stride(job->stored_width);
    job->pixels.width = job->stored_width;
    job->pixels.height = job->stored_height;
    const CodecEntry* entry = codec_entry(info->decoder);
    if (entry != nullptr && entry->start != nullptr) entry->start(job, work);
    return true;
}

u32 job_prepare_colour(DecodeJob* job) {
    job->colour = nullptr;
    if (job->info.colour != COLOUR_PENDING) return job->info.colour;
    const CodecEntry* entry = codec_entry(job->info.decoder);
    IccFind find = {};
    if (entry != nullptr && entry->profile != nullptr) entry->profile(job->source.data, job->source.size, &find);
    job->info.colour = icc_prepare(job->source.data, job->source.size, &find, job->colour_memory,
                                   job->info.colour_bytes, &job->colour);
    return job->info.colour;
}

// ---- Stages -----------------------------------------------------------------

static bool base_steps(DecodeJob* job, bool one, CodecError* err) {
    error_clear(err);
    if (job->base_done && job->decoded_frame == (i32)job->requested_frame) return true;
    const CodecEntry* entry = codec_entry(job->info.decoder);
    bool ok;
    do {
        ok = entry != nullptr ? entry->base(job, err) : fail(err, ERR_UNSUPPORTED, 0);
    } while (ok && job->base_more && !one);
    if (!ok) job->base_more = false;
    job->base_done = ok && !job->base_more;
    if (job->base_done) job->decoded_frame = (i32)job->requested_frame;
    return ok;
}

bool decode_step(DecodeJob* job, CodecError* err) {
    return base_steps(job, false, err);
}

bool decode_base_step(DecodeJob* job, CodecError* err) {
    return base_steps(job, job->step_base, err);
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

// ---- Orientation ------------------------------------------------------------------

// Stored tiles of a decoder that makes its own, kept for the oriented tiles
// that need them: a turned screen tile usually straddles two or four stored
// ones, and its neighbours share them.
struct OrientCache {
    u32 level[JOB_ORIENT_TILES];
    u32 column[JOB_ORIENT_TILES];
    u32 row[JOB_ORIENT_TILES];
    i32 frame[JOB_ORIENT_TILES];
    u64 used[JOB_ORIENT_TILES];  // the clock when last used; 0: empty
    u64 clock;
};
static_assert(sizeof(OrientCache) <= JOB_ORIENT_HEADER, "cache header");

u64 job_orient_bytes(u32 w, u32 h) {
    u64 across = ceil_div(w, TILE), down = ceil_div(h, TILE);
    u64 slots = 2 * (across > down ? across : down) + 4;
    if (slots > across * down) slots = across * down;
    if (slots > JOB_ORIENT_TILES) slots = JOB_ORIENT_TILES;
    return JOB_ORIENT_HEADER + slots * TILE * TILE_STRIDE;
}

static u32* orient_slot(u8* cache, u32 i) {
    return (u32*)(cache + JOB_ORIENT_HEADER + (u64)i * TILE * TILE_STRIDE);
}

// The stored tile (column, row) at `level` from the decoder, through the cache.
static const u32* stored_tile(DecodeJob* job, const CodecEntry* entry, u32 level, u32 column, u32 row,
                              CodecError* err) {
    OrientCache* c = (OrientCache*)job->orient_cache;
    u32 slots = (u32)((job->info.orient_bytes - JOB_ORIENT_HEADER) / (TILE * TILE_STRIDE));
    c->clock++;
    u32 i = 0;
    for (u32 k = 0; k < slots; k++) {
        if (c->used[k] != 0 && c->level[k] == level && c->column[k] == column && c->row[k] == row &&
            c->frame[k] == job->decoded_frame) {
            c->used[k] = c->clock;
            return orient_slot(job->orient_cache, k);
        }
        if (c->used[k] < c->used[i]) i = k;  // the least recently used, or an empty one
    }
    c->used[i] = 0;
    u64 sw = ceil_shift(job->stored_width, level);
    u64 sh = ceil_shift(job->stored_height, level);
    u32 cw = (u32)(sw - (u64)column * TILE < TILE ? sw - (u64)column * TILE : TILE);
    u32 ch = (u32)(sh - (u64)row * TILE < TILE ? sh - (u64)row * TILE : TILE);
    PixelBuffer buffer = {(u8*)orient_slot(job->orient_cache, i), TILE_STRIDE, TILE, TILE};
    if (!entry->tile(job, level, column, row, cw, ch, &buffer, err)) return nullptr;
    c->level[i] = level;
    c->column[i] = column;
    c->row[i] = row;
    c->frame[i] = job->decoded_frame;
    c->used[i] = c->clock;
    return (const u32*)buffer.pixels;
}

// The inverse of an orientation: 6 and 8 undo each other, the rest
// themselves.
static u32 orientation_inverse(u32 o) {
    return o == 6 ? 8 : o == 8 ? 6 : o;
}

// The valid cw x ch part of displayed tile (column, row) at `level` of a
// turned or mirrored image: each displayed pixel from the stored pixel it
// shows, taken from the pixel buffer or, where the decoder makes the
// tiles, from the stored tiles under it.
static bool oriented_tile(DecodeJob* job, const CodecEntry* entry, bool from_decoder, u32 level, u32 column, u32 row,
                          u32 cw, u32 ch, PixelBuffer* tile, CodecError* err) {
    u32 o = job->orientation;
    u64 sw = ceil_shift(job->stored_width, level);
    u64 sh = ceil_shift(job->stored_height, level);
    u64 dw = ceil_shift(job->info.width, level);
    u64 dh = ceil_shift(job->info.height, level);
    u64 x0 = (u64)column * TILE;
    u64 y0 = (u64)row * TILE;
    u32* out = (u32*)tile->pixels;
    // Along a displayed row the stored pixel moves by a fixed step.
    i64 dx, dy;
    orientation_step(o, &dx, &dy);
    if (!from_decoder) {
        u32 s = job->info.preview_level - level;
        const PixelBuffer* src = &job->pixels;
        for (u32 i = 0; i < ch; i++) {
            u32* line = out + (u64)i * (TILE_STRIDE / 4);
            u64 sx, sy;
            orientation_source(o, sw, sh, x0, y0 + i, &sx, &sy);
            if (dy == 0) {
                const u32* from = (const u32*)(src->pixels + (sy >> s) * src->stride);
                for (u32 j = 0; j < cw; j++, sx += dx) line[j] = from[sx >> s];
            } else {
                const u32* column = (const u32*)src->pixels + (sx >> s);
                for (u32 j = 0; j < cw; j++, sy += dy) {
                    line[j] = *(const u32*)((const u8*)column + (sy >> s) * src->stride);
                }
            }
        }
        return true;
    }
    if (job->orient_cache == nullptr || job->info.orient_bytes < JOB_ORIENT_HEADER + TILE * TILE_STRIDE) {
        return fail(err, ERR_BAD_TARGET, 0);
    }
    // The stored rectangle under the tile, from two opposite corners.
    u64 ax, ay, bx, by;
    orientation_source(o, sw, sh, x0, y0, &ax, &ay);
    orientation_source(o, sw, sh, x0 + cw - 1, y0 + ch - 1, &bx, &by);
    u64 sx0 = ax < bx ? ax : bx, sx1 = ax < bx ? bx : ax;
    u64 sy0 = ay < by ? ay : by, sy1 = ay < by ? by : ay;
    u32 inverse = orientation_inverse(o);
    for (u64 tr = sy0 / TILE; tr <= sy1 / TILE; tr++) {
        for (u64 tc = sx0 / TILE; tc <= sx1 / TILE; tc++) {
            const u32* src = stored_tile(job, entry, level, (u32)tc, (u32)tr, err);
            if (src == nullptr) return false;
            // The part of this stored tile inside the stored rectangle, and
            // where it shows in the displayed tile.
            u64 px0 = tc * TILE > sx0 ? tc * TILE : sx0, px1 = tc * TILE + TILE - 1 < sx1 ? tc * TILE + TILE - 1 : sx1;
            u64 py0 = tr * TILE > sy0 ? tr * TILE : sy0, py1 = tr * TILE + TILE - 1 < sy1 ? tr * TILE + TILE - 1 : sy1;
            u64 qx0, qy0, qx1, qy1;
            orientation_source(inverse, dw, dh, px0, py0, &qx0, &qy0);
            orientation_source(inverse, dw, dh, px1, py1, &qx1, &qy1);
            u64 lx = (qx0 < qx1 ? qx0 : qx1) - x0, hx = (qx0 < qx1 ? qx1 : qx0) - x0;
            u64 ly = (qy0 < qy1 ? qy0 : qy1) - y0, hy = (qy0 < qy1 ? qy1 : qy0) - y0;
            // In blocks of 16 x 16, so that a turn, which reads the stored
            // tile down its columns, uses each cache line it loads whole.
            i64 step = dx + dy * (i64)(TILE_STRIDE / 4);
            for (u64 bi = ly; bi <= hy; bi += 16) {
                u64 bi_end = bi + 15 < hy ? bi + 15 : hy;
                for (u64 bj = lx; bj <= hx; bj += 16) {
                    u64 bj_end = bj + 15 < hx ? bj + 15 : hx;
                    for (u64 i = bi; i <= bi_end; i++) {
                        u32* line = out + i * (TILE_STRIDE / 4);
                        u64 sx, sy;
                        orientation_source(o, sw, sh, x0 + bj, y0 + i, &sx, &sy);
                        const u32* from = src + (sy - tr * TILE) * (TILE_STRIDE / 4) + (sx - tc * TILE);
                        for (u64 j = bj; j <= bj_end; j++, from += step) line[j] = *from;
                    }
                }
            }
        }
    }
    return true;
}

void job_set_orientation(DecodeJob* job, u32 orientation) {
    if (orientation < 1 || orientation > 8) orientation = 1;
    job->orientation = orientation;
    job->info.width = orientation_swaps(orientation) ? job->stored_height : job->stored_width;
    job->info.height = orientation_swaps(orientation) ? job->stored_width : job->stored_height;
}

// The valid part of a displayed tile, as the job's decoder and orientation
// give it.
static bool stored_pixels_tile(DecodeJob* job, u32 level, u32 column, u32 row, u32 cw, u32 ch, PixelBuffer* tile,
                               CodecError* err) {
    const CodecEntry* entry = codec_entry(job->info.decoder);
    bool decoder_tiles = entry != nullptr && entry->tile != nullptr &&
                         (entry->tile_from_buffer == nullptr || !entry->tile_from_buffer(job, level));
    if (job->orientation != 1) return oriented_tile(job, entry, decoder_tiles, level, column, row, cw, ch, tile, err);
    if (decoder_tiles) return entry->tile(job, level, column, row, cw, ch, tile, err);
    job_copy_tile(job, level, column, row, cw, ch, tile);
    return true;
}

// ... and converted to sRGB when the file's profile asks for it.
static bool produce_tile(DecodeJob* job, u32 level, u32 column, u32 row, u32 cw, u32 ch, PixelBuffer* tile,
                         CodecError* err) {
    if (!stored_pixels_tile(job, level, column, row, cw, ch, tile, err)) return false;
    if (job->colour != nullptr) icc_convert_rect(job->colour, tile->pixels, TILE_STRIDE, cw, ch);
    return true;
}

// Whether the stored rows under a tile at `level` (every row, for a turned
// image) are final in a base decode still running in steps. A coarser tile
// waits for all of its rows rather than being built from finer tiles of
// which some are missing.
static bool rows_ready(const DecodeJob* job, u32 level, u64 y0, u32 ch) {
    if (job->orientation != 1) return false;
    u64 below = (y0 + ch) << level;
    if (below > job->stored_height) below = job->stored_height;
    return below <= job->base_rows;
}

bool render_tile(DecodeJob* job, u32 level, u32 column, u32 row, PixelBuffer* tile, CodecError* err) {
    error_clear(err);
    if (level >= 32) return fail(err, ERR_BAD_TARGET, 0);
    u64 lw = ceil_shift(job->info.width, level);
    u64 lh = ceil_shift(job->info.height, level);
    u64 x0 = (u64)column * TILE;
    u64 y0 = (u64)row * TILE;
    if (x0 >= lw || y0 >= lh) return fail(err, ERR_BAD_TARGET, 0);
    u32 cw = (u32)(lw - x0 < TILE ? lw - x0 : TILE);
    u32 ch = (u32)(lh - y0 < TILE ? lh - y0 : TILE);
    bool stepping = job->step_base && !job->base_done;
    if (stepping && !rows_ready(job, level, y0, ch)) return fail(err, ERR_PENDING, 0);
    if (!servable(job, level)) return fail(err, ERR_BAD_TARGET, 0);
    if (!stepping && !decode_step(job, err)) return false;
    u8* out = tile->pixels;
    if (!produce_tile(job, level, column, row, cw, ch, tile, err)) return false;
    edge_fill(out, cw, ch);
    if (job->swap_red_blue) swap_red_blue(out);
    return true;
}

// ---- Whole images and frame delays ------------------------------------------

u64 full_resolution_bytes(const DecodeJob* job) {
    const CodecEntry* entry = codec_entry(job->info.decoder);
    if (entry != nullptr && (entry->whole_ready != nullptr || job->orientation != 1 || job->colour != nullptr)) {
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
        if (job->orientation == 1 && job->colour == nullptr) {
            *result = job->pixels;
            return true;
        }
    } else if (!entry->whole_ready(job, err)) {
        return false;
    }
    // Assembled from the level-0 tiles as shown (turned, converted).
    u32 w = job->info.width;
    u32 h = job->info.height;
    u64 stride = row_stride(w);
    if (!prefault(memory, stride * h)) return fail(err, ERR_TOO_LARGE, 0);
    PixelBuffer tile = {memory + stride * h + 32, TILE_STRIDE, TILE, TILE};
    for (u32 row = 0; (u64)row * TILE < h; row++) {
        for (u32 column = 0; (u64)column * TILE < w; column++) {
            u32 cw = w - column * TILE < TILE ? w - column * TILE : TILE;
            u32 ch = h - row * TILE < TILE ? h - row * TILE : TILE;
            if (!produce_tile(job, 0, column, row, cw, ch, &tile, err)) return false;
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
