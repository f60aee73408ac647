// Row-level work of the PNG decoder: the five filters, the Adam7 geometry and
// the layout of unfiltered rows, the tables that expand sub-byte samples and
// palettes, the conversion of unfiltered samples into the canvas format, the
// placement of converted runs into the canvas (interlace spacing, frame
// offset, over blend) and the canvas-to-RGBA display conversion. Kernels work
// on 16 or 32 bytes at a time and may read and write up to 31 bytes past a
// row; every workspace region keeps that slack. Writes into the canvas and
// the display buffer are exact, so those two need no slack of their own.
#pragma once

#include "codec/png/png.h"

// ---- Adam7 ------------------------------------------------------------------------

struct PngPass {
    u32 x_start, y_start, x_step, y_step;
};
// Passes 0 to 6 of Adam7; 7 stands for a non-interlaced image.
extern const PngPass png_passes[8];

u32 png_pass_width(u32 pass, u32 width);
u32 png_pass_rows(u32 pass, u32 height);
// Bytes of one unfiltered row of `pixels` pixels.
inline u64 png_row_bytes(u64 pixels, u32 pixel_bits) {
    return (pixels * pixel_bits + 7) / 8;
}
// A row of n bytes with at least 32 bytes of slack, rounded to 16.
inline u64 packed_raw_row(u64 n) {
    return (n + 47) & ~(u64)15;
}
// The pass after `pass` that holds pixels (8 when none is left).
u32 png_next_pass(u32 pass, u32 width, u32 height, u32 interlace);
u32 png_first_pass(u32 width, u32 height, u32 interlace);
// Unfiltered rows of a width x height image (all non-empty passes), and
// where pass p's rows start.
u64 png_raw_size(u32 width, u32 height, u32 interlace, u32 pixel_bits);
u64 png_pass_offset(u32 pass, u32 width, u32 height, u32 pixel_bits);

// ---- Tables ---------------------------------------------------------------------

struct PngTables {
    u8 palette[256][4];  // R, G, B, A; unused entries 0, 0, 0, 255
    u8 unpack[256][16];  // the samples (or grey, alpha pairs) one byte expands to
    u32 grey_key;        // tRNS grey, 0xFFFFFFFF: none
    u32 rgb_key8;        // r | g << 8 | b << 16 for 8-bit RGB, 0xFFFFFFFF: none
    u64 rgb_key16;       // r | g << 16 | b << 32 for 16-bit RGB, all ones: none
    u32 palette_count;
};

void build_tables(const PngPlan* plan, const u8* bytes, u64 length, PngTables* tables);

enum : u32 {
    PNG_CONVERT_GREY_LOW = 0,         // grey 1, 2, 4 -> Mono8
    PNG_CONVERT_GREY_LOW_TRNS = 1,    // grey 1, 2, 4 + tRNS -> MonoA8
    PNG_CONVERT_GREY8 = 2,            // -> Mono8
    PNG_CONVERT_GREY8_TRNS = 3,       // -> MonoA8
    PNG_CONVERT_GREY16 = 4,           // -> Rgba16
    PNG_CONVERT_PALETTE_LOW = 5,      // palette 1, 2, 4 -> Rgba8Straight
    PNG_CONVERT_PALETTE8 = 6,         // -> Rgba8Straight
    PNG_CONVERT_RGB8 = 7,             // -> Rgba8Straight
    PNG_CONVERT_RGB16 = 8,            // -> Rgba16
    PNG_CONVERT_GREY_ALPHA8 = 9,      // -> MonoA8
    PNG_CONVERT_GREY_ALPHA16 = 10,    // -> Rgba16
    PNG_CONVERT_RGBA8 = 11,           // -> Rgba8Straight
    PNG_CONVERT_RGBA16 = 12,          // -> Rgba16
};

u32 png_convert_kind(u32 colour_type, u32 bit_depth, bool has_trns);
u32 png_pixel_size(PixelFormat format);

// ---- Kernels ----------------------------------------------------------------------

// Row slack every source and destination of a kernel leaves: up to 31 bytes
// past the row may be read or written.
enum : u32 { PNG_ROW_SLACK = 32, PNG_RUN = 64 };

typedef void (*PngUnfilterFn)(u32 type, const u8* src, u8* dst, const u8* prev, u64 row_bytes, u32 bpp);
// Converts `padded` (a multiple of 16) pixels; returns true when one of the
// first `count` is a palette index not below palette_count.
typedef bool (*PngConvertFn)(u32 kind, const PngTables* t, const u8* src, u8* dst, u32 padded,
                             u32 bit_depth, u32 count);
typedef void (*PngDisplayFn)(PixelFormat format, const u8* src, u8* dst, u32 padded);
// dst = src over dst for `count` pixels of `format` (Rgba8Straight, MonoA8,
// Rgba16), straight alpha, exact integer results.
typedef void (*PngOverFn)(PixelFormat format, const u8* src, u8* dst, u32 count);

