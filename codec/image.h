// The records every codec, the decode jobs, the tile renderer and the status
// line share: formats, decoder kinds, pixel layouts, the error record with its
// byte offset, the probe result, and the byte readers and size helpers. All
// plain data; nothing here allocates or keeps state.
#pragma once

#include "base/span.h"

// ---- Enumerations -----------------------------------------------------------

// What a file claims to be, from its extension. 0: not recognised.
typedef u32 ImageFormat;
enum : u32 {
    FORMAT_NONE = 0,
    FORMAT_BMP = 1,
    FORMAT_ICO = 2,
    FORMAT_PNG = 3,
    FORMAT_JPEG = 4,
    FORMAT_TIFF = 5,
    FORMAT_GIF = 6,
    FORMAT_WEBP = 7,
    FORMAT_AVIF = 8,
    FORMAT_DNG = 9,
    FORMAT_KTX2 = 10,
    FORMAT_DDS = 11,
    FORMAT_PAM = 12,
    FORMAT_PNM = 13,
    FORMAT_QOI = 14,
    FORMAT_TGA = 15,
};

// Which decoder reads the bytes, from the file's content (and, for TGA, which
// has no signature, its name as well).
typedef u32 DecoderKind;
enum : u32 {
    DECODER_NONE = 0,
    DECODER_WEBP = 1,
    DECODER_JPEG = 2,
    DECODER_GIF = 3,
    DECODER_PNG = 4,
    DECODER_BMP = 5,
    DECODER_ICO = 6,   // ICO and CUR
    DECODER_PNM = 7,   // P1 to P6 and PAM (P7)
    DECODER_QOI = 8,
    DECODER_TGA = 9,
    DECODER_TIFF = 10,  // classic TIFF and BigTIFF
    DECODER_KIND_COUNT
};

typedef u32 PixelFormat;
enum : u32 {
    Rgba8Straight = 0,
    Rgba8Premul,
    Bgra8,
    Yuv420_8,
    Yuv422_8,
    Yuv444_8,
    Yuv420_16,
    Yuv422_16,
    Yuv444_16,
    Yuv420A_8,
    Yuv422A_8,
    Yuv444A_8,
    Yuv420A_16,
    Yuv422A_16,
    Yuv444A_16,
    Mono8,
    MonoA8,
    Rgba16,
    RgbaF16,
    RgbaF32,
    Bc1,
    Bc2,
    Bc3,
    Bc4,
    Bc5,
    Bc6h,
    Bc7,
    Astc,
    Etc2,
    Eac,
    PIXEL_FORMAT_COUNT
};

ByteSpan image_format_name(ImageFormat format);
ByteSpan pixel_format_name(PixelFormat format);
ImageFormat decoder_to_format(DecoderKind decoder);

// ---- Errors -----------------------------------------------------------------

enum : u32 {
    ERR_OK = 0,
    ERR_BAD_SIGNATURE = 1,  // not this format (also a probe that finds no decoder)
    ERR_TRUNCATED = 2,      // ends before a structure it announces; offset = length available
    ERR_BAD_HEADER = 3,     // a header or table field is invalid
    ERR_UNSUPPORTED = 4,    // valid but not handled
    ERR_TOO_LARGE = 5,      // dimensions or memory beyond the limits
    ERR_LIMIT = 6,          // an internal count limit was reached
    ERR_BAD_TARGET = 7,     // a request the decoded data cannot serve
    // Never reported: a tile whose pixels a base decode running in steps
    // has not made yet, asked for again at a later paint.
    ERR_PENDING = 8,
};

struct CodecError {
    u32 code;
    u64 offset;  // byte offset in the source where the fault was found
};

ByteSpan codec_error_name(u32 code);  // empty for codes above 7

inline void error_set(CodecError* err, u32 code, u64 offset) {
    err->code = code;
    err->offset = offset;
}
inline void error_clear(CodecError* err) {
    err->code = ERR_OK;
    err->offset = 0;
}
// Keeps each check to one line: `return fail(err, ERR_BAD_HEADER, pos);`
inline bool fail(CodecError* err, u32 code, u64 offset) {
    error_set(err, code, offset);
    return false;
}

// The JPEG decoder's finer status: same shape, mapped to a CodecError code
// when it reports to the framework.
enum : u32 {
    JPEG_OK = 0,
    JPEG_BAD_SIGNATURE = 1,
    JPEG_TRUNCATED = 2,
    JPEG_BAD_HEADER = 3,
    JPEG_UNSUPPORTED = 4,
    JPEG_TOO_LARGE = 5,
    JPEG_LIMIT = 6,
    JPEG_BAD_TABLE = 7,
    JPEG_BAD_SCAN = 8,
    JPEG_BAD_DATA = 9,
    JPEG_BAD_TARGET = 10,
};

struct JpegStatus {
    u32 code;
    u64 offset;
};

ByteSpan jpeg_status_name(u32 code);  // empty for codes above 10
u32 jpeg_status_to_codec_error(u32 code);
// The status as a CodecError; the offset passes through.
CodecError codec_error_from_jpeg(JpegStatus status);

// ---- Probe result and pixel records -----------------------------------------

