// JPEG-compressed blocks: each strip or tile is a JPEG stream of its own,
// usually abbreviated, with the tables in the file's JPEGTables field joined
// in front of it. A block of the common shape (one sequential scan) is
// decoded straight to RGBA, a batch of MCUs at a time, with its samples in
// the part of the scratch memory the probe sized for its coefficients; any
// other block, and one that fails there, goes through our JPEG decoder's
// full path (all coefficients stored, then 256 x 256 tiles reconstructed),
// which gives the same pixels and reports any fault. The colour transform
// follows the Photometric field, not markers the stream may lack.
#include <string.h>

#include "codec/jpeg/jpeg.h"
#include "codec/jpeg/sequential.h"
#include "codec/tiff/tiff.h"

// A frame no larger than the block, with any sampling the decoder's full
// path accepts (factors up to 4, ratios up to 2): every component is given
// the most blocks the luma component could need.
void tiff_jpeg_sizes(const TiffImage* image, JpegDecoder* work, u64* layout_out, u64* workspace_out) {
    memset(work, 0, sizeof *work);
    work->frame_seen = true;
    work->components = image->color_samples;
    work->h_max = 2;
    work->v_max = 2;
    u32 across = (u32)ceil_div(image->block_width, 8);
    u32 down = (u32)ceil_div(image->block_height, 8);
    for (u32 c = 0; c < work->components; c++) {
        work->comp[c] = JpegComponent{c + 1, 1, 1, 0, across + 4, down + 4, across + 1, down + 1};
    }
    JpegLayout layout;
    jpeg_working_layout(work, &layout);
    *layout_out = layout.total;
    // Every component counted as subsampled: the largest workspace.
    *workspace_out = jpeg_tile_workspace_size(work);
}

static bool frame_fits(const JpegDecoder* d, const TiffImage* im, u32 rows) {
    return d->width == im->block_width && d->height >= rows && d->height <= im->block_height &&
           d->components == im->color_samples;
}

// Three components are YCbCr or RGB by the Photometric field.
static void set_color(JpegDecoder* d, const TiffImage* im) {
    if (d->components == 3) {
        d->jfif = false;
        d->adobe_transform = im->photometric == TIFF_PHOTOMETRIC_YCBCR ? 1 : 0;
    }
}

// The direct path for the scan just read into the record at `base`: the
// frame checked as the full path's quick header and layout check it (any
// refusal is theirs to report), the samples placed past the record and the
// restart index in the part the probe sized for coefficients, the rest in
// the tile workspace. False to take the full path.
static bool direct_decode(const u8* stream, const JpegSequentialScan* scan, const TiffImage* im, u8* base, u32 rows,
                          u8* out, u64 stride) {
    JpegDecoder* d = (JpegDecoder*)base;
    if (!frame_fits(d, im, rows) || !check_full_sampling(d)) return false;
    if ((u64)d->width * d->height > 0x10000000u / d->components) return false;
    JpegLayout layout;
    if (!jpeg_working_layout(d, &layout) || layout.total > im->jpeg_layout_bytes) return false;
    u64 samples_size, work_size;
    jpeg_sequential_sizes(d, &samples_size, &work_size);
    if (JPEG_FIXED_BYTES + samples_size > im->jpeg_layout_bytes || work_size > im->jpeg_workspace_bytes) return false;
    // Tables held in the record stay valid: only the colour fields change.
    set_color(d, im);
    return jpeg_sequential_decode(stream, d, scan, jpeg_color_mode(d), base + JPEG_FIXED_BYTES,
                                  base + align64(im->jpeg_layout_bytes), rows, out, stride);
}

bool tiff_jpeg_direct(const u8* data, const TiffImage* im, u8* scratch, const u8* chunk, u64 n, u32 rows, u8* out,
                      u64 stride) {
    TiffDocument* doc = (TiffDocument*)scratch;
    u8* base = scratch + im->jpeg_offset;
    JpegDecoder* d = (JpegDecoder*)base;
    u64 held = TIFF_TABLES_HELD | im->tables_pos;
    if (doc->jpeg_tables != held) {
        doc->jpeg_tables = 0;
        if (!jpeg_sequential_tables(data + im->tables_pos, im->tables_size, d)) return false;
        doc->jpeg_tables = held;
    }
    JpegSequentialScan scan;
    return jpeg_sequential_begin_abbreviated(chunk, n, d, &scan) && direct_decode(chunk, &scan, im, base, rows, out, stride);
}

bool tiff_jpeg_block(const u8* stream, u64 n, u64 pos, const TiffImage* im, u8* scratch, u32 rows, u8* out,
                     u64 stride, CodecError* err) {
    // The record is rewritten here: the tables it may hold are lost.
    ((TiffDocument*)scratch)->jpeg_tables = 0;
    u8* base = scratch + im->jpeg_offset;
    JpegDecoder* d = (JpegDecoder*)base;
    JpegQuickHeader quick;
    JpegStatus st;
    if (!read_quick_header(stream, n, d, &quick, &st)) return fail(err, jpeg_status_to_codec_error(st.code), pos);
    if (quick.precision != 8) return fail(err, ERR_UNSUPPORTED, pos);
    // The frame is the block; a last strip may also be coded at the full
    // strip height, of which only its rows are used.
    if (!frame_fits(d, im, rows)) return fail(err, ERR_BAD_HEADER, pos);
    if (!check_full_sampling(d)) return fail(err, ERR_UNSUPPORTED, pos);
    JpegLayout layout;
    if (!jpeg_working_layout(d, &layout) || layout.total > im->jpeg_layout_bytes) {
        return fail(err, ERR_UNSUPPORTED, pos);
    }
    JpegSequentialScan scan;
    if (jpeg_sequential_begin(stream, n, d, &scan) && direct_decode(stream, &scan, im, base, rows, out, stride)) {
        return true;
    }
    JpegPlanes planes;
    JpegRestartIndex index;
    jpeg_planes_from_layout(base, &layout, &planes, &index);
    // The scans store only the coefficients they code: the planes start
    // cleared, as they do in a job's freshly committed memory.
    for (u32 c = 0; c < d->components; c++) memset(planes.plane[c].coefficients, 0, planes.plane[c].coefficient_count * 2);
    if (!decode_scans(stream, n, d, &planes, &index, false, &st)) {
        return fail(err, jpeg_status_to_codec_error(st.code), pos);
    }
    if (!frame_fits(d, im, rows) || !check_full_sampling(d)) return fail(err, ERR_BAD_HEADER, pos);
    for (u32 c = 0; c < d->components; c++) {
        if (!(d->quant_defined & (1u << d->comp[c].quant_table))) return fail(err, ERR_BAD_HEADER, pos);
    }
    set_color(d, im);
    u8* workspace = base + align64(im->jpeg_layout_bytes);
    write_idct_constants(workspace);
    for (u32 y = 0; y < rows; y += JPEG_TILE) {
        for (u32 x = 0; x < im->block_width; x += JPEG_TILE) {
            u32 w = im->block_width - x < JPEG_TILE ? im->block_width - x : JPEG_TILE;
            u32 h = rows - y < JPEG_TILE ? rows - y : JPEG_TILE;
            PixelBuffer tile = {out + (u64)y * stride + (u64)x * 4, stride, JPEG_TILE, JPEG_TILE};
            make_tile(d, &planes, workspace, x, y, w, h, &tile);
        }
    }
    return true;
}
