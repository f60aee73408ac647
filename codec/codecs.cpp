// The codec table and the adapters that fit each decoder to the decode job:
// how a kind is recognised and probed, how its base decode reaches the
// requested frame, and where its tiles come from. The job layer (job.cpp)
// and the probe (probe.cpp) only ever look a decoder up here.
#include "codec/codecs.h"

#include <string.h>

#include "base/region.h"
#include "codec/bmp/bmp.h"
#include "codec/ico/ico.h"
#include "codec/job.h"
#include "codec/orientation.h"
#include "codec/pnm/pnm.h"
#include "codec/qoi/qoi.h"
#include "codec/tga/tga.h"
#include "codec/tiff/tiff.h"
#include "codec/webp/webp.h"

static constexpr u32 TILE = 256;

// ---- Sniffing ---------------------------------------------------------------

static bool first_byte_is(const u8* data, u64 length, u8 value) {
    return length != 0 && data[0] == value;
}
static bool sniff_webp(const u8* data, u64 length) {
    return first_byte_is(data, length, 0x52);
}
static bool sniff_jpeg(const u8* data, u64 length) {
    return first_byte_is(data, length, 0xFF);
}
static bool sniff_gif(const u8* data, u64 length) {
    return first_byte_is(data, length, 0x47);
}
static bool sniff_png(const u8* data, u64 length) {
    return first_byte_is(data, length, 0x89);
}

// ---- Probes -----------------------------------------------------------------

static bool probe_png(const u8* data, u64 length, ImageInfo* info, ProbeWork* work, CodecError* err) {
    return png_probe(data, length, info, &work->png_plan, err);
}
static bool probe_jpeg(const u8* data, u64 length, ImageInfo* info, ProbeWork* work, CodecError* err) {
    return jpeg_probe(data, length, info, &work->jpeg, err);
}
static bool probe_gif(const u8* data, u64 length, ImageInfo* info, ProbeWork* work, CodecError* err) {
    return gif_probe(data, length, info, &work->gif, err);
}
static bool probe_webp(const u8* data, u64 length, ImageInfo* info, ProbeWork*, CodecError* err) {
    return webp_probe(data, length, info, err);
}

// The stills decoded whole take the probe as their decoders declare it.
template <bool (*Probe)(const u8*, u64, ImageInfo*, CodecError*)>
static bool probe_still(const u8* data, u64 length, ImageInfo* info, ProbeWork*, CodecError* err) {
    return Probe(data, length, info, err);
}

// P1 to P6 are shown as PNM, P7 as PAM.
static bool probe_pnm(const u8* data, u64 length, ImageInfo* info, ProbeWork*, CodecError* err) {
    if (!pnm_probe(data, length, info, err)) return false;
    info->format = length > 1 && data[1] == '7' ? FORMAT_PAM : FORMAT_PNM;
    return true;
}

// ---- WebP -------------------------------------------------------------------

// A lossy image larger than one step's worth (about a paint's) decodes in
// steps when the application asks for it.
static constexpr u64 WEBP_STEP_PIXELS = (u64)1 << 21;

static void start_webp(DecodeJob* job, const ProbeWork*) {
    WebpImageRef ref;
    ImageHeader header;
    CodecError err;
    job->webp_mode = WEBP_MODE_LOSSLESS;
    if (webp_locate_image(job->source.data, job->source.size, 0, &ref, &header, &err)) {
        if (header.flags & WEBP_FLAG_ANIMATED) {
            job->webp_mode = WEBP_MODE_ANIMATION;
        } else if (ref.lossy) {
            job->webp_mode = WEBP_MODE_LOSSY;
        }
    }
    if (job->webp_mode == WEBP_MODE_LOSSLESS) vp8l_reset(job->scratch, job->scratch_size);
    job->can_step = job->webp_mode == WEBP_MODE_LOSSY && (u64)job->stored_width * job->stored_height > WEBP_STEP_PIXELS;
}