// What a header probe learned; a decode job starts with a copy.
struct ImageInfo {
    DecoderKind decoder;
    u32 width;
    u32 height;
    u32 frame_count;    // 1 for a still image
    u32 play_count;     // 0: forever
    u32 preview_level;  // level of the first, cheap decode (3 for JPEG)
    u64 scratch_bytes;  // decoder working memory
    u64 pixel_bytes;    // row_stride(width) * height + 32 of the job's buffer
    u64 extra_bytes;    // reserved at open, committed for the second stage
    ImageFormat format;  // the format the status line names (a container's, for an embedded stream)
    u32 orientation;     // EXIF numbering from the file's metadata; width and height are as shown
    u64 orient_bytes;    // memory for turned tiles of a decoder that makes its own, after the extra bytes
    u32 colour;          // COLOUR_* (codec/icc/icc.h): what the file's colour profile asks for
    u64 colour_bytes;    // memory for reading the profile and its transform, right after the pixel buffer
    // The bytes the decoder reads: a container's embedded stream (size 0:
    // the whole file).
    u64 source_offset;
    u64 source_size;
};

// What the GIF and WebP header readers fill.
struct ImageHeader {
    u32 width;
    u32 height;
    u32 frame_count;
    u32 flags;
    PixelFormat pixel_format;
    u32 sample_bits;
};

void image_header_clear(ImageHeader* header);

// 4-byte pixels, rows top-down, `stride` bytes apart.
struct PixelBuffer {
    u8* pixels;
    u64 stride;
    u32 width;
    u32 height;
};

// ---- Byte readers -----------------------------------------------------------
// No bounds checks: the caller has proved the bytes are there.

inline u32 load_le16(const u8* p, u64, u64 pos) {
    return (u32)p[pos] | ((u32)p[pos + 1] << 8);
}
inline u32 load_le24(const u8* p, u64 len, u64 pos) {
    return load_le16(p, len, pos) | ((u32)p[pos + 2] << 16);
}
inline u32 load_le32(const u8* p, u64, u64 pos) {
    return (u32)p[pos] | ((u32)p[pos + 1] << 8) | ((u32)p[pos + 2] << 16) | ((u32)p[pos + 3] << 24);
}
inline u64 load_le64(const u8* p, u64 len, u64 pos) {
    return (u64)load_le32(p, len, pos) | (u64)load_le32(p, len, pos + 4) << 32;
}
inline u32 load_be16(const u8* p, u64, u64 pos) {
    return ((u32)p[pos] << 8) | (u32)p[pos + 1];
}
inline u32 load_be32(const u8* p, u64, u64 pos) {
    return ((u32)p[pos] << 24) | ((u32)p[pos + 1] << 16) | ((u32)p[pos + 2] << 8) | (u32)p[pos + 3];
}
inline u64 load_be64(const u8* p, u64, u64 pos) {
    u64 v = 0;
    for (u32 i = 0; i < 8; i++) v = (v << 8) | p[pos + i];
    return v;
}

// ---- Comparisons and checks -------------------------------------------------

// Equal lengths and bytes; every byte is compared (no early exit).
bool bytes_equal(const u8* a, u64 len_a, const u8* b, u64 len_b);

enum : u32 { PREFIX_MISMATCH = 0, PREFIX_PARTIAL = 1, PREFIX_FULL = 2 };
// Compares the first min(data_len, pattern_len) bytes: 0 mismatch, 1 match so
// far but the data is shorter than the pattern, 2 whole pattern matched.
u32 prefix_match(const u8* data, u64 data_len, const u8* pattern, u64 pattern_len);
inline bool may_match(const u8* data, u64 data_len, const u8* pattern, u64 pattern_len) {
    return prefix_match(data, data_len, pattern, pattern_len) != PREFIX_MISMATCH;
}

bool match_at(const u8* data, u64 len, u64 index, const u8* pattern, u64 pattern_len);

// Clears `err`; when len < needed sets "truncated" at len and returns false.
bool need_bytes(u64 len, u64 needed, CodecError* err);

// available >= count * size, without overflow.
bool fits(u64 count, u64 size, u64 available);

// Stores width and height when their product is below 2^32, else
// "too_large" at `offset`.
bool check_dimensions(u32 width, u32 height, u64 offset, ImageHeader* header, CodecError* err);

// ---- Size arithmetic --------------------------------------------------------

// Rows of 4-byte pixels, a multiple of 32 bytes.
inline u64 row_stride(u64 width) {
    return (4 * width + 31) & ~(u64)31;
}
inline u64 align_up(u64 a, u64 b) {
    return (a + b - 1) & (0 - b);
}
inline u64 align64(u64 a) {
    return (a + 63) & ~(u64)63;
}
inline u64 packed_row(u64 width, u64 bytes_per_pixel) {
    return (width * bytes_per_pixel + 15) & ~(u64)15;
}
inline u64 ceil_div(u64 a, u64 b) {
    return (a + b - 1) / b;
}
// A size at level s: a / 2^s rounded up.
inline u64 ceil_shift(u64 a, u32 s) {
    return (a + ((u64)1 << s) - 1) >> s;
}
