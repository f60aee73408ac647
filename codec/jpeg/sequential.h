// Single-scan sequential frames decoded straight to RGBA, the way small
// self-contained streams (a TIFF file's JPEG strips and tiles) are best
// served: the entropy-coded data is walked once, a batch of MCUs at a time
// into a small coefficient buffer that stays in the first-level cache, each
// batch transformed at once into sample planes, and every output row
// upsampled and converted as soon as the rows it needs are there. Nothing is
// kept of the coefficients, so nothing is cleared ahead.
//
// The samples are those of the full path (decode_scans, then make_tile)
// bit for bit: the same kernels, the same filter edges. Only the common
// shapes are taken (one scan of every component, no restart markers, the
// end of the image right after the scan, one or three components with the
// chroma whole, halved across, or halved both ways); anything else, and any
// fault, is declined, and the caller then runs the full path, which reports
// any fault with its code and offset.
#pragma once

#include "codec/jpeg/jpeg.h"

// The scan found by jpeg_sequential_begin.
struct JpegSequentialScan {
    JpegScan scan;
    u64 end;  // the 0xFF of the end-of-image marker that closes the data
};

// Parses `d` from the stream up to its scan; true when the stream has the
// shape this path takes. False is no fault, only "use the full path".
bool jpeg_sequential_begin(const u8* data, u64 length, JpegDecoder* d, JpegSequentialScan* scan);

// Abbreviated streams, as in a TIFF file: the tables of a table
// specification (start marker, tables, end marker) read into `d` once, then
// each image's frame and scan headers read on top of them. The tables then
// stay in `d`, untouched by any image that has no tables of its own (only
// such images are taken), as if each image were joined to them. False
// means "use the full path"; from jpeg_sequential_tables it leaves the
// tables in `d` of no use, from the other it leaves them as they were.
bool jpeg_sequential_tables(const u8* data, u64 length, JpegDecoder* d);
bool jpeg_sequential_begin_abbreviated(const u8* data, u64 length, JpegDecoder* d, JpegSequentialScan* scan);

// Bytes of the two memory areas the decode takes for the frame in `d`:
// `samples_size` for the sample planes, `work_size` for the transform's
// constants, the coefficient batch and the filter rows. Both 64-byte
// aligned when handed over.
void jpeg_sequential_sizes(const JpegDecoder* d, u64* samples_size, u64* work_size);

// Decodes the scan and writes the frame's first `rows` rows (at most its
// height) of `d->width` pixels as RGBA, `stride` bytes apart; each row may
// be written up to its width rounded up to 8 pixels. `mode` is the colour
// conversion (jpeg_color_mode). False when the data is damaged: the rows
// written are then of no use.
bool jpeg_sequential_decode(const u8* data, const JpegDecoder* d, const JpegSequentialScan* scan, u32 mode,
                            u8* samples, u8* work, u32 rows, u8* out, u64 stride);

// ---- Kernels -----------------------------------------------------------------

// Chroma halved both ways, one output row: t(i) = 3 near[i] + far[i] with
// the index held to [0, count) (the edge samples repeated), then
//   out[2i] = (3 t(i) + t(i - 1) + 8) >> 4, out[2i + 1] = (3 t(i) + t(i + 1) + 7) >> 4
// for i below count (at least 2): the full path's column sums and filter
// in one pass. The vector twins read the rows to count rounded up to 16,
// plus 8, and write out up to 2 count rounded up to 32.
typedef void (*JpegH2V2RowFn)(const u8* near, const u8* far, u8* out, u32 count);
void jpeg_h2v2_row_scalar(const u8* near, const u8* far, u8* out, u32 count);
void jpeg_h2v2_row_sse2(const u8* near, const u8* far, u8* out, u32 count);
void jpeg_h2v2_row_avx2(const u8* near, const u8* far, u8* out, u32 count);
// Test hook: the path's kernels as the JPEG_KERNELS_* variant (BEST: the
// CPU check's choice); false when the machine lacks it.
bool jpeg_sequential_force_kernels(u32 variant);