// A lossy image is decoded into its Y, U and V planes (and alpha plane) in
// the scratch; tiles are converted from them on demand. In steps: the
// header and any alpha plane, then bands of macroblock rows of about
// WEBP_STEP_PIXELS each.
static bool base_webp_lossy(DecodeJob* job, CodecError* err) {
    if (job->requested_frame != 0) return fail(err, ERR_BAD_TARGET, 0);
    WebpPrepared prep;
    if (!webp_prepare_lossy(job->source.data, job->source.size, 0, &prep, err)) return false;
    if (!job->base_more) {
        // In steps, the planes are made ready a band at a time, so that the
        // first step does not pay for all of them.
        u64 planes = 0, planes_end = 0;
        if (job->step_base) vp8_plane_span(prep.width, prep.height, &planes, &planes_end);
        bool ready = job->step_base ? prefault(job->scratch, planes) &&
                                          prefault(job->scratch + planes_end, job->scratch_size - planes_end)
                                    : prefault(job->scratch, job->scratch_size);
        if (!ready) return fail(err, ERR_TOO_LARGE, 0);
        job->scratch_zero = false;
        job->base_rows = 0;
        if (!webp_lossy_begin(job->source.data, &prep, job->scratch, job->scratch_size, err)) return false;
        job->base_more = true;
        if (job->step_base) return true;
    }
    u64 row_pixels = 256 * ceil_div(prep.width, 16);
    u32 rows = job->step_base ? (u32)(WEBP_STEP_PIXELS / row_pixels > 0 ? WEBP_STEP_PIXELS / row_pixels : 1) : ~0u;
    if (job->step_base) {
        u64 offsets[3], sizes[3];
        vp8_band_ranges(job->scratch, rows, offsets, sizes);
        for (u32 i = 0; i < 3; i++) {
            if (!prefault(job->scratch + offsets[i], sizes[i])) return fail(err, ERR_TOO_LARGE, 0);
        }
    }
    bool more = false;
    u32 final_rows = 0;
    bool ok = webp_lossy_step(job->scratch, rows, &more, &final_rows, err);
    job->base_more = ok && more;
    job->base_rows = final_rows;
    return ok;
}

// An animation's frames are composed on the pixel buffer, from the frame it
// shows (from frame 0 when going back); after a failure `decoded_frame`
// still names what the canvas shows.
static bool base_webp_animation(DecodeJob* job, CodecError* err) {
    if (job->decoded_frame < 0) {
        if (!prefault(job->scratch, job->scratch_size) || !prefault(job->pixels.pixels, job->info.pixel_bytes)) {
            return fail(err, ERR_TOO_LARGE, 0);
        }
        // The composition state at the start of the scratch starts cleared.
        if (!job->scratch_zero) memset(job->scratch, 0, 64);
        job->scratch_zero = false;
        job->pixels_zero = false;
    }
    i32 shown = job->decoded_frame;
    bool ok = webp_anim_decode(job->source.data, job->source.size, job->requested_frame, job->scratch,
                               job->scratch_size, &job->pixels, &shown, err);
    job->decoded_frame = shown;
    return ok;
}

static u32 delay_webp(DecodeJob* job, u32 frame) {
    WebpFrameInfo f;
    CodecError err;
    if (!webp_frame_info(job->source.data, job->source.size, frame, &f, &err)) return 0;
    return delay_hundredths(f.duration, 1000);
}

