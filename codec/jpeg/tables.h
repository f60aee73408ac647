// Tables the JPEG decoder and encoder share: the zigzag order, the example
// quantisation tables and the standard Huffman tables of the JPEG standard's
// Annex K. Read-only data, nothing else.
#pragma once

#include "base/types.h"

// Natural (row-major) index of the k-th coefficient in zigzag order, then 16
// entries of 63 so that an index that runs past 63 reads a harmless position.
extern const u8 jpeg_zigzag[80];

// Base quantisation tables, natural order: [0] luminance, [1] chrominance.
extern const u8 jpeg_base_quant[2][64];

// The standard Huffman tables in DHT form (16 counts by code length, then
// the symbols), by encoder slot: 0 luminance DC, 1 luminance AC,
// 2 chrominance DC, 3 chrominance AC.
extern const u8* const jpeg_std_huffman[4];
