// JPEG decoder: baseline, extended-sequential and progressive Huffman-coded
// files with 1, 3 or 4 (CMYK, YCCK) components at 8-bit precision. The decoder keeps all its
// state in one JpegDecoder record (no pointers, so it can live anywhere) and
// works only in memory it is handed: the probe sizes a scratch region (the
// record, the restart index and every component's DCT coefficients) and a
// tile workspace. The first decode checks every scan and builds an
// eighth-size preview from the DC terms alone; the second stores every
// coefficient, and full-resolution 256 x 256 tiles are then reconstructed on
// demand from them.
// Every fault is a JpegStatus with the byte offset where it was found.
#pragma once

#include "codec/image.h"
#include "codec/jpeg/tables.h"

// ---- Limits and enumerations -------------------------------------------------

enum : u32 {
    JPEG_MAX_COMPONENTS = 4,
    JPEG_SEGMENT_LIMIT = 1024,   // segments passed over per marker-loop call
    JPEG_SCAN_LIMIT = 128,
    JPEG_INTERVAL_LIMIT = 65536,  // restart intervals per scan
    JPEG_TILE = 256,
    JPEG_TILE_STRIDE = 1024,
};

// Frame coding process, from the SOF marker.
enum : u32 { JPEG_BASELINE = 0, JPEG_EXTENDED = 1, JPEG_PROGRESSIVE = 2 };

// Results of next_segment.
enum : u32 { JPEG_SEGMENT_FAILED = 0, JPEG_SEGMENT_SCAN = 1, JPEG_SEGMENT_END = 2, JPEG_SEGMENT_FRAME = 3 };

// Colour conversion applied at reconstruction.
enum : u32 { JPEG_COLOR_GREY = 0, JPEG_COLOR_RGB = 1, JPEG_COLOR_YCBCR = 2, JPEG_COLOR_CMYK = 3, JPEG_COLOR_YCCK = 4 };
// One row of a colour mode's sample rows (one, three or four of them) to
// RGBA, through the chosen kernels.
void jpeg_convert_row(u32 mode, const u8* const* src, u8* out, u32 count);

// build_huffman results.
enum : u32 { JPEG_HUFFMAN_OK = 0, JPEG_HUFFMAN_BAD_COUNTS = 1, JPEG_HUFFMAN_BAD_DC_SYMBOL = 2 };

// Progress of the record that lives at the start of a job's scratch memory.
enum : u32 {
    JPEG_STAGE_NONE = 0,
    JPEG_STAGE_HEADERS = 1,  // headers parsed (the probe's record)
    JPEG_STAGE_PREVIEW = 2,  // DC terms stored, preview made
    JPEG_STAGE_FULL = 3,     // every coefficient stored, tile workspace ready
};

// "JPEGSTAT" read as a big-endian number.
constexpr u64 JPEG_MAGIC = 0x4A50454753544154ull;

// Bytes before the per-component planes in the scratch region: the decoder
// record, then the three restart-index arrays of 65536 four-byte entries
// (786432 bytes; offsets fit in 32 bits because files of 4 GiB and more are
// refused).
constexpr u64 JPEG_FIXED_BYTES = 1331008;

// ---- Records ------------------------------------------------------------------

// One Huffman table, 611 words. Lookup entry for the next 9 bits:
//   bits 0-4    bits the whole symbol takes: the code length plus its
//               magnitude size; 0 for a code longer than 9 bits
//   bits 5-8    run (AC: high nibble of the symbol; DC: 0)
//   bits 9-12   magnitude size still to read (0 when already included)
//   bit 13      the symbol's size is not 0
//   bits 16-31  the extended signed value when the magnitude was included
// limit[L] is the first code beyond length L, left-justified to 16 bits;
// symbol index = code + offset[L].
struct JpegHuffman {
    u32 lookup[512];
    u32 limit[17];
    i32 offset[17];
    u8 symbols[256];
    u32 count;
};