// Stages 0 and 1 of the first frame, from cleared scratch memory. They write
// no pixels; the nominal 1 x 1 target satisfies the decoder's checks.
static bool base_webp(DecodeJob* job, CodecError* err) {
    if (job->webp_mode == WEBP_MODE_ANIMATION) return base_webp_animation(job, err);
    if (job->base_done) return true;
    if (job->webp_mode == WEBP_MODE_LOSSY) return base_webp_lossy(job, err);
    if (!prefault(job->scratch, job->scratch_size)) return fail(err, ERR_TOO_LARGE, 0);
    // Freshly committed scratch is already zero.
    if (!job->scratch_zero) memset(job->scratch, 0, job->scratch_size);
    job->scratch_zero = false;
    WebpRequest one = {0, 0, 0, 1, 1};
    PixelBuffer nominal = {job->pixels.pixels, 1024, 1, 1};
    for (u32 stage = VP8L_STAGE_ENTROPY; stage <= VP8L_STAGE_TRANSFORMS; stage++) {
        if (!vp8l_decode_stage(job->source.data, job->source.size, &one, &nominal, job->scratch, job->scratch_size,
                               stage, 0, err)) {
            return false;
        }
    }
    return true;
}

// A lossless image's stage 2 converts the rectangle from the decoded image,
// band after band of 64 rows; a lossy image's rectangle is converted from
// its planes; an animation's is copied from the canvas.
// An animation's frames are composed in the pixel buffer, which serves its
// tiles.
static bool webp_tile_from_buffer(const DecodeJob* job, u32) {
    return job->webp_mode == WEBP_MODE_ANIMATION;
}

static bool tile_webp(DecodeJob* job, u32 level, u32 column, u32 row, u32 cw, u32 ch, PixelBuffer* tile,
                      CodecError* err) {
    if (job->webp_mode == WEBP_MODE_ANIMATION) {
        job_copy_tile(job, level, column, row, cw, ch, tile);
        return true;
    }
    if (job->webp_mode == WEBP_MODE_LOSSY) {
        WebpPrepared prep;
        if (!webp_prepare_lossy(job->source.data, job->source.size, 0, &prep, err)) return false;
        webp_lossy_output(job->scratch, &prep, column * TILE, row * TILE, cw, ch, tile);
        return true;
    }
    WebpRequest rect = {0, column * TILE, row * TILE, cw, ch};
    for (u32 band = 0; band < vp8l_band_count(ch); band++) {
        if (!vp8l_decode_stage(job->source.data, job->source.size, &rect, tile, job->scratch, job->scratch_size,
                               VP8L_STAGE_OUTPUT, band, err)) {
            return false;
        }
    }
    return true;
}

static bool whole_webp(DecodeJob* job, CodecError* err) {
    return decode_step(job, err);
}

// ---- JPEG -------------------------------------------------------------------

// The preview (one pixel per 8 x 8 block) from the DC coefficients; the
// buffer takes the preview's size.
static bool base_jpeg(DecodeJob* job, CodecError* err) {
    return job->base_done || jpeg_decode_preview(job->source.data, job->source.size, job->scratch, job->scratch_size,
                                                 &job->pixels, job->info.pixel_bytes, err);
}

static bool tile_jpeg(DecodeJob* job, u32 level, u32 column, u32 row, u32 cw, u32 ch, PixelBuffer* tile,
                      CodecError* err) {
    if (job->full_ready && level == 0) return jpeg_render_full_tile(job->scratch, job->extra, column, row, tile, err);
    job_copy_tile(job, level, column, row, cw, ch, tile);
    return true;
}

// Before the second stage every level comes from the preview.
static bool jpeg_tile_from_buffer(const DecodeJob* job, u32 level) {
    return !(job->full_ready && level == 0);
}

static bool second_stage_jpeg(DecodeJob* job, CodecError* err) {
    return jpeg_finish_full_resolution(job->source.data, job->source.size, job->scratch, job->scratch_size, job->extra,
                                       job->info.extra_bytes, err);
}

static bool whole_jpeg(DecodeJob* job, CodecError* err) {
    return job->full_ready || fail(err, ERR_BAD_TARGET, 0);
}

// ---- PNG --------------------------------------------------------------------

static void start_png(DecodeJob* job, const ProbeWork* work) {
    if (work == nullptr) return;
    job->png_plan = work->png_plan;
    job->png_header_read = true;
}

