// The GIF decoder: a block scanner that walks the whole file once to count
// frames and size one workspace for every frame to come, an LZW decoder whose
// code table names runs of its own output (so it needs no string stack and
// copies whole runs), and a frame compositor that applies disposal,
// transparency, interlacing and clipping onto an RGBA canvas. Frames are
// composed strictly in order; what one frame leaves for the next lives in
// GifState at the head of the caller's workspace, so the decoder keeps
// nothing between calls and never allocates.
#pragma once

#include "codec/image.h"

// ---- Stream records ---------------------------------------------------------

enum : u32 {
    GIF_FLAG_TRANSPARENT = 0x1,  // the composed picture may hold transparent pixels
    GIF_FLAG_ANIMATED = 0x2,     // more than one frame
};

enum : u32 {
    GIF_MAX_FRAMES = 65536,
    GIF_NO_TRANSPARENT = 256,  // `transparent` of a frame without a transparent index
    // No code is shorter than 3 bits and none yields more than 4095 bytes, so
    // one data byte can carry at most 4095 * 8 / 3 = 10920 pixels.
    GIF_PIXELS_PER_DATA_BYTE = 10920,
    GIF_STATE_BYTES = 256,
    GIF_SLACK_BYTES = 64,
    // The composed canvas is RGBA, so the screen is capped like any other
    // 4-byte image: 2^26 pixels (256 MiB). A frame's indices take one byte a
    // pixel; a frame may exceed the screen, but not 2^28 pixels (256 MiB).
    GIF_MAX_SCREEN_PIXELS = 0x10000000 / 4,
    GIF_MAX_FRAME_PIXELS = 0x10000000,
};

// What the header reader learns about the whole file. The decode job keeps a
// copy and passes it back with every frame request.
struct GifInfo {
    u32 width;  // logical screen, never 0
    u32 height;
    u32 frame_count;  // 1 to 65536
    u32 flags;        // GIF_FLAG_*
    u32 loop_count;   // repeat count of the last loop extension, else 0
    u32 loop_present;
    u64 gct_offset;  // always 13
    u32 gct_entries;  // 0 without a global colour table
    u64 first_block;
    u64 max_frame_pixels;    // largest unclipped w * h
    u64 max_data_bytes;      // largest image data payload
    u64 max_restore_pixels;  // largest clipped area of a frame with disposal 3
    u64 workspace_bytes;
};

// The block scanner's cursor and the graphic control values waiting for the
// next image descriptor.
struct GifScanner {
    u64 pos;
    u32 delay;        // hundredths of a second
    u32 disposal;     // 0 to 7
    i32 transparent;  // 0 to 255, GIF_NO_TRANSPARENT for none
    u32 loop_count;   // never reset by image descriptors: the last one wins
    u32 loop_present;
};

// One image descriptor as the scanner found it.
struct GifFrame {
    u64 start;  // the ","
    u32 x, y, w, h;  // w and h never 0
    u32 delay;
    u32 disposal;
    i32 transparent;
    u32 interlaced;
    u64 lct_offset;  // start + 10
    u32 lct_entries;  // 0 without a local colour table
    u64 code_size_pos;  // the LZW minimum code size byte
    u64 data_end;       // just past the zero-length block that ends the data
    u64 data_bytes;     // sum of the data sub-block lengths
};

// The LZW code table: entry k names a run of output bytes already written.
// 16 KiB of offsets and 8 KiB of lengths; it lives on the frame decoder's
// stack.
struct LzwTable {
    u32 offset[4096];
    u16 length[4096];
};

enum : u32 {
    LZW_DONE = 0,      // an end code, or the codes ran out
    LZW_BAD_CODE = 3,  // a code above clear with no previous string or beyond the next free one
    LZW_OVERFLOW = 5,  // the output would pass its capacity
};

// ---- Stream -----------------------------------------------------------------

// Signature, logical screen and global colour table, then every block of the
// file up to the trailer: counts the frames and finds the maxima that size
// the workspace. Fills `header` (width, height, frame count, flags, colour
// resolution in sample_bits) and `info`.
bool gif_read_header(const u8* data, u64 length, ImageHeader* header, GifInfo* info, CodecError* err);

// A scanner at `pos` with neutral graphic control values and no loop data.
void gif_scanner_init(GifScanner* scanner, u64 pos);

enum : u32 { GIF_SCAN_ERROR = 0, GIF_SCAN_FRAME = 1, GIF_SCAN_TRAILER = 2 };
// Reads blocks until an image descriptor (1, `frame` filled, the scanner
// past its data) or the trailer (2, `pos` left on it); 0 on error.
u32 gif_next_frame(const u8* data, u64 length, GifScanner* scanner, GifFrame* frame, CodecError* err);

// Frame n, scanned from the first block.
bool gif_frame_info(const u8* data, u64 length, const GifInfo* info, u32 n, GifFrame* frame, CodecError* err);

// The frame's data sub-blocks, one after another, into `out` (at least
// data_bytes long).
void gif_deblock(const u8* data, const GifFrame* frame, u8* out);