// Skip table of an AC Huffman table, for the preview pass that drops every
// AC value: indexed by the next JPEG_SKIP_BITS bits, each u16 entry describes
// the run of whole symbols that starts there, stopping after an end-of-block:
// every symbol whose code and magnitude bits fit in those bits, and then one
// more whose code fits but whose magnitude bits run past them:
//   bits 0-4    bits the run takes (at most 12 + 15)
//   bits 5-11   positions it advances: run + 1 per value, 16 per ZRL, 1 for
//               the end-of-block; 127 when not even one code fits
//   bit 15      the run ends with an end-of-block
// With 12 bits the table is 8 KiB, so a scan's two tables stay in L1.
enum : u32 { JPEG_SKIP_BITS = 12, JPEG_SKIP_NONE = 127u << 5, JPEG_SKIP_EOB = 1u << 15 };

// Wide table of an AC Huffman table, for the full pass's sequential walk:
// indexed by the next JPEG_WIDE_BITS bits, each u64 entry holds the symbol
// that starts there when its code and magnitude bits both lie within them,
// and the one after it when that one fits too and is a value or an
// end-of-block following a value:
//   bits 0-5    bits the entry takes; 0 when the first symbol does not fit
//               (a longer code, magnitude bits past the index, or no code),
//               and the walk takes it from the 9-bit lookup
//   bit 6       the first symbol is a coefficient value
//   bit 7       a second symbol follows
//   bits 8-15   positions the first advances: run + 1 for a value, 16 for
//               a run of 16 zeros, 0 for the end-of-block (any other size-0
//               symbol)
//   bits 16-31  the first's extended signed value
//   bits 32-37  bits the first symbol takes alone
//   bit 38      the second symbol is the end-of-block
//   bits 40-47  positions the second (a value) advances; 0 otherwise
//   bits 48-63  its value; otherwise the first's again
// With 10 bits a table is 8 KiB, so a scan's two stay in L1 beside the
// blocks being written (with 11 bits, two tables filled L1 and the walk
// waited on their loads).
enum : u32 { JPEG_WIDE_BITS = 10 };
enum : u64 { JPEG_WIDE_VALUE = 1u << 6, JPEG_WIDE_PAIR = 1u << 7, JPEG_WIDE_END = 1ull << 38 };

struct JpegComponent {
    u32 id;
    u32 h;
    u32 v;
    u32 quant_table;
    u32 blocks_across;   // mcus_across * h: the padded block grid
    u32 blocks_down;     // mcus_down * v
    u32 preview_width;   // the component's own size in whole blocks
    u32 preview_height;
};

struct JpegScan {
    u32 scan_components;
    u32 component[4];  // frame component index
    u32 dc_table[4];
    u32 ac_table[4];
    u32 ss;
    u32 se;
    u32 ah;
    u32 al;
    u64 data_offset;  // first byte of the entropy-coded data
};

struct JpegDecoder {
    u64 magic;
    u32 stage;
    // frame
    u32 width;
    u32 height;
    u32 precision;
    u32 coding;
    u32 components;
    u32 h_max;
    u32 v_max;
    u32 mcus_across;
    u32 mcus_down;
    u64 frame_offset;  // the 0xFF of the frame marker
    JpegComponent comp[JPEG_MAX_COMPONENTS];
    bool frame_seen;
    bool jfif;
    u32 quant_defined;  // bit masks of defined tables
    u32 dc_defined;
    u32 ac_defined;
    u32 ac_wide_built;  // AC tables whose ac_wide[] the direct path may use (jpeg_sequential_tables)
    u32 packed;  // components whose coefficient store is packed (see jpeg_store_packed)
    // Some component is in more than one scan (a sequential frame's second
    // scan of a component adds to its blocks): set by every decode_scans.
    bool repeated;
    u32 restart_interval;
    i32 adobe_transform;  // -1: no Adobe segment
    u32 scan_count;
    // Offset and size of each coefficient plane that a finished second
    // stage wrote in this scratch memory: its pages are backed already, so
    // a later second stage over the same planes needs no prefault. Kept by
    // the base decode when it rewrites the record.
    u64 backed[JPEG_MAX_COMPONENTS][2];
    i16 quant[4][64];  // natural order
    JpegHuffman dc[4];
    JpegHuffman ac[4];
    JpegScan scan;  // the scan header read last
    u16 ac_skip[4][1u << JPEG_SKIP_BITS];  // built from ac[] when a preview scan starts
    // Built from ac[] when a full pass's sequential scan starts, and by
    // jpeg_sequential_tables for the images that share its tables.
    u64 ac_wide[4][1u << JPEG_WIDE_BITS];
};

