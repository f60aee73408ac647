// Colour profiles: an image's embedded ICC profile found in its file, read,
// and turned into a transform to sRGB that the decode job applies to every
// tile it hands out. The decoders keep the stored pixels; the conversion
// happens where pixels are produced, like orientation.
//
// Only matrix/TRC profiles (RGB, and grey with kTRC) are converted: each
// stored 8-bit value goes through its channel's curve to linear light, and
// the 3 x 3 matrix to linear sRGB is folded into those per-channel tables,
// so that a pixel costs three table rows added up, a clamp and three
// lookups in a linear-to-sRGB table. Everything else (LUT-based profiles,
// CMYK, Lab, damaged profiles) is left alone and reported as ignored.
#pragma once

#include "codec/image.h"

// ---- What a file carries ----------------------------------------------------

// The colour state of an image (ImageInfo::colour, and the job's own once
// the transform is built).
enum : u32 {
    COLOUR_NONE = 0,     // no profile, or one that says sRGB: shown as stored
    COLOUR_PENDING = 1,  // a profile to read when the job starts (probe only)
    COLOUR_CONVERT = 2,  // converted to sRGB through the job's transform
    COLOUR_IGNORED = 3,  // a profile we cannot use: shown as stored, and said so
};

// Where a profile lives in its file.
enum : u32 {
    ICC_IN_NONE = 0,
    ICC_IN_JPEG = 1,  // APP2 "ICC_PROFILE" segments, reassembled by sequence number
    ICC_IN_PNG = 2,   // iCCP, zlib-compressed
    ICC_IN_WEBP = 3,  // ICCP chunk of a VP8X file
    ICC_IN_TIFF = 4,  // tag 34675 of a classic TIFF's first IFD
};

// The largest profile read; a larger one is ignored.
enum : u64 { ICC_MAX_PROFILE = (u64)16 << 20 };

struct IccFind {
    u32 container;  // ICC_IN_*
    u32 state;      // COLOUR_NONE, COLOUR_PENDING or COLOUR_IGNORED
    u64 size;       // the profile's size as its container (or its header) says
    bool grey;      // the image itself is grey (one JPEG component, PNG colour types 0 and 4)
    bool cmyk;      // a four-component JPEG: shown through its own CMYK rule, no profile applies
};

// The profile of a JPEG, PNG or WebP file. Every length and offset is
// checked against the file; any fault means a profile we ignore (or, where
// no profile can be made out at all, none), never an error.
void jpeg_find_profile(const u8* data, u64 length, IccFind* out);
void png_find_profile(const u8* data, u64 length, IccFind* out);
void webp_find_profile(const u8* data, u64 length, IccFind* out);
void tiff_find_profile(const u8* data, u64 length, IccFind* out);

// The memory the job needs for a found profile: its bytes, the inflate
// state of a compressed one, and the transform. 0 when nothing is found.
u64 icc_memory_bytes(const IccFind* find);

// ---- Profiles ---------------------------------------------------------------

enum : u32 {
    ICC_CURVE_IDENTITY = 0,
    ICC_CURVE_PARA = 1,     // the ICC parametric function (g, a, b, c, d, e, f)
    ICC_CURVE_SAMPLED = 2,  // curv with n >= 2 big-endian 16-bit entries, linearly interpolated
};

struct IccCurve {
    u32 kind;
    u32 count;        // ICC_CURVE_SAMPLED: entries
    const u8* table;  // ICC_CURVE_SAMPLED: inside the profile
    double p[7];      // ICC_CURVE_PARA: g, a, b, c, d, e, f as type 4 uses them
};

struct IccProfile {
    bool grey;
    bool lab_pcs;         // a grey profile whose curve gives L* / 100 rather than Y
    IccCurve curve[3];    // grey: curve[0] alone
    double matrix[3][3];  // columns rXYZ, gXYZ, bXYZ in the D50 connection space
};

// Reads a profile we can convert; false for any other, or a damaged one.
bool icc_parse(const u8* profile, u64 size, IccProfile* out);
// A curve's value at x in [0, 1].
double icc_curve_eval(const IccCurve* curve, double x);

// ---- Transforms -------------------------------------------------------------

// Linear light in fixed point: 1.0 is ICC_ONE.
enum : u32 { ICC_ONE_BITS = 14, ICC_ONE = 1u << ICC_ONE_BITS };

// Per-channel rows hold the channel's linear value times its column of the
// matrix to linear sRGB, rounded (lane 3 is 0); the three rows of a pixel
// add up to its linear sRGB colour. `encode` maps a clamped linear value
// to 8-bit sRGB, rounded.
struct IccTransform {
    alignas(16) i32 rows[3][256][4];
    u8 encode[ICC_ONE + 16];
};

// Builds the transform of a parsed profile; false when the profile says
// sRGB (within half a level on every stored value and 0.003 on the matrix),
// so that nothing need be done.
bool icc_build(const IccProfile* profile, IccTransform* out);

// Converts `count` RGBA pixels (alpha kept) from `src` to `dst`, which may
// be the same.
typedef void (*IccRowFn)(const IccTransform* t, const u8* src, u8* dst, u64 count);
void icc_row_scalar(const IccTransform* t, const u8* src, u8* dst, u64 count);
void icc_row_sse2(const IccTransform* t, const u8* src, u8* dst, u64 count);

enum : u32 { ICC_KERNEL_SCALAR = 0, ICC_KERNEL_SSE2 = 1 };
// The kernel in use (SSE2 unless forced).
IccRowFn icc_row_kernel();
// Test-only: route conversions through `variant`.
bool icc_kernel_force(u32 variant);

// Converts a rectangle of rows.
void icc_convert_rect(const IccTransform* t, u8* pixels, u64 stride, u32 width, u32 height);

// ---- From file to transform ---------------------------------------------------

// Reads the profile `find` describes out of the file into `memory`
// (icc_memory_bytes of it), parses it and builds the transform there.
// COLOUR_CONVERT with *transform_out set, COLOUR_NONE for an sRGB profile,
// COLOUR_IGNORED for anything we cannot use.
u32 icc_prepare(const u8* data, u64 length, const IccFind* find, u8* memory, u64 memory_size,
                const IccTransform** transform_out);
