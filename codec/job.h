// DecodeJob: everything needed to turn one document's bytes into pixels,
// advanced only when something on screen needs them. The job never
// allocates: its memory is the per-document region sized by the probe,
// laid out as scratch, then the pixel buffer, then the extra memory of a
// second stage.
#pragma once

#include "codec/gif/gif.h"
#include "codec/icc/icc.h"
#include "codec/image.h"
#include "codec/png/png.h"

// The stored tiles a turned image keeps at hand: two rows of them across
// the image's longer side, so that the stored tiles a row of screen tiles
// shares with the next (a turned screen tile straddles two or four) are
// each decoded once; at most 160 (40 MiB).
enum : u64 {
    JOB_ORIENT_TILES = 160,
    JOB_ORIENT_HEADER = 4096,
};
// The memory for turned tiles of an image stored as w x h: one stored tile
// per slot, no more slots than the image has tiles.
u64 job_orient_bytes(u32 w, u32 h);

struct DecodeJob {
    ImageInfo info;
    ByteSpan source;   // the file's bytes, owned by the document
    u8* scratch;
    u64 scratch_size;
    PixelBuffer pixels;
    u8* extra;         // pixels + align64(pixel_bytes) + align64(colour_bytes)
    u32 requested_frame;
    i32 decoded_frame;  // -1: none
    bool base_done;
    // A base decode run in steps within the paint cycle, for an image that
    // would not decode within one paint: the decoder's start sets can_step,
    // the application step_base. While base_more is set steps are left, and
    // the stored rows above base_rows are final: their tiles can be made.
    bool can_step;
    bool step_base;
    bool base_more;
    u32 base_rows;
    bool swap_red_blue;
    bool png_header_read;
    bool full_ready;
    // Set by a caller that hands the job freshly committed memory, which
    // reads as zero: a decoder then need not clear it. Cleared once the
    // memory has been written.
    bool pixels_zero;
    bool scratch_zero;
    // The orientation shown (EXIF numbering: the file's, then the user's
    // turns); info.width and info.height are the size as shown, these the
    // size the decoder works on.
    u32 orientation;
    u32 stored_width;
    u32 stored_height;
    // info.orient_bytes for the stored tiles a turned image needs from a
    // decoder that makes its own tiles (null: not given; such tiles fail).
    u8* orient_cache;
    // The first fault of a decoder that shows a damaged part in its place
    // (a TIFF block), and whether the application has yet to report it.
    CodecError tile_error;
    bool tile_error_new;
    // info.colour_bytes right after the pixel buffer, where the file's
    // profile is read and its transform built; the transform every tile
    // goes through (null: shown as stored).
    u8* colour_memory;
    const IccTransform* colour;
    u8 webp_mode;      // WEBP_MODE_*: how the WebP entry decodes this job
    PngPlan png_plan;  // read from the file once (png_header_read)
    GifInfo gif_info;  // read again before each run of frame decodes
};

bool start_job(DecodeJob* job, ByteSpan source, const ImageInfo* info, u8* scratch, u64 scratch_size,
               u8* pixels, CodecError* err);
// The same, keeping what the probe learned (`work` from probe_image: a
// PNG's plan), so the file is walked and its chunks checked once per
// document rather than again at the first decode.
struct ProbeWork;
bool start_job(DecodeJob* job, ByteSpan source, const ImageInfo* info, const ProbeWork* work, u8* scratch,
               u64 scratch_size, u8* pixels, CodecError* err);
// Reads the file's colour profile into colour_memory (committed by the
// caller) and builds its transform; info.colour becomes COLOUR_CONVERT,
// COLOUR_NONE (sRGB already) or COLOUR_IGNORED. Without this call the job
// shows the stored pixels.
u32 job_prepare_colour(DecodeJob* job);
// Brings the base decode up to the requested frame.
bool decode_step(DecodeJob* job, CodecError* err);
// One step of a base decode run in steps (step_base), or the whole base
// decode of any other job.
bool decode_base_step(DecodeJob* job, CodecError* err);
// The second stage of a decoder that has one (full-resolution JPEG tiles).
bool finish_full_resolution(DecodeJob* job, CodecError* err);
// Fills one 256 x 256 tile (stride 1024) at a level the job can serve,
// edge-filled past the image and with red and blue swapped when the job
// asks for it. "bad_target" for a level or origin it cannot serve. While a
// base decode runs in steps, a tile over rows it has not finished is
// ERR_PENDING, at any level, and no step is taken here.
bool render_tile(DecodeJob* job, u32 level, u32 column, u32 row, PixelBuffer* tile, CodecError* err);
// Shows the image in `orientation` (EXIF numbering) from now on: the size
// as shown follows. The caller drops the tiles it holds.
void job_set_orientation(DecodeJob* job, u32 orientation);
// The tile's valid part copied from the pixel buffer, each pixel repeated
// 2^(preview_level - level) times across and down; no edge fill.
void job_copy_tile(const DecodeJob* job, u32 level, u32 column, u32 row, u32 cw, u32 ch, PixelBuffer* tile);
// Delay of an animation frame in hundredths of a second.
u32 frame_delay(DecodeJob* job, u32 frame);
// An animation frame's delay of num/den seconds in hundredths, rounded; a
// denominator of 0 counts as 100.
u32 delay_hundredths(u32 num, u32 den);

// The whole image at full size as one buffer (RGBA, no red/blue swap), and
// how much caller memory that needs (0 when the job's own buffer serves).
u64 full_resolution_bytes(const DecodeJob* job);
bool full_resolution_pixels(DecodeJob* job, u8* memory, PixelBuffer* result, CodecError* err);
