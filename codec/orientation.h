// Orientation: the EXIF Orientation tag found in a file's metadata, and the
// eight orientations (EXIF numbering) as transforms of an image, composed
// with the user's turns and flips. The decoders keep the stored image; the
// decode job maps every displayed pixel to its stored one while copying out
// tiles, so no turned copy of an image is ever made.
#pragma once

#include "codec/image.h"

// The first IFD of a TIFF structure, classic or BigTIFF, for the metadata
// readers: its entries that lie wholly in the block (whatever its count
// says) and where each one's value field is. Values that do not fit in the
// field lie at the offset it holds.
struct TiffIfd0 {
    const u8* data;
    u64 size;
    bool le, big;
    u64 first;  // the first entry
    u64 count;  // entries that fit
};
struct TiffIfdEntry {
    u32 tag, type;
    u64 count;
    u64 field;  // the value field's offset: 4 bytes in a classic TIFF, 8 in BigTIFF
};
bool tiff_ifd0(const u8* tiff, u64 size, TiffIfd0* out);
TiffIfdEntry tiff_ifd0_entry(const TiffIfd0* ifd, u64 i);
// A SHORT, LONG or (BigTIFF) LONG8 read at `at`; 0 for other types.
u64 tiff_ifd0_number(const TiffIfd0* ifd, u64 at, u32 type);

// The Orientation (tag 0x0112) of IFD 0 in a TIFF-structured EXIF block
// (from its byte-order mark on), or of a TIFF or BigTIFF file, 1 to 8; 1 for
// any other value and for a block that is truncated, points outside itself
// or lies about its entries.
u32 exif_orientation(const u8* tiff, u64 size);

// The EXIF block of a JPEG (APP1 "Exif"), a PNG (eXIf) or a WebP (EXIF
// chunk), read as above; 1 when the file carries none. The walkers check
// every length against the file and stop at the image data.
u32 jpeg_file_orientation(const u8* data, u64 length);
u32 png_file_orientation(const u8* data, u64 length);
u32 webp_file_orientation(const u8* data, u64 length);

// Whether the orientation exchanges width and height (5 to 8).
inline bool orientation_swaps(u32 o) {
    return o >= 5 && o <= 8;
}

// The orientation that shows `first` and then applies `then` to what it
// shows (both EXIF numbered).
u32 orientation_then(u32 first, u32 then);
// The user's turns and flip: 90 degrees clockwise, counter-clockwise, and a
// mirror left to right of what is shown.
enum : u32 { ORIENT_TURN_CW = 6, ORIENT_TURN_CCW = 8, ORIENT_FLIP_H = 2 };

// How the stored pixel moves for one step right in the displayed image.
inline void orientation_step(u32 o, i64* dx, i64* dy) {
    static const i8 k[9][2] = {{1, 0}, {1, 0}, {-1, 0}, {-1, 0}, {1, 0}, {0, 1}, {0, -1}, {0, -1}, {0, 1}};
    u32 i = o <= 8 ? o : 0;
    *dx = k[i][0];
    *dy = k[i][1];
}

// For orientation `o`, the stored pixel shown at displayed (x, y) of an
// image stored as w x h: sx and sy.
inline void orientation_source(u32 o, u64 w, u64 h, u64 x, u64 y, u64* sx, u64* sy) {
    switch (o) {
    case 2: *sx = w - 1 - x; *sy = y; break;
    case 3: *sx = w - 1 - x; *sy = h - 1 - y; break;
    case 4: *sx = x; *sy = h - 1 - y; break;
    case 5: *sx = y; *sy = x; break;
    case 6: *sx = y; *sy = h - 1 - x; break;
    case 7: *sx = w - 1 - y; *sy = h - 1 - x; break;
    case 8: *sx = w - 1 - y; *sy = x; break;
    default: *sx = x; *sy = y; break;
    }
}