struct PngKernels {
    PngUnfilterFn unfilter;
    PngConvertFn convert;
    PngDisplayFn display;
    PngOverFn over;
};

extern PngKernels png_kernels;

enum : u32 { PNG_KERNELS_SCALAR = 0, PNG_KERNELS_SSE2 = 1, PNG_KERNELS_AVX2 = 2 };
bool png_kernels_supported(u32 variant);
// Test-only: route every kernel to `variant`; false (no change) when this CPU
// cannot run it.
bool png_kernels_force(u32 variant);
// The best variant for this CPU; called once before the first decode.
u32 png_kernels_select();
// Selects once, unless a variant was forced already.
void png_kernels_ensure();

void unfilter_row_scalar(u32 type, const u8* src, u8* dst, const u8* prev, u64 row_bytes, u32 bpp);
void unfilter_row_sse2(u32 type, const u8* src, u8* dst, const u8* prev, u64 row_bytes, u32 bpp);
void unfilter_row_avx2(u32 type, const u8* src, u8* dst, const u8* prev, u64 row_bytes, u32 bpp);
bool convert_run_scalar(u32 kind, const PngTables* t, const u8* src, u8* dst, u32 padded, u32 bit_depth,
                        u32 count);
bool convert_run_sse2(u32 kind, const PngTables* t, const u8* src, u8* dst, u32 padded, u32 bit_depth,
                      u32 count);
bool convert_run_avx2(u32 kind, const PngTables* t, const u8* src, u8* dst, u32 padded, u32 bit_depth,
                      u32 count);
void to_display_scalar(PixelFormat format, const u8* src, u8* dst, u32 padded);
void to_display_sse2(PixelFormat format, const u8* src, u8* dst, u32 padded);
void over_run_scalar(PixelFormat format, const u8* src, u8* dst, u32 count);

// Through the table chosen at start-up.
inline void unfilter_row(u32 type, const u8* src, u8* dst, const u8* prev, u64 row_bytes, u32 bpp) {
    png_kernels.unfilter(type, src, dst, prev, row_bytes, bpp);
}
inline bool convert_run(u32 kind, const PngTables* t, const u8* src, u8* dst, u32 padded, u32 bit_depth,
                        u32 count) {
    return png_kernels.convert(kind, t, src, dst, padded, bit_depth, count);
}
inline void to_display(PixelFormat format, const u8* src, u8* dst, u32 padded) {
    png_kernels.display(format, src, dst, padded);
}

// The one-pixel over rule, shared by every variant and the tests.
inline void over_pixel8(const u8* s, u8* d, u32 colours) {
    u32 sa = s[colours], da = d[colours];
    u32 f = sa * 255 + da * (255 - sa);
    if (f == 0) {
        for (u32 c = 0; c <= colours; c++) d[c] = 0;
        return;
    }
    for (u32 c = 0; c < colours; c++) d[c] = (u8)((s[c] * sa * 255 + d[c] * da * (255 - sa) + f / 2) / f);
    d[colours] = (u8)((f + 127) / 255);
}
inline void over_pixel16(const u16* s, u16* d) {
    u64 sa = s[3], da = d[3];
    u64 f = sa * 65535 + da * (65535 - sa);
    if (f == 0) {
        d[0] = d[1] = d[2] = d[3] = 0;
        return;
    }
    for (u32 c = 0; c < 3; c++) d[c] = (u16)((s[c] * sa * 65535 + d[c] * da * (65535 - sa) + f / 2) / f);
    d[3] = (u16)((f + 32767) / 65535);
}

// ---- Placement and rectangles ----------------------------------------------------

struct PngTargets {
    PixelBuffer canvas;  // plan.pixel_size bytes a pixel
    PixelBuffer display; // 4-byte RGBA
    u32 x, y;            // frame offset in the canvas
    u32 blend;           // composite with over instead of replacing
    u32 write_display;   // also write the display buffer
    u32 skip_canvas;     // write the display buffer alone (still images of the job)
    u32 ring_rows;       // 0, or the unfiltered rows are a ring of this many
};

// Converts `count` rows of `pass` starting at `first`, taken from the
// unfiltered rows of an image_width x image_height image, into the targets.
// Returns true when a converted pixel had a palette index out of range.
bool place_rows(const PngPlan* plan, const PngTables* t, const u8* raw, u32 image_width, u32 image_height,
                u32 pass, u32 first, u32 count, const PngTargets* targets);
void refresh_display(const PngPlan* plan, const PixelBuffer* canvas, const PixelBuffer* display, u32 x, u32 y,
                     u32 width, u32 height);
void clear_rect(const PixelBuffer* canvas, u32 pixel_bytes, u32 x, u32 y, u32 width, u32 height);
void save_rect(const PixelBuffer* canvas, u32 pixel_bytes, u32 x, u32 y, u32 width, u32 height, u8* area);
void restore_rect(const PixelBuffer* canvas, u32 pixel_bytes, u32 x, u32 y, u32 width, u32 height,
                  const u8* area);
