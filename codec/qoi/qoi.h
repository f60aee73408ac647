// The QOI decoder: a 14-byte header, then one pass over the op stream
// straight into the output rows, with the 64-entry colour index on the
// stack, and the 8-byte end marker checked after the last pixel. The stream
// needs no working memory. A run that goes past the last pixel is clipped
// there, as the reference decoder does; the end marker must then follow the
// op that completed the image.
#pragma once

#include "codec/image.h"

enum : u32 {
    QOI_HEADER_BYTES = 14,
    QOI_END_MARKER_BYTES = 8,
};

struct QoiHeader {
    u32 width;
    u32 height;
    u32 channels;    // 3 (shown opaque) or 4
    u32 colorspace;  // 0: sRGB with linear alpha, 1: all channels linear; stored, not applied
};

// "qoif".
bool qoi_sniff(const u8* data, u64 length);
// The header fields and the size caps.
bool qoi_read_header(const u8* data, u64 length, QoiHeader* header, CodecError* err);
bool qoi_probe(const u8* data, u64 length, ImageInfo* info, CodecError* err);
bool qoi_decode(const u8* data, u64 length, u8* scratch, u64 scratch_size, PixelBuffer* out, CodecError* err);
