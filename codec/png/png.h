// The PNG and animated PNG decoder: the chunk readers that check a whole
// file before any pixel is decoded, the plan that sizes one workspace block,
// and the resumable decode steps that fill a native canvas and an RGBA
// display buffer. Every byte of progress lives in the workspace the caller
// hands in (PngState at its start), so the decoder keeps nothing between
// calls and never allocates; the file must stay in memory for the whole
// decode because the steps read the image data chunks straight from it.
#pragma once

#include "codec/image.h"

// ---- Header records -----------------------------------------------------------

enum : u32 {
    PNG_FLAG_ALPHA = 0x1,     // colour type 4 or 6, or a tRNS chunk
    PNG_FLAG_ANIMATED = 0x2,  // a valid acTL
};

// Chunks met before the first IDAT (PngInfo::seen).
enum : u32 {
    PNG_SEEN_PLTE = 0x1,
    PNG_SEEN_TRNS = 0x2,
    PNG_SEEN_ACTL = 0x4,
    PNG_SEEN_SRGB = 0x8,
    PNG_SEEN_CICP = 0x10,
    PNG_SEEN_GAMA = 0x20,
    PNG_SEEN_CHRM = 0x40,
    PNG_SEEN_ICCP = 0x80,
    PNG_SEEN_EXIF = 0x100,
    PNG_SEEN_FCTL = 0x200,
};

// What the signature, IHDR and the chunks before the image data say.
struct PngInfo {
    u32 width;
    u32 height;
    u32 frame_count;  // acTL num_frames, else 1
    u32 flags;        // PNG_FLAG_*
    PixelFormat pixel_format;
    u32 colour_type;
    u32 bit_depth;
    u32 interlace;
    u32 palette_entries;
    u64 idat_pos;   // first IDAT chunk
    u64 plte_data;  // 0: no PLTE
    u64 trns_data;  // 0: no tRNS
    u32 trns_length;
    u64 actl_pos;        // 0: no acTL
    u64 first_fctl_pos;  // first fcTL before the first IDAT, 0: none
    u32 seen;            // PNG_SEEN_*
};

// The 26 data bytes of an fcTL chunk.
struct FrameControl {
    u32 sequence;
    u32 width;
    u32 height;
    u32 x;
    u32 y;
    u16 delay_num;
    u16 delay_den;
    u8 dispose_op;  // 0 none, 1 background, 2 previous
    u8 blend_op;    // 0 source, 1 over
};

// What the whole-file walk learns about the animation and the row sizes.
struct PngAnimInfo {
    u32 width;
    u32 height;
    u32 frame_count;
    u32 animated;
    u32 default_is_frame;  // an fcTL precedes the first IDAT: the IDAT image is frame 0
    u32 play_count;        // 0: forever
    u64 idat_pos;
    u64 first_fctl;
    u64 still_raw_bytes;  // unfiltered rows of the IDAT image
    u64 max_raw_bytes;    // largest unfiltered rows of any frame
    u32 max_frame_width;
    u64 max_restore_pixels;  // largest frame after the first with dispose_op 2
};

// How one decode runs and how much memory it needs. The job keeps a copy and
// passes it to every step.
struct PngPlan {
    u32 width;
    u32 height;
    u32 colour_type;
    u32 bit_depth;
    u32 interlace;
    u32 pixel_bits;    // channels * bit depth
    u32 filter_bytes;  // pixel_bits / 8, at least 1
    u32 animated;      // 1: decodes animation frames, 0: the still (IDAT) image
    u32 frame_count;
    u32 default_is_frame;
    u32 play_count;
    u32 strip_rows;  // rows per step of a still image
    u32 steps;       // strips over all passes (still); 0 for an animation
    u32 has_trns;
    u32 convert_kind;  // PNG_CONVERT_*
    PixelFormat pixel_format;
    u32 pixel_size;  // bytes per canvas pixel
    u64 idat_pos;
    u64 first_fctl;
    u64 plte_data;
    u32 palette_entries;
    u64 trns_data;
    u32 trns_length;
    u64 raw_bytes;
    u64 row_bytes;
    u64 restore_bytes;
    // Workspace layout: each region starts 64-byte aligned after the last.
    u64 state_pos;    // PngState
    u64 inflate_pos;  // InflateState
    u64 tables_pos;   // PngTables
    u64 window_pos;   // inflate output window, 0x20000 + 64
    u64 staging_pos;  // input staging, 0x10000 + 64
    u64 row_pos;      // row assembly: filter byte, row, 32 bytes of slack
    u64 zero_pos;     // zero row, the row above each pass's first row
    u64 raw_pos;      // unfiltered rows, raw_bytes + 128
    u64 restore_pos;  // restore area for dispose_op 2
    u64 workspace_bytes;
};

// The shape of the work as the job layer schedules it: phases of steps, each
// phase optionally waiting for an earlier one.
struct PngStepPhase {
    u8 waits_for;  // phase index, 255 for none
    u16 weight;    // 1
    u16 flags;     // 0
    u32 step_count;
};
struct PngStepPlan {
    u32 phase_count;
    u32 step_count;  // over all phases
    PngStepPhase phases[8];
};

enum : u32 {
    PNG_WINDOW_SIZE = 0x20000,
    PNG_STAGING_SIZE = 0x10000,
    PNG_MAX_FRAMES = 65536,
    PNG_CHUNK_LIMIT = 1024,
    PNG_STILL = 0xFFFFFFFF,  // the requested frame that selects the still image
};