// What the probe's quick read learns.
struct JpegQuickHeader {
    u32 width;
    u32 height;
    u32 frame_count;  // 1
    u32 flags;        // 4
    PixelFormat pixel_format;
    u32 precision;
    u32 components;
    bool progressive;
    u32 sampling;  // h * 16 + v per component, first component in the low byte
};

// One component's planes in the scratch region.
struct JpegPlane {
    i16* coefficients;  // blocks_across * blocks_down blocks of 64, natural order
    u64 coefficient_count;
    i16* dc;  // coefficient 0 of every block, same indexing
    u64 dc_count;
    u8* preview;  // room for one sample per block in rows of preview_stride bytes;
                  // the preview is made a row at a time in its first row
    u64 preview_stride;
    u64 preview_size;
};

struct JpegPlanes {
    JpegPlane plane[JPEG_MAX_COMPONENTS];
    u8* row_buffer[JPEG_MAX_COMPONENTS];  // preview upsampling, components 1 and up
    u64 row_buffer_size;
};

struct JpegRestartIndex {
    u32* start;  // first byte of each interval
    u32* end;    // one past its last byte (the 0xFF of the marker after it)
    u32* first_unit;
    u32 capacity;
    u32 units;
    u32 interval_size;
    u32 interval_count;
};

// Byte offsets of the scratch parts; `total` is the probe's scratch_bytes.
struct JpegLayout {
    u64 restart_start;
    u64 restart_end;
    u64 restart_first;
    u64 coefficients[JPEG_MAX_COMPONENTS];
    u64 dc[JPEG_MAX_COMPONENTS];
    u64 preview[JPEG_MAX_COMPONENTS];
    u64 preview_stride[JPEG_MAX_COMPONENTS];
    u64 row_buffer[JPEG_MAX_COMPONENTS];
    u64 row_buffer_size;
    u64 total;
};

// ---- Markers and headers (markers.cpp) ----------------------------------------

inline void jpeg_status_set(JpegStatus* st, u32 code, u64 offset) {
    st->code = code;
    st->offset = offset;
}
inline bool jpeg_fail(JpegStatus* st, u32 code, u64 offset) {
    jpeg_status_set(st, code, offset);
    return false;
}

void reset_headers(JpegDecoder* d);
bool check_soi(const u8* data, u64 length, u64* position, JpegStatus* st);
u32 next_segment(const u8* data, u64 length, JpegDecoder* d, u64* position, JpegScan* scan, JpegStatus* st,
                 bool headers_only);
// `scratch_record` is filled by the header walk and may be thrown away.
bool read_quick_header(const u8* data, u64 length, JpegDecoder* scratch_record, JpegQuickHeader* quick,
                       JpegStatus* st);

// ---- Entropy decoding (huffman.cpp, entropy.cpp) ------------------------------

u32 build_huffman(const u8 counts[16], const u8* symbols, bool is_dc, JpegHuffman* table);
// The skip table (above) of a built AC table.
void build_ac_skip(const JpegHuffman* table, u16* skip);
// The wide table (above) of a built AC table.
void build_ac_wide(const JpegHuffman* table, u64* wide);

// Scratch layout for the record's frame; false when a size overflows.
bool jpeg_working_layout(const JpegDecoder* d, JpegLayout* layout);
void jpeg_planes_from_layout(u8* scratch, const JpegLayout* layout, JpegPlanes* planes, JpegRestartIndex* index);

// Walks the whole file: parses every segment into `d` and decodes every scan
// into the planes. In preview-only mode only the DC planes are written and a
// progressive file's AC scans are passed over.
bool decode_scans(const u8* data, u64 length, JpegDecoder* d, const JpegPlanes* planes, JpegRestartIndex* index,
                  bool preview_only, JpegStatus* st);

