// The TGA decoder: image types 1, 2, 3 (colour-mapped, true-colour, grey)
// and their run-length forms 9, 10, 11, with 8, 15, 16, 24 and 32-bit
// pixels and colour maps of 15, 16, 24 or 32-bit entries. TGA has no
// signature, so the 18-byte header checks are strict: a header of random
// bytes passes them about once in ten million. Pixels are decoded in file
// order, row by row into the output row their origin bits name, so RLE
// packets cross row ends naturally; right-to-left rows are mirrored when
// they are complete. The ID field, the colour map's bytes and any TGA 2.0
// footer are skipped.
//
// Alpha: 32-bit pixels, 16-bit grey pixels (grey and alpha bytes) and
// 32-bit colour-map entries always carry alpha, whatever the descriptor's
// attribute bits say, as the common decoders read them; 16-bit colour pixels
// take their top bit as alpha only when the attribute bits are 1. An image
// whose alpha is zero everywhere is shown opaque. 5-bit channels widen to
// 8 bits as v << 3 | v >> 2. A colour index outside the map (below its first
// index or past its end) is opaque black, as with the BMP decoder's short
// palettes. A run-length packet that reaches past the last pixel is an
// error at the packet's first byte.
#pragma once

#include "codec/image.h"

enum : u32 {
    TGA_HEADER_SIZE = 18,
};

// How one pixel is stored.
enum : u32 {
    TGA_PIXEL_INDEX8 = 0,
    TGA_PIXEL_INDEX16,
    TGA_PIXEL_GREY8,
    TGA_PIXEL_GREY_ALPHA,  // grey byte, alpha byte
    TGA_PIXEL_BGR15,       // 5-5-5, the top bit unused
    TGA_PIXEL_BGR15_ALPHA,  // 5-5-5, the top bit alpha
    TGA_PIXEL_BGR24,
    TGA_PIXEL_BGRA32,
};

struct TgaHeader {
    u32 image_type;  // 1, 2, 3, 9, 10 or 11
    u32 width;
    u32 height;
    u32 pixel_kind;   // TGA_PIXEL_*
    u32 pixel_size;   // bytes per stored pixel: 1 to 4
    u32 rle;          // image types 9 to 11
    u32 top_down;     // descriptor bit 5
    u32 right_to_left;  // descriptor bit 4
    u32 has_alpha;    // the decoded pixels carry alpha
    u32 map_first;    // first index of the colour map
    u32 map_length;   // entries in the colour map (0 without one)
    u32 map_entry_bits;  // 15, 16, 24 or 32
    u64 map_offset;   // first byte of the colour map
    u64 data_offset;  // first byte of the pixel data
};

// The header passes every check (the decoder is then asked only for names
// ending in .tga).
bool tga_sniff(const u8* data, u64 length);
// The header checks; for uncompressed data, also proves the pixels whole.
bool tga_read_header(const u8* data, u64 length, TgaHeader* header, CodecError* err);
bool tga_probe(const u8* data, u64 length, ImageInfo* info, CodecError* err);
bool tga_decode(const u8* data, u64 length, u8* scratch, u64 scratch_size, PixelBuffer* out, CodecError* err);
