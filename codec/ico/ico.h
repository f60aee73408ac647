// The ICO and CUR decoder: the directory, the choice of the one entry shown,
// and that entry's bitmap through the BMP module's DIB reader. The entry is
// chosen from what its own bytes say (the DIB header, or a PNG's IHDR), not
// from the directory's one-byte sizes and bit counts, which are often wrong;
// the directory only locates entries. PNG entries go to the PNG decoder
// through ico_embedded.
#pragma once

#include "codec/bmp/bmp.h"
#include "codec/image.h"

enum : u32 {
    ICO_MAX_ENTRIES = 65535,
    ICO_KIND_DIB = 1,
    ICO_KIND_PNG = 2,
};

// The entry shown: the largest picture, then the deepest, then the first.
struct IcoEntry {
    u32 index;
    u32 kind;  // ICO_KIND_*
    u64 offset;
    u64 size;
    u32 width;
    u32 height;
    u32 depth;  // DIB bit count, or PNG bit depth times channels
};

// 00 00 01 00 (icon) or 00 00 02 00 (cursor), with at least one entry.
bool ico_sniff(const u8* data, u64 length);
// Directory and entry choice. Entries whose bytes fall outside the file, or
// whose header cannot be read, are skipped; with none left, the first
// entry's fault is reported.
bool ico_choose(const u8* data, u64 length, IcoEntry* entry, CodecError* err);
// The chosen entry's DIB proved as bmp_probe would; a PNG entry is
// "unsupported" here (see ico_embedded).
bool ico_probe(const u8* data, u64 length, ImageInfo* info, CodecError* err);
bool ico_decode(const u8* data, u64 length, u8* scratch, u64 scratch_size, PixelBuffer* out, CodecError* err);
// The chosen entry's PNG bytes, or size 0 when it is a DIB.
bool ico_embedded(const u8* data, u64 length, ByteSpan* inner_out, CodecError* err);
