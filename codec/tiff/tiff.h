// The TIFF decoder: classic TIFF and BigTIFF in either byte order, the first
// image of the file (IFD 0) as the document. The file is cut into blocks,
// its own strips or tiles, and a block is always decoded whole into RGBA:
// decompressed (none, PackBits, LZW, Deflate through our inflate, JPEG
// through our JPEG decoder), the predictor undone, then its samples
// converted. Pixels are only ever produced for a rectangle, from the blocks
// under it, kept in a small cache of decoded blocks inside the scratch
// memory. A tiled file of any size the view supports thus opens in memory
// bounded by one screen tile's worth of blocks, and the whole image is never
// held at once; the reduced-resolution images a file carries serve the
// coarse levels they match. The probe proves every block lies in the file;
// a damaged block fails only the rectangles that need it.
#pragma once

#include "codec/image.h"

struct JpegDecoder;

// ---- Tags and values --------------------------------------------------------

enum : u32 {
    TIFF_COMPRESSION_NONE = 1,
    TIFF_COMPRESSION_LZW = 5,
    TIFF_COMPRESSION_OJPEG = 6,
    TIFF_COMPRESSION_JPEG = 7,
    TIFF_COMPRESSION_DEFLATE = 8,
    TIFF_COMPRESSION_PACKBITS = 32773,
    TIFF_COMPRESSION_DEFLATE_OLD = 32946,
};

enum : u32 {
    TIFF_PHOTOMETRIC_MIN_IS_WHITE = 0,
    TIFF_PHOTOMETRIC_MIN_IS_BLACK = 1,
    TIFF_PHOTOMETRIC_RGB = 2,
    TIFF_PHOTOMETRIC_PALETTE = 3,
    TIFF_PHOTOMETRIC_SEPARATED = 5,
    TIFF_PHOTOMETRIC_YCBCR = 6,
};

// The alpha sample that follows the colour samples, from ExtraSamples.
enum : u32 { TIFF_ALPHA_NONE = 0, TIFF_ALPHA_ASSOCIATED = 1, TIFF_ALPHA_UNASSOCIATED = 2 };

// "TIFFIMG1" read as a big-endian number.
constexpr u64 TIFF_MAGIC = 0x54494646494D4731ull;

// Blocks in the cache at most, the memory the cache aims at beyond the
// blocks one 256 x 256 screen tile needs, and the most it ever takes (past
// one block).
enum : u32 { TIFF_MAX_SLOTS = 1024, TIFF_CACHE_TARGET = 16u << 20, TIFF_CACHE_LIMIT = 256u << 20 };

// ---- The image record -------------------------------------------------------

// What one IFD says, checked, and where each part of the scratch memory
// lies (offsets from the scratch start, the same for every image of a
// document).
struct TiffImage {
    u64 magic;
    bool big_endian;
    bool bigtiff;
    bool tiled;
    u32 width;
    u32 height;
    u32 bits;         // per sample: 1, 2, 4, 8 or 16
    u32 samples;      // per pixel
    u32 color_samples;  // 1, 3 or 4 of them are colour
    u32 photometric;
    u32 compression;
    u32 predictor;    // 1 or 2 (applied only after LZW and Deflate)
    u32 planar;       // 1 contiguous, 2 separate planes
    u32 fill_order;   // 1, or 2 (bits of each byte reversed)
    u32 alpha;        // TIFF_ALPHA_*
    u32 ycbcr_h;      // chroma subsampling of uncompressed YCbCr (1, 2 or 4)
    u32 ycbcr_v;
    // Blocks: tiles, or strips as wide as the image. Planes of separate
    // samples repeat the whole grid, plane after plane.
    u32 block_width;
    u32 block_height;
    u32 blocks_across;
    u32 blocks_down;
    u32 planes;       // chunks per block: 1, or `samples` for separate planes
    u64 block_count;  // blocks_across * blocks_down
    // The offset and byte count arrays in the file, with their element size.
    u64 offsets_pos;
    u64 counts_pos;
    u32 offsets_size;  // 2, 4 or 8
    u32 counts_size;
    u64 offsets_field;  // the IFD entries, for errors
    u64 max_chunk;      // the largest byte count of any chunk
    u64 tables_pos;     // JPEGTables (size 0: none)
    u64 tables_size;
    u64 compression_field;
    u32 palette[256];   // RGBA words for a palette image
    // Uncompressed YCbCr: luma coefficients and reference black and white.
    float luma[3];
    float reference[6];
    // Sizes, and where each part of the scratch memory lies (the same for
    // every image of the document).
    u64 raw_bytes_per_plane;  // decompressed bytes of one chunk
    u64 plane_row_bytes;      // a decompressed row of one chunk
    u64 work_offset;   // the inflate state or the LZW table
    u64 chunk_offset;  // a chunk with its bits reversed, or JPEGTables and a chunk joined
    u64 chunk_size;
    u64 raw_offset;    // the decompressed chunks of one block
    u64 row_offset;    // one row of samples, 8 bits each, interleaved
    u64 jpeg_offset;   // the JPEG decoder's record and planes, then its tile workspace
    u64 jpeg_layout_bytes;
    u64 jpeg_workspace_bytes;
};

