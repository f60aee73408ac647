// The BMP decoder: the file header, every DIB header size in use (OS/2 core
// and 2.x, the Windows info header and its 52/56/108/124-byte extensions),
// palettes, channel masks and RLE8/RLE4. The DIB reader is separate from the
// file header so that icon entries, which are bare DIBs, share it. The probe
// proves every byte an uncompressed image reads is in the file, so the row
// loops run without checks and decode straight into the caller's pixels:
// no scratch memory for any layout.
#pragma once

#include "codec/image.h"

// ---- Records ----------------------------------------------------------------

enum : u32 {
    BMP_RGB = 0,
    BMP_RLE8 = 1,
    BMP_RLE4 = 2,
    BMP_BITFIELDS = 3,
    BMP_JPEG = 4,
    BMP_PNG = 5,
    BMP_ALPHABITFIELDS = 6,
};

// How stored rows become RGBA rows.
enum : u32 {
    BMP_LAYOUT_INDEXED = 0,  // 1, 2, 4 or 8-bit indices through the palette
    BMP_LAYOUT_BGR = 1,      // 24-bit B, G, R
    BMP_LAYOUT_BGRX = 2,     // 32-bit B, G, R, padding: opaque
    BMP_LAYOUT_BGRA = 3,     // 32-bit B, G, R, A
    BMP_LAYOUT_MASKS = 4,    // 16 or 32-bit words through channel masks
    BMP_LAYOUT_RLE8 = 5,
    BMP_LAYOUT_RLE4 = 6,
    BMP_LAYOUT_EMBEDDED = 7,  // a JPEG or PNG stream: not decoded here
};

enum : u32 {
    BMP_DIB_ICON = 1,  // an icon entry: height doubled, AND mask after the pixels
};

// What the DIB reader proved about one bitmap. Offsets are in the file.
struct BmpDib {
    u64 header_pos;
    u32 header_size;
    u32 width;
    u32 height;  // of the picture (half the stored height of an icon)
    u32 top_down;
    u32 bit_count;
    u32 compression;  // BMP_RGB ...
    u32 layout;       // BMP_LAYOUT_*
    u32 flags;        // BMP_DIB_*
    u32 palette_count;       // entries read from the file (0 to 256)
    u32 palette_entry_size;  // 3 (core header) or 4
    u64 palette_pos;
    u64 pixel_pos;
    u64 row_size;  // stored row, padded to 4 bytes
    u32 masks[4];  // red, green, blue, alpha; 0: channel absent
    u32 fix_zero_alpha;  // alpha that is zero everywhere is shown opaque
    u64 and_pos;         // icons below 32 bits: the AND mask, rows of and_row_size
    u64 and_row_size;
    u64 height_field;       // offsets of fields that errors name
    u64 compression_field;
    u64 size_image;  // the header's image size field (0: unknown)
};

// ---- Files ------------------------------------------------------------------

// "BM".
bool bmp_sniff(const u8* data, u64 length);
// File and DIB headers, palette and masks, and that the pixel data the image
// needs is in the file (uncompressed) or starts in it (RLE). A BMP holding a
// JPEG or PNG stream is "unsupported" here: see bmp_embedded.
bool bmp_probe(const u8* data, u64 length, ImageInfo* info, CodecError* err);
// The whole image into `out`; no scratch memory is used.
bool bmp_decode(const u8* data, u64 length, u8* scratch, u64 scratch_size, PixelBuffer* out, CodecError* err);
// The JPEG or PNG stream of a BI_JPEG or BI_PNG file (its image size field,
// else the rest of the file); size 0 for every other BMP.
bool bmp_embedded(const u8* data, u64 length, ByteSpan* inner_out, CodecError* err);

// ---- DIBs -------------------------------------------------------------------

// Reads the DIB header at `pos` and everything that follows it. `pixel_pos`
// is the file header's pixel offset, or 0 when the pixels follow the palette
// (icons). With BMP_DIB_ICON the stored height is halved, RLE is refused,
// 32-bit pixels keep their alpha as stored, and below 32 bits the AND mask
// must follow the pixels. A JPEG or PNG compression returns true with the
// BMP_LAYOUT_EMBEDDED layout and nothing past the compression field checked.
bool bmp_dib_read(const u8* data, u64 length, u64 pos, u64 pixel_pos, u32 flags, BmpDib* dib, CodecError* err);

// Decodes a DIB that bmp_dib_read accepted into `out` (width and height as
// the DIB says; stride at least 4 * width).
bool bmp_dib_decode(const u8* data, u64 length, const BmpDib* dib, PixelBuffer* out, CodecError* err);

// The probe's record for a DIB: decoder kind, size, no scratch.
void bmp_dib_info(const BmpDib* dib, DecoderKind decoder, ImageInfo* info);

// ---- Kernels ----------------------------------------------------------------

// `count` stored pixels to RGBA. The 24-bit kernels read exactly 3 * count
// bytes and the 32-bit ones 4 * count; each writes 4 * count bytes.
typedef void (*BmpRowFn)(const u8* src, u32 count, u8* dst);

struct BmpKernels {
    BmpRowFn bgr;   // B, G, R -> R, G, B, 255
    BmpRowFn bgrx;  // B, G, R, x -> R, G, B, 255
    BmpRowFn bgra;  // B, G, R, A -> R, G, B, A
};

extern BmpKernels bmp_kernels;

enum : u32 { BMP_KERNELS_SCALAR = 0, BMP_KERNELS_SSE2 = 1 };
// Test-only: route every kernel to `variant` (SSE2 is the default).
bool bmp_kernels_force(u32 variant);

void bmp_bgr_scalar(const u8* src, u32 count, u8* dst);
void bmp_bgrx_scalar(const u8* src, u32 count, u8* dst);
void bmp_bgra_scalar(const u8* src, u32 count, u8* dst);
void bmp_bgr_sse2(const u8* src, u32 count, u8* dst);
void bmp_bgrx_sse2(const u8* src, u32 count, u8* dst);
void bmp_bgra_sse2(const u8* src, u32 count, u8* dst);

// `count` 8-bit indices through a 256-entry table of RGBA words.
void bmp_index8_row(const u8* src, u32 count, const u32* lut, u8* dst);

// A channel value of `bits` bits (1 to 32) scaled to 8 bits, rounded to
// nearest: round(v * 255 / (2^bits - 1)).
u32 bmp_scale_channel(u32 v, u32 bits);
