// The PNM and PAM decoder: P1 to P6 (plain and raw bitmaps, greymaps and
// pixmaps) and P7 (PAM with the BLACKANDWHITE, GRAYSCALE and RGB tuple types
// and their _ALPHA forms). Only the first image of a file is read. Samples
// are scaled to 8 bits with rounding, (v * 255 + maxval / 2) / maxval,
// through a lookup table: one of 256 entries on the stack for 8-bit
// samples, one of maxval + 1 entries in the scratch for 16-bit ones. Raw
// samples above maxval are clamped to it; a plain sample above it is an
// error, since the parser sees it anyway. The probe proves raw rasters
// whole; plain ones are checked while they are parsed.
#pragma once

#include "codec/image.h"

struct PnmHeader {
    u32 magic;   // 1 to 7: the digit after "P"
    u32 width;
    u32 height;
    u32 maxval;  // 1 for P1 and P4
    u32 depth;   // samples per pixel: 1 grey, 2 grey and alpha, 3 RGB, 4 RGB and alpha
    u32 plain;   // P1, P2, P3: samples as decimal text
    u64 data_offset;  // first byte of the raster
    u64 row_size;     // bytes per row of a raw raster; 0 for plain ones
};

// "P1" to "P7".
bool pnm_sniff(const u8* data, u64 length);
// The header of either kind; for a raw raster, also proves it whole.
bool pnm_read_header(const u8* data, u64 length, PnmHeader* header, CodecError* err);
bool pnm_probe(const u8* data, u64 length, ImageInfo* info, CodecError* err);
bool pnm_decode(const u8* data, u64 length, u8* scratch, u64 scratch_size, PixelBuffer* out, CodecError* err);
