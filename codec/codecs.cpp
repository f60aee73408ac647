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

// ---- WebP -------------------------------------------------------------------

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
}

// A lossy image is decoded into its Y, U and V planes (and alpha plane) in
// the scratch; tiles are converted from them on demand.
static bool base_webp_lossy(DecodeJob* job, CodecError* err) {
    if (job->requested_frame != 0) return fail(err, ERR_BAD_TARGET, 0);
    WebpPrepared prep;
    if (!webp_prepare_lossy(job->source.data, job->source.size, 0, &prep, err)) return false;
    if (!prefault(job->scratch, job->scratch_size)) return fail(err, ERR_TOO_LARGE, 0);
    job->scratch_zero = false;
    return webp_decode_lossy_planes(job->source.data, &prep, job->scratch, job->scratch_size, err);
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

static const CodecEntry k_codecs[] = {
    {DECODER_WEBP, FORMAT_WEBP, sniff_webp, false, probe_webp, nullptr, start_webp, base_webp, tile_webp, nullptr,
     whole_webp, delay_webp, nullptr},
    {DECODER_JPEG, FORMAT_JPEG, sniff_jpeg, false, probe_jpeg, nullptr, nullptr, base_jpeg, tile_jpeg,
     second_stage_jpeg, whole_jpeg, nullptr, nullptr},
    {DECODER_GIF, FORMAT_GIF, sniff_gif, false, probe_gif, nullptr, nullptr, base_gif, nullptr, nullptr, nullptr,
     delay_gif, nullptr},
    {DECODER_PNG, FORMAT_PNG, sniff_png, false, probe_png, nullptr, start_png, base_png, nullptr, nullptr, nullptr,
     delay_png, nullptr},
    {DECODER_BMP, FORMAT_BMP, bmp_sniff, false, probe_still<bmp_probe>, bmp_embedded, nullptr, codec_still_base,
     nullptr, nullptr, nullptr, nullptr, bmp_decode},
    {DECODER_ICO, FORMAT_ICO, ico_sniff, false, probe_still<ico_probe>, ico_embedded, nullptr, codec_still_base,
     nullptr, nullptr, nullptr, nullptr, ico_decode},
};

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