// Levels of the pyramid an image may serve: 0 (the full image) to 17.
enum : u32 { TIFF_MAX_LEVELS = 18 };

// The first image and the reduced-resolution images that serve coarser
// levels (from the IFD chain with NewSubfileType bit 0, or IFD 0's
// SubIFDs), the shared scratch layout and the block cache. It is the first
// thing in the job's scratch; offsets are from the scratch start.
struct TiffDocument {
    u64 magic;
    u32 image_count;
    u32 top_level;                      // the coarsest level an image serves
    i8 level_image[TIFF_MAX_LEVELS];    // image of each level; -1: none
    u64 work_offset;
    u64 chunk_offset;
    u64 chunk_size;
    u64 raw_offset;
    u64 row_offset;
    u64 tags_offset;    // per slot: image << 56 | block index (u64)
    u64 stamps_offset;  // per slot: last use (u64)
    u64 slots_offset;   // the decoded blocks, RGBA, row_stride(block_width) a row
    u64 slot_bytes;
    u32 slot_count;
    u64 jpeg_offset;
    u64 jpeg_layout_bytes;
    u64 jpeg_workspace_bytes;
    u64 total_bytes;    // the probe's scratch_bytes
    u64 clock;          // cache use counter
    u64 jpeg_tables;    // whose JPEGTables the JPEG record holds: TIFF_TABLES_HELD | their offset, or 0
    TiffImage images[TIFF_MAX_LEVELS];
};

// ---- Files ------------------------------------------------------------------

// "II*\0", "MM\0*", "II+\0" or "MM\0+".
bool tiff_sniff(const u8* data, u64 length);

// Reads the header and every IFD, checks IFD 0 and every chunk it names
// against the file, finds the reduced-resolution images, and lays out the
// scratch memory. `jpeg_work` is a record used to size the JPEG decoder's
// memory (null: that part is left out of the layout).
bool tiff_read_document(const u8* data, u64 length, TiffDocument* doc, JpegDecoder* jpeg_work, CodecError* err);
// Copies the document's layout into each image.
void tiff_share_layout(TiffDocument* doc);

// The probe: tiff_read_document, then the sizes; preview_level is the
// coarsest level a reduced image serves. No pixel buffer: every pixel comes
// from tiff_render.
bool tiff_probe(const u8* data, u64 length, ImageInfo* info, JpegDecoder* jpeg_work, CodecError* err);

// Readies a job's scratch (64-byte aligned, the probe's scratch_bytes): the
// document record at its start and an empty block cache.
bool tiff_begin(const u8* data, u64 length, u8* scratch, u64 scratch_size, CodecError* err);

// The pixels of the rectangle at (x, y), w by h, inside the image at
// `level` (sizes rounded up), as RGBA into `out` (room for out->width
// pixels a row) from its top-left corner. Only the blocks under it are
// decoded, or taken from the cache. "bad_target" for a level no image
// serves.
bool tiff_render(const u8* data, u64 length, u8* scratch, u32 level, u32 x, u32 y, u32 w, u32 h, PixelBuffer* out,
                 CodecError* err);