// The file offset of the code that began `consumed` payload bytes into the
// frame's data (the zero block's offset, or the length, when the data ends
// first).
u64 gif_code_offset(const u8* data, u64 length, const GifFrame* frame, u64 consumed);

// Decodes `count` code bytes with minimum code size 2..8 into `out` (at most
// `capacity` bytes). Returns LZW_*; `produced_out` is the bytes written and,
// for a bad code or an overflow, `consumed_out` the byte within the codes at
// which the failing code began.
u32 lzw_decode(const u8* codes, u64 count, u8* out, u64 capacity, u32 min_code_size, LzwTable* table,
               u64* produced_out, u64* consumed_out);

// ---- Frames -----------------------------------------------------------------

enum : u64 { GIF_STATE_MAGIC = 0x4749465354415445 };  // "GIFSTATE"

// What one composed frame leaves for the next, at offset 0 of the workspace
// (the rest of its 256 bytes is reserved). File positions only: the
// workspace may move between calls.
struct GifState {
    u64 magic;
    u64 next_frame;
    u64 scan_pos;  // just past the previous frame's image data
    u64 pending_disposal;
    u64 pending_x;
    u64 pending_y;
    u64 pending_w;  // the clipped rectangle of the frame composed last, all 0 when empty
    u64 pending_h;
};

// Workspace: GifState (256), restore area align64(4 R), index buffer
// align64(P), data buffer align64(D), 64 bytes of slack.
u64 gif_workspace_bytes(u64 max_restore_pixels, u64 max_frame_pixels, u64 max_data_bytes);
u64 gif_restore_pos();
u64 gif_index_pos(const GifInfo* info);
u64 gif_data_pos(const GifInfo* info);

// Composes frame n onto the canvas (screen-sized, 16-byte aligned, stride a
// non-zero multiple of 16 of at least 4 x width). Frame 0 starts afresh;
// frame n > 0 needs the state left by frame n - 1. A frame that fails leaves
// the state and the canvas as they were (frame 0 has already cleared both).
bool gif_decode_frame(const u8* data, u64 length, const GifInfo* info, u8* workspace, u64 workspace_size, u32 n,
                      const PixelBuffer* canvas, CodecError* err);
// The same, for a caller that knows the canvas is all zero (freshly
// committed memory): frame 0 then leaves the parts it does not cover
// untouched instead of clearing the whole screen.
bool gif_decode_frame(const u8* data, u64 length, const GifInfo* info, u8* workspace, u64 workspace_size, u32 n,
                      const PixelBuffer* canvas, bool canvas_zero, CodecError* err);

// Frames `first` to `last` in order (`first` 0, or the frame after the last
// one composed); `done_out` is the last frame composed, -1 for none.
bool gif_decode_frames(const u8* data, u64 length, const GifInfo* info, u8* workspace, u64 workspace_size,
                       u32 first, u32 last, const PixelBuffer* canvas, i32* done_out, CodecError* err);
bool gif_decode_frames(const u8* data, u64 length, const GifInfo* info, u8* workspace, u64 workspace_size,
                       u32 first, u32 last, const PixelBuffer* canvas, bool canvas_zero, i32* done_out,
                       CodecError* err);

// The probe: header read, then the frame and play counts and memory sizes.
// A screen above GIF_MAX_SCREEN_PIXELS is "too_large" at its height field.
bool gif_probe(const u8* data, u64 length, ImageInfo* image, GifInfo* info_out, CodecError* err);

// ---- Kernels ----------------------------------------------------------------

// One coded row onto a canvas row: every index other than `transparent`
// (0..255, or GIF_NO_TRANSPARENT) becomes lut[index]; the transparent index
// keeps the canvas pixel. The lookup table covers every index in the row.
typedef void (*GifComposeFn)(const u8* indices, u32 count, const u32* lut, i32 transparent, u8* dst);
// The largest byte of `count` (0 for none).
typedef u32 (*GifMaxIndexFn)(const u8* indices, u64 count);

struct GifKernels {
    GifComposeFn compose;
    GifMaxIndexFn max_index;
};

extern GifKernels gif_kernels;

enum : u32 { GIF_KERNELS_SCALAR = 0, GIF_KERNELS_SSE2 = 1, GIF_KERNELS_AVX2 = 2 };
bool gif_kernels_supported(u32 variant);
// Test-only: route every kernel to `variant`; false when this CPU lacks it.
bool gif_kernels_force(u32 variant);
// The variant the decoder uses (SSE2: the AVX2 one does not pay).
u32 gif_kernels_select();
void gif_kernels_ensure();

void gif_compose_scalar(const u8* indices, u32 count, const u32* lut, i32 transparent, u8* dst);
void gif_compose_sse2(const u8* indices, u32 count, const u32* lut, i32 transparent, u8* dst);
void gif_compose_avx2(const u8* indices, u32 count, const u32* lut, i32 transparent, u8* dst);
u32 gif_max_index_scalar(const u8* indices, u64 count);
u32 gif_max_index_sse2(const u8* indices, u64 count);

// Canvas row of coded row r in an interlaced frame of height h.
u32 gif_interlace_row(u32 r, u32 h);
