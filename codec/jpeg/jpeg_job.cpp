// The JPEG decoder as the probe and the decode job see it: the header probe
// that sizes every buffer, the base decode that checks every scan and makes
// the preview from the DC terms, the second stage that stores every
// coefficient and readies the tile workspace, and one full-resolution tile.
// The decoder record lives at the start of the job's scratch memory, tagged
// with a magic number and the last stage reached, so a stage called out of
// order is refused as "bad_target" instead of reading stale memory.
#include "codec/jpeg/jpeg.h"

#include <string.h>

#include "base/region.h"

static bool fail_jpeg(CodecError* err, const JpegStatus& st) {
    *err = codec_error_from_jpeg(st);
    return false;
}

// Parses the headers up to the first scan (or the end of the image).
static bool parse_headers(const u8* data, u64 length, JpegDecoder* d, JpegStatus* st) {
    reset_headers(d);
    u64 pos = 0;
    if (!check_soi(data, length, &pos, st)) return false;
    JpegScan scan;
    u32 r = next_segment(data, length, d, &pos, &scan, st, false);
    if (r == JPEG_SEGMENT_FAILED) return false;
    if (!d->frame_seen) return jpeg_fail(st, JPEG_BAD_HEADER, pos - 1);
    return true;
}

// The quick read with the probe's rejections, into `d`.
static bool read_frame(const u8* data, u64 length, JpegDecoder* d, CodecError* err) {
    JpegQuickHeader quick;
    JpegStatus st;
    if (!read_quick_header(data, length, d, &quick, &st)) return fail_jpeg(err, st);
    if (quick.precision != 8) return fail(err, ERR_UNSUPPORTED, 0);
    return true;
}

bool jpeg_probe(const u8* data, u64 length, ImageInfo* info, JpegDecoder* state, CodecError* err) {
    *info = ImageInfo{};
    error_clear(err);
    if (!read_frame(data, length, state, err)) return false;
    JpegStatus st;
    if (!parse_headers(data, length, state, &st)) return fail_jpeg(err, st);
    JpegLayout layout;
    if (!jpeg_working_layout(state, &layout)) return fail(err, ERR_BAD_HEADER, 0);
    u32 pw = state->comp[0].preview_width;
    u32 ph = state->comp[0].preview_height;
    info->decoder = DECODER_JPEG;
    info->width = state->width;
    info->height = state->height;
    info->frame_count = 1;
    info->play_count = 0;
    info->preview_level = 3;
    info->scratch_bytes = layout.total;
    info->pixel_bytes = row_stride(pw) * ph + 32;
    info->extra_bytes = jpeg_tile_workspace_size(state);
    state->stage = JPEG_STAGE_HEADERS;
    return true;
}

static bool scratch_planes(u8* scratch, u64 scratch_size, JpegPlanes* planes, JpegRestartIndex* index,
                           CodecError* err) {
    const JpegDecoder* d = (const JpegDecoder*)scratch;
    JpegLayout layout;
    if (!jpeg_working_layout(d, &layout)) return fail(err, ERR_BAD_TARGET, 0);
    if (layout.total > scratch_size) return fail(err, ERR_BAD_TARGET, d->frame_offset);
    jpeg_planes_from_layout(scratch, &layout, planes, index);
    return true;
}

bool jpeg_decode_preview(const u8* data, u64 length, u8* scratch, u64 scratch_size, PixelBuffer* pixels,
                         u64 pixel_capacity, CodecError* err) {
    error_clear(err);
    if (!scratch || ((u64)scratch & 63) || scratch_size < JPEG_FIXED_BYTES) return fail(err, ERR_BAD_TARGET, 0);
    JpegDecoder* d = (JpegDecoder*)scratch;
    u64 backed[JPEG_MAX_COMPONENTS][2] = {};
    if (d->magic == JPEG_MAGIC) memcpy(backed, d->backed, sizeof backed);
    if (!read_frame(data, length, d, err)) return false;
    memcpy(d->backed, backed, sizeof backed);
    d->stage = JPEG_STAGE_NONE;
    JpegPlanes planes;
    JpegRestartIndex index;
    if (!scratch_planes(scratch, scratch_size, &planes, &index, err)) return false;
    // Every DC term and every preview pixel is written once, into memory
    // that is usually freshly committed: back it now rather than a fault at
    // a time.
    for (u32 c = 0; c < d->components; c++) {
        if (!prefault(planes.plane[c].dc, planes.plane[c].dc_count * 2)) return fail(err, ERR_TOO_LARGE, 0);
    }
    if (pixels->pixels != nullptr) {
        u64 preview_bytes = row_stride(d->comp[0].preview_width) * d->comp[0].preview_height;
        if (!prefault(pixels->pixels, preview_bytes < pixel_capacity ? preview_bytes : pixel_capacity)) {
            return fail(err, ERR_TOO_LARGE, 0);
        }
    }
    JpegStatus st;
    if (!decode_scans(data, length, d, &planes, &index, true, &st)) return fail_jpeg(err, st);
    if (!make_preview(d, &planes, pixels, pixel_capacity, &st)) return fail_jpeg(err, st);
    d->stage = JPEG_STAGE_PREVIEW;
    return true;
}