// ---- Blocks (tiff_block.cpp) --------------------------------------------------

// YCbCr to RGB in 16.16 fixed point, through per-value tables made from the
// luma coefficients and the reference black and white.
struct TiffYcc {
    i32 y_tab[256];
    i32 cr_r[256];
    i32 cb_b[256];
    i32 cr_g[256];
    i32 cb_g[256];
};
void tiff_ycc_tables(const TiffImage* im, TiffYcc* ycc);

// Decodes block `index` into `out` (RGBA, `stride` bytes a row). A JPEG
// block needs room for block_width (rounded up to 8) by block_height
// pixels; any other block writes only the part that lies inside the image
// (tiff_block_extent), so an edge tile fits where the image ends.
bool tiff_decode_block(const u8* data, u64 length, const TiffImage* image, u8* scratch, u64 index, u8* out,
                       u64 stride, CodecError* err);
// The columns and rows of block `index` that lie inside the image.
void tiff_block_extent(const TiffImage* image, u64 index, u32* cols, u32* rows);

// ---- Decompression (tiff_decompress.cpp) ---------------------------------------
// Each fills out[0, size) from src[0, n), where src starts at file offset
// `pos`; more output than `size` is dropped, less is "truncated" at the
// chunk's end.

bool tiff_unpack_bits(const u8* src, u64 n, u64 pos, u8* out, u64 size, CodecError* err);
// The LZW table lives in `work` (TIFF_LZW_WORK_BYTES).
enum : u32 { TIFF_LZW_WORK_BYTES = 4096 * 8 };
bool tiff_lzw(const u8* src, u64 n, u64 pos, u8* work, u8* out, u64 size, CodecError* err);
// `state` is an InflateState.
bool tiff_inflate(const u8* src, u64 n, u64 pos, void* state, u8* out, u64 size, CodecError* err);
// Undoes horizontal differencing on `rows` rows of `row_bytes` bytes whose
// samples are `bits` (8 or 16) wide and `stride` samples apart.
void tiff_undo_predictor(u8* data, u64 row_bytes, u32 rows, u32 bits, u32 stride, bool big_endian);
void tiff_reverse_bits(const u8* src, u64 n, u8* out);

// ---- Kernels ------------------------------------------------------------------

// One row of n bytes of 8-bit samples `stride` apart, horizontal
// differencing undone in place.
typedef void (*TiffPredictFn)(u8* row, u64 n, u32 stride);

struct TiffKernels {
    TiffPredictFn predict8;
};

extern TiffKernels tiff_kernels;

enum : u32 { TIFF_KERNELS_SCALAR = 0, TIFF_KERNELS_SSE2 = 1 };
// Test-only: route every kernel to `variant` (SSE2 is the default).
bool tiff_kernels_force(u32 variant);

void tiff_predict8_scalar(u8* row, u64 n, u32 stride);
void tiff_predict8_sse2(u8* row, u64 n, u32 stride);

// ---- JPEG (tiff_jpeg.cpp) --------------------------------------------------------

// Bounds of the JPEG decoder's memory for one block, through `work`.
void tiff_jpeg_sizes(const TiffImage* image, JpegDecoder* work, u64* layout_out, u64* workspace_out);
// A JPEG block of a file with JPEGTables straight to RGBA, the tables read
// once and kept in the JPEG decoder's record while the blocks need no
// others; false (no fault) when the block must be joined to its tables and
// go through tiff_jpeg_block.
enum : u64 { TIFF_TABLES_HELD = 1ull << 63 };
bool tiff_jpeg_direct(const u8* data, const TiffImage* image, u8* scratch, const u8* chunk, u64 n, u32 rows, u8* out,
                      u64 stride);
// One block's JPEG stream (JPEGTables already joined), `rows` rows, to RGBA.
bool tiff_jpeg_block(const u8* stream, u64 n, u64 pos, const TiffImage* image, u8* scratch, u32 rows, u8* out,
                     u64 stride, CodecError* err);
