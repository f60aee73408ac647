// DecodeJob: everything needed to turn one document's bytes into pixels,
// advanced only when something on screen needs them. The job never
// allocates: its memory is the per-document region sized by the probe,
// laid out as scratch, then the pixel buffer, then the extra memory of a
// second stage.
#pragma once

#include "codec/gif/gif.h"
#include "codec/image.h"
#include "codec/png/png.h"

struct DecodeJob {
    ImageInfo info;
    ByteSpan source;   // the file's bytes, owned by the document
    u8* scratch;
    u64 scratch_size;
    PixelBuffer pixels;
    u8* extra;         // pixels + align64(pixel_bytes)
    u32 requested_frame;
    i32 decoded_frame;  // -1: none
    bool base_done;
    bool swap_red_blue;
    bool png_header_read;
    bool full_ready;
    // Set by a caller that hands the job freshly committed memory, which
    // reads as zero: a decoder then need not clear it. Cleared once the
    // memory has been written.
    bool pixels_zero;
    bool scratch_zero;
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
// Brings the base decode up to the requested frame.
bool decode_step(DecodeJob* job, CodecError* err);
// The second stage of a decoder that has one (full-resolution JPEG tiles).
bool finish_full_resolution(DecodeJob* job, CodecError* err);
// Fills one 256 x 256 tile (stride 1024) at a level the job can serve,
// edge-filled past the image and with red and blue swapped when the job
// asks for it. "bad_target" for a level or origin it cannot serve.
bool render_tile(DecodeJob* job, u32 level, u32 column, u32 row, PixelBuffer* tile, CodecError* err);
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