// How the second stage stores the coefficients (test hook).
static u32 g_store = JPEG_STORE_AUTO;

void jpeg_force_store(u32 mode) {
    g_store = mode;
}

static bool record_at(u8* scratch, u32 stage, JpegDecoder** out, CodecError* err) {
    JpegDecoder* d = (JpegDecoder*)scratch;
    if (!scratch || ((u64)scratch & 63) || d->magic != JPEG_MAGIC || d->stage < stage) {
        return fail(err, ERR_BAD_TARGET, 0);
    }
    *out = d;
    return true;
}

bool jpeg_finish_full_resolution(const u8* data, u64 length, u8* scratch, u64 scratch_size, u8* extra,
                                 u64 extra_size, CodecError* err) {
    error_clear(err);
    JpegDecoder* d;
    if (!record_at(scratch, JPEG_STAGE_PREVIEW, &d, err)) return false;
    if (d->stage == JPEG_STAGE_FULL) return true;
    if (!check_full_sampling(d)) return fail(err, ERR_UNSUPPORTED, d->frame_offset);
    if (!extra || extra_size < jpeg_tile_workspace_size(d)) return fail(err, ERR_TOO_LARGE, 0);
    // The preview kept only the DC terms; every coefficient is stored now.
    JpegPlanes planes;
    JpegRestartIndex index;
    if (!scratch_planes(scratch, scratch_size, &planes, &index, err)) return false;
    // Planes whose pages are backed already (an earlier second stage in
    // this memory wrote them, or the memory is simply not fresh) are
    // written plain, which tiles read fastest. Fresh ones cost a page
    // fault, or a populate, for every page touched: a frame that can be
    // stored packed is, touching a fraction of them, which fault in as
    // they are met; otherwise every plane is backed now in one call rather
    // than a fault at a time.
    u64 planes_at[JPEG_MAX_COMPONENTS][2] = {};
    bool fresh[JPEG_MAX_COMPONENTS] = {};
    bool any_fresh = false;
    for (u32 c = 0; c < d->components; c++) {
        planes_at[c][0] = (u64)((u8*)planes.plane[c].coefficients - scratch);
        planes_at[c][1] = planes.plane[c].coefficient_count * 2;
        bool known = d->backed[c][0] == planes_at[c][0] && d->backed[c][1] == planes_at[c][1];
        fresh[c] = !known && !resident(planes.plane[c].coefficients, planes_at[c][1]);
        any_fresh |= fresh[c];
    }
    bool pack = jpeg_store_packed(d) && g_store != JPEG_STORE_PLAIN && (any_fresh || g_store == JPEG_STORE_PACKED);
    for (u32 c = 0; c < d->components && !pack; c++) {
        if (fresh[c] && !prefault(planes.plane[c].coefficients, planes_at[c][1])) return fail(err, ERR_TOO_LARGE, 0);
    }
    JpegStatus st;
    bool ok = pack ? decode_scans_packed(data, length, d, &planes, &index, &st)
                   : decode_scans(data, length, d, &planes, &index, false, &st);
    if (!ok) return fail_jpeg(err, st);
    // A packed store leaves most pages of its planes untouched.
    if (pack) memset(planes_at, 0, sizeof planes_at);
    memcpy(d->backed, planes_at, sizeof planes_at);
    for (u32 c = 0; c < d->components; c++) {
        if (!(d->quant_defined & (1u << d->comp[c].quant_table))) return fail(err, ERR_BAD_HEADER, d->frame_offset);
    }
    write_idct_constants(extra);
    d->stage = JPEG_STAGE_FULL;
    return true;
}

bool jpeg_render_full_tile(u8* scratch, u8* extra, u32 column, u32 row, PixelBuffer* tile, CodecError* err) {
    error_clear(err);
    JpegDecoder* d;
    if (!record_at(scratch, JPEG_STAGE_FULL, &d, err)) return false;
    u64 x = (u64)column * JPEG_TILE;
    u64 y = (u64)row * JPEG_TILE;
    if (x >= d->width || y >= d->height) return fail(err, ERR_BAD_TARGET, 0);
    if (!tile || !tile->pixels || !extra || tile->stride < JPEG_TILE_STRIDE || tile->width < JPEG_TILE ||
        tile->height < JPEG_TILE) {
        return fail(err, ERR_BAD_TARGET, 0);
    }
    JpegPlanes planes;
    JpegRestartIndex index;
    JpegLayout layout;
    if (!jpeg_working_layout(d, &layout)) return fail(err, ERR_BAD_TARGET, 0);
    jpeg_planes_from_layout(scratch, &layout, &planes, &index);
    u32 w = d->width - (u32)x < JPEG_TILE ? d->width - (u32)x : JPEG_TILE;
    u32 h = d->height - (u32)y < JPEG_TILE ? d->height - (u32)y : JPEG_TILE;
    make_tile(d, &planes, extra, (u32)x, (u32)y, w, h, tile);
    return true;
}