// The packed coefficient store. A sequential frame's blocks are each
// written whole by one scan, in order along their block rows, so the full
// pass may keep them packed instead of 128 bytes apiece, which touches a
// fraction of the memory (most of a photo's high frequencies are zero).
// Block row r of a component keeps its place in the plane (r * blocks_across
// * 128 bytes on) and holds: the offset from the row's start of every 32nd
// block as a u32 (jpeg_packed_header bytes), then each block as a byte n,
// the zigzag position of its last non-zero AC coefficient (0 for none), and
// AC coefficients 1 to n as (unaligned) i16. The DC term stays in the DC
// plane. A block takes at most 127 bytes, so with four blocks across or more
// a row never outgrows its place. True when `d`'s frame, as the last
// decode_scans found it, can be stored so (a sequential frame, no
// component in two scans, four blocks across or more).
bool jpeg_store_packed(const JpegDecoder* d);
u64 jpeg_packed_header(u32 blocks_across);
// decode_scans for the full pass with the store packed, for a frame that
// jpeg_store_packed allows (d->packed tells which components are).
bool decode_scans_packed(const u8* data, u64 length, JpegDecoder* d, const JpegPlanes* planes,
                         JpegRestartIndex* index, JpegStatus* st);
// Blocks [bx0, bx1) of block row `by` of component c, in natural order
// with their DC terms, one after another into `out`, from the store as the
// full pass left it (packed or not).
void jpeg_stored_blocks(const JpegDecoder* d, const JpegPlanes* planes, u32 c, u32 by, u32 bx0, u32 bx1, i16* out);

// ---- Reconstruction (reconstruct.cpp, idct.cpp) --------------------------------

u32 jpeg_color_mode(const JpegDecoder* d);
// Fills `out` (its pixels pointer set by the caller, `capacity` bytes) with
// the preview and sets its width, height and stride.
bool make_preview(const JpegDecoder* d, const JpegPlanes* planes, PixelBuffer* out, u64 capacity, JpegStatus* st);
// Every component's size a whole fraction (1/1 to 1/4) of the largest,
// across and down: the layouts the decoder takes.
bool check_full_sampling(const JpegDecoder* d);
u64 jpeg_tile_workspace_size(const JpegDecoder* d);
void write_idct_constants(u8* workspace);
// One full-resolution tile: x and y multiples of 256, width and height at
// most 256, written into `tile` (stride 1024) from its top-left corner.
void make_tile(const JpegDecoder* d, const JpegPlanes* planes, u8* workspace, u32 x, u32 y, u32 width, u32 height,
               PixelBuffer* tile);

// ---- Probe and decode-job stages (jpeg_job.cpp) --------------------------------

// The header probe: quick read and classification, precision check, full
// header parse into `state`, memory sizes into `info`.
bool jpeg_probe(const u8* data, u64 length, ImageInfo* info, JpegDecoder* state, CodecError* err);

// The base decode. `scratch` (scratch_bytes, 64-byte aligned) receives the
// record and the DC terms; `pixels->pixels` points at the job's buffer of
// `pixel_capacity` bytes. On success width, height and stride of `pixels`
// are those of the preview.
bool jpeg_decode_preview(const u8* data, u64 length, u8* scratch, u64 scratch_size, PixelBuffer* pixels,
                         u64 pixel_capacity, CodecError* err);

// The second stage: checks the sampling, stores every coefficient, checks the quantisation tables and readies the tile
// workspace in `extra` (extra_bytes).
bool jpeg_finish_full_resolution(const u8* data, u64 length, u8* scratch, u64 scratch_size, u8* extra,
                                 u64 extra_size, CodecError* err);

// Test hook: how the second stage stores the coefficients. AUTO packs a
// frame that can be packed (jpeg_store_packed) when any of its planes is
// fresh memory, and writes plain ones otherwise; PLAIN never packs, PACKED
// packs whenever the frame can be.
enum : u32 { JPEG_STORE_AUTO = 0, JPEG_STORE_PLAIN = 1, JPEG_STORE_PACKED = 2 };
void jpeg_force_store(u32 mode);

// One full-resolution tile (column, row of the 256 x 256 grid) after the
// second stage: the valid min(256, width - 256 * column) by min(256, height -
// 256 * row) pixels, RGBA, from the tile's top-left; the rest of the tile is
// left alone. "bad_target" before the second stage or outside the image.
bool jpeg_render_full_tile(u8* scratch, u8* extra, u32 column, u32 row, PixelBuffer* tile, CodecError* err);