static bool png_plan_ready(DecodeJob* job, CodecError* err) {
    if (job->png_header_read) return true;
    ImageInfo info;
    if (!png_probe(job->source.data, job->source.size, &info, &job->png_plan, err)) return false;
    job->png_header_read = true;
    return true;
}

// A still image is decoded strip by strip into the RGBA display buffer, an
// animation frame by frame (from the start again when going backwards) into
// the native canvas after the workspace and then the display buffer.
static bool base_png(DecodeJob* job, CodecError* err) {
    const u8* bytes = job->source.data;
    u64 length = job->source.size;
    if (!png_plan_ready(job, err)) return false;
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

static u32 delay_png(DecodeJob* job, u32 frame) {
    CodecError err;
    if (!png_plan_ready(job, &err) || !job->png_plan.animated) return 0;
    FrameControl fc;
    if (!png_frame_control(job->source.data, job->source.size, &job->png_plan, frame, &fc, &err)) return 0;
    return delay_hundredths(fc.delay_num, fc.delay_den);
}

// ---- GIF --------------------------------------------------------------------

// The header is read again, then frames are composed in order from the one
// after the last composed frame (from frame 0 when going backwards) up to
// the requested one. `decoded_frame` follows every frame that succeeds, so
// after a failure it still names what the canvas shows.
static bool base_gif(DecodeJob* job, CodecError* err) {
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

static u32 delay_gif(DecodeJob* job, u32 frame) {
    CodecError err;
    if (job->gif_info.frame_count == 0) {
        ImageHeader header;
        if (!gif_read_header(job->source.data, job->source.size, &header, &job->gif_info, &err)) return 0;
    }
    GifFrame f;
    if (!gif_frame_info(job->source.data, job->source.size, &job->gif_info, frame, &f, &err)) return 0;
    return f.delay;
}

// ---- TIFF -------------------------------------------------------------------

static bool probe_tiff(const u8* data, u64 length, ImageInfo* info, ProbeWork* work, CodecError* err) {
    return tiff_probe(data, length, info, &work->jpeg, err);
}

// The document record and an empty block cache; every pixel is made by tiles.
static bool base_tiff(DecodeJob* job, CodecError* err) {
    if (job->base_done) return true;
    if (job->requested_frame != 0) return fail(err, ERR_BAD_TARGET, 0);
    return tiff_begin(job->source.data, job->source.size, job->scratch, job->scratch_size, err);
}

// Level 0, and the coarser levels the file's reduced images serve; the
// levels between them are "bad_target", which the tile cache averages from
// finer tiles.
//
// A block whose data is damaged spoils only the tiles over it: they show a
// plain dark red, the rest of the image still shows, and the job keeps the
// first such fault for the message line.
static bool tile_tiff(DecodeJob* job, u32 level, u32 column, u32 row, u32 cw, u32 ch, PixelBuffer* tile,
                      CodecError* err) {
    if (tiff_render(job->source.data, job->source.size, job->scratch, level, column * TILE, row * TILE, cw, ch, tile,
                    err)) {
        return true;
    }
    if (err->code == ERR_BAD_TARGET || err->code == ERR_TOO_LARGE) return false;
    if (job->tile_error.code == ERR_OK) {
        job->tile_error = *err;
        job->tile_error_new = true;
    }
    for (u32 i = 0; i < ch; i++) {
        u32* line = (u32*)(tile->pixels + (u64)i * tile->stride);
        for (u32 j = 0; j < cw; j++) line[j] = 0xFF202080u;  // R, G, B, A in memory: dark red
    }
    error_clear(err);
    return true;
}

static bool whole_tiff(DecodeJob* job, CodecError* err) {
    return decode_step(job, err);
}

// ---- Stills decoded whole -----------------------------------------------------

bool codec_still_base(DecodeJob* job, CodecError* err) {
    if (job->base_done) return true;
    if (job->requested_frame != 0) return fail(err, ERR_BAD_TARGET, 0);
    const CodecEntry* entry = codec_entry(job->info.decoder);
    if (entry == nullptr || entry->decode_still == nullptr) return fail(err, ERR_UNSUPPORTED, 0);
    // Every pixel is written, usually into freshly committed memory.
    if (!prefault(job->pixels.pixels, job->info.pixel_bytes)) return fail(err, ERR_TOO_LARGE, 0);
    job->pixels_zero = false;
    return entry->decode_still(job->source.data, job->source.size, job->scratch, job->scratch_size, &job->pixels,
                               err);
}

// ---- The table ----------------------------------------------------------------

// Each entry names only what its decoder has; the rest stays null.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
static const CodecEntry k_codecs[] = {
    {.kind = DECODER_WEBP, .format = FORMAT_WEBP, .sniff = sniff_webp, .probe = probe_webp, .start = start_webp,
     .base = base_webp, .tile = tile_webp, .tile_from_buffer = webp_tile_from_buffer, .whole_ready = whole_webp,
     .frame_delay = delay_webp,
     .orientation = webp_file_orientation, .profile = webp_find_profile},
    {.kind = DECODER_JPEG, .format = FORMAT_JPEG, .sniff = sniff_jpeg, .probe = probe_jpeg, .base = base_jpeg,
     .tile = tile_jpeg, .tile_from_buffer = jpeg_tile_from_buffer, .second_stage = second_stage_jpeg,
     .whole_ready = whole_jpeg, .orientation = jpeg_file_orientation, .profile = jpeg_find_profile},
    {.kind = DECODER_GIF, .format = FORMAT_GIF, .sniff = sniff_gif, .probe = probe_gif, .base = base_gif,
     .frame_delay = delay_gif},
    {.kind = DECODER_PNG, .format = FORMAT_PNG, .sniff = sniff_png, .probe = probe_png, .start = start_png,
     .base = base_png, .frame_delay = delay_png, .orientation = png_file_orientation,
     .profile = png_find_profile},
    {.kind = DECODER_BMP, .format = FORMAT_BMP, .sniff = bmp_sniff, .probe = probe_still<bmp_probe>,
     .embedded = bmp_embedded, .base = codec_still_base, .decode_still = bmp_decode},
    {.kind = DECODER_ICO, .format = FORMAT_ICO, .sniff = ico_sniff, .probe = probe_still<ico_probe>,
     .embedded = ico_embedded, .base = codec_still_base, .decode_still = ico_decode},
    {.kind = DECODER_PNM, .format = FORMAT_PNM, .sniff = pnm_sniff, .probe = probe_pnm, .base = codec_still_base,
     .decode_still = pnm_decode},
    {.kind = DECODER_QOI, .format = FORMAT_QOI, .sniff = qoi_sniff, .probe = probe_still<qoi_probe>,
     .base = codec_still_base, .decode_still = qoi_decode},
    // No signature: taken only for a name that says TGA, after the formats
    // that have one.
    {.kind = DECODER_TGA, .format = FORMAT_TGA, .sniff = tga_sniff, .needs_name = true,
     .probe = probe_still<tga_probe>, .base = codec_still_base, .decode_still = tga_decode},
    // A classic TIFF's first IFD is laid out as an EXIF block: its
    // Orientation tag reads the same way.
    {.kind = DECODER_TIFF, .format = FORMAT_TIFF, .sniff = tiff_sniff, .reads_parts = true, .probe = probe_tiff,
     .base = base_tiff,
     .tile = tile_tiff, .whole_ready = whole_tiff, .orientation = exif_orientation, .profile = tiff_find_profile},
};
#pragma GCC diagnostic pop

const CodecEntry* codec_entry(DecoderKind kind) {
    for (const CodecEntry& e : k_codecs) {
        if (e.kind == kind) return &e;
    }
    return nullptr;
}

const CodecEntry* codec_table(u32* count_out) {
    *count_out = sizeof k_codecs / sizeof k_codecs[0];
    return k_codecs;
}