// ---- Readers and setup ----------------------------------------------------------

struct Crc32Table;

// Signature, IHDR and the chunks up to the first IDAT.
bool png_read_header(const u8* bytes, u64 length, const Crc32Table* crc, PngInfo* info, CodecError* err);
// The rest of the file, from the first IDAT to IEND.
bool png_validate_file(const u8* bytes, u64 length, const Crc32Table* crc, const PngInfo* info,
                       PngAnimInfo* anim, CodecError* err);
// Both readers, then the plan for `frame` (PNG_STILL for the IDAT image, or
// a frame index; an index selects the animation when the file is animated).
bool png_setup(const u8* bytes, u64 length, u32 frame, PngInfo* info, PngPlan* plan, PngStepPlan* steps,
               CodecError* err);
// The fcTL of frame n of an animated plan.
bool png_frame_control(const u8* bytes, u64 length, const PngPlan* plan, u32 frame, FrameControl* fc,
                       CodecError* err);

// The probe: png_setup for the still image and, for an animated file, again
// for frame 0, so the file is shown as its animation. Fills the decoder,
// size, frame and play counts and the memory sizes: scratch is the
// workspace followed by the native canvas, pixels the RGBA display buffer.
// `plan_out` is the plan the job keeps.
bool png_probe(const u8* bytes, u64 length, ImageInfo* info, PngPlan* plan_out, CodecError* err);

// Bytes per canvas row, and the canvas placed after the workspace in a
// scratch block of align64(workspace_bytes) + align64(canvas bytes).
u64 png_canvas_stride(const PngPlan* plan);
PixelBuffer png_canvas_in_scratch(const PngPlan* plan, u8* scratch);

// ---- Decode steps ------------------------------------------------------------------

enum : u64 { PNG_STATE_MAGIC = 0x504E475354415445 };  // "PNGSTATE"

// All progress of a decode, at offset 0 of the workspace. File positions are
// byte offsets; nothing here is a pointer, so the workspace may move.
struct PngState {
    u64 magic;
    u64 chunk_pos;  // data chunk (IDAT or fdAT) being read
    u64 read_pos;   // next data byte of that chunk not yet staged
    u64 data_end;   // end of that chunk's data (its CRC field)
    u64 partial;    // bytes of an unfinished row in the row assembly buffer
    u64 take_pos;   // window position up to which rows have been taken
    u64 pass_row_bytes;
    u64 pass_stride;  // packed_raw_row(pass_row_bytes)
    u64 pass_offset;  // the pass's first row in the unfiltered rows
    u64 next_chunk;   // animation: where the next frame's fcTL is searched from
    u64 staging_read;
    u64 staging_fill;
    u64 data_start;  // first data byte of the current chunk; inflate errors point here
    u32 data_type;   // chunk type being followed
    u32 next_step;
    u32 pass;  // 0-6 Adam7, 7 whole image, 8 done
    u32 pass_row;
    u32 pass_rows;
    u32 rows_done;
    u32 stream_end;
    u32 frame_width;
    u32 frame_height;
    u32 pending_dispose;
    u32 pending_x;
    u32 pending_y;
    u32 pending_w;
    u32 pending_h;
    u32 failed;  // a step failed: only a restart at step 0 is accepted
    u32 ring_rows;  // 0: every unfiltered row is kept; else row r sits at r % ring_rows
};

struct PngStep {
    u32 phase;  // 0 inflate and unfilter (or one animation frame), 1 convert
    u32 index;  // strip or frame
};

// One bounded piece of work. Still plans: phase 0 steps in increasing order
// from 0 (0 restarts), phase 1 step k any time after phase 0 step k.
// Animated plans: phase 0, frames in increasing order from 0 (0 restarts).
// `display` with a null pointer, or the canvas pointer, means no display
// buffer. Caller mistakes are "bad_target" at 0; data faults "bad_header"
// or "truncated" at a file offset.
bool png_decode_step(const u8* bytes, u64 length, const PngPlan* plan, u8* workspace, u64 workspace_size,
                     PngStep step, const PixelBuffer* canvas, const PixelBuffer* display, CodecError* err);

// Conveniences over png_decode_step: every strip of a still plan (both
// phases, in order), and the frames `first` to `last` of an animated plan
// (`first` must follow the last frame decoded, or be 0).
bool png_decode_still(const u8* bytes, u64 length, const PngPlan* plan, u8* workspace, u64 workspace_size,
                      const PixelBuffer* canvas, const PixelBuffer* display, CodecError* err);
bool png_decode_frames(const u8* bytes, u64 length, const PngPlan* plan, u8* workspace, u64 workspace_size,
                       u32 first, u32 last, const PixelBuffer* canvas, const PixelBuffer* display,
                       CodecError* err);

// The decode job's still decode: the same steps, in order, with the display
// buffer as the only target (the canvas is not written), and for an image
// without interlace only the rows of the strip at hand and the one above it
// kept, reused strip after strip, so each pixel is written once and the
// unfiltered rows touch little memory. Same checks, faults and pixels as
// png_decode_still.
bool png_decode_still_display(const u8* bytes, u64 length, const PngPlan* plan, u8* workspace, u64 workspace_size,
                              const PixelBuffer* display, CodecError* err);
