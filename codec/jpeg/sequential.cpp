// Single-scan sequential frames straight to RGBA (see sequential.h). The
// bit reader and the block decoder follow the full pass's walk (entropy.cpp)
// symbol for symbol, so a stream decodes to the same coefficients; the
// transform, the chroma filters and the colour rows are the full path's
// kernels, applied to whole rows of the frame instead of 256-pixel pieces,
// with the filter edges the pieces reproduce.
#include "codec/jpeg/sequential.h"

#include <string.h>

#include "base/cpu.h"
#include "codec/jpeg/bit_reader.h"
#include "codec/jpeg/kernels.h"

// MCUs decoded before their blocks are transformed: 16 MCUs of 4:2:0 are
// 96 blocks, 12 KiB of coefficients.
enum : u32 { BATCH_UNITS = 16 };
// Bytes past every row and plane that the row kernels may read or write
// beyond their count (they work in whole vectors).
static constexpr u64 SLACK = 64;
static constexpr u64 CONSTANT_BYTES = 384;

// ---- Shape -----------------------------------------------------------------------

enum : u32 { CHROMA_WHOLE = 0, CHROMA_H2 = 1, CHROMA_H2V2 = 2 };

// How the scan's units and the planes lie for the frame in `d`.
struct SequentialShape {
    u32 across;       // units per unit row
    u32 down;         // unit rows
    u32 unit_rows;    // image rows per unit row
    u32 bw[3];        // blocks per unit of each frame component
    u32 bh[3];
    u64 stride[3];    // sample plane rows
    u64 plane[3];     // offsets in the sample area
    u64 samples_size;
    u32 chroma;       // CHROMA_*
    u32 chroma_width;   // samples across and down of components 1 and 2
    u32 chroma_height;
    u64 batch[3];     // offsets in the work area
    u64 batch_row[3];   // coefficients per block row of a batch
    u64 hrow, up[3];
    u64 work_size;
};

static void shape_of(const JpegDecoder* d, SequentialShape* s) {
    *s = SequentialShape{};
    u32 nc = d->components;
    if (nc == 1) {
        // A one-component scan walks the component's own blocks.
        s->across = d->comp[0].preview_width;
        s->down = d->comp[0].preview_height;
        s->unit_rows = 8;
        s->bw[0] = s->bh[0] = 1;
    } else {
        s->across = d->mcus_across;
        s->down = d->mcus_down;
        s->unit_rows = 8 * d->v_max;
        for (u32 c = 0; c < nc; c++) {
            s->bw[c] = d->comp[c].h;
            s->bh[c] = d->comp[c].v;
        }
        s->chroma = d->h_max == 1 ? CHROMA_WHOLE : (d->v_max == 1 ? CHROMA_H2 : CHROMA_H2V2);
        s->chroma_width = (u32)ceil_div((u64)d->width * d->comp[1].h, d->h_max);
        s->chroma_height = (u32)ceil_div((u64)d->height * d->comp[1].v, d->v_max);
    }
    u64 off = 0;
    u64 work = CONSTANT_BYTES;
    for (u32 c = 0; c < nc; c++) {
        s->stride[c] = align64((u64)s->across * s->bw[c] * 8 + SLACK);
        s->plane[c] = off;
        off += s->stride[c] * s->down * s->bh[c] * 8;
        s->batch[c] = work;
        s->batch_row[c] = (u64)BATCH_UNITS * s->bw[c] * 64;
        work += s->batch_row[c] * s->bh[c] * 2;
    }
    s->samples_size = off + SLACK;
    u64 n = s->chroma_width;
    s->hrow = work;
    work += align64(n + 2 + SLACK);
    for (u32 c = 1; c < nc; c++) {
        s->up[c] = work;
        work += align64(2 * n + 2 * SLACK);
    }
    s->work_size = work;
}

void jpeg_sequential_sizes(const JpegDecoder* d, u64* samples_size, u64* work_size) {
    SequentialShape s;
    shape_of(d, &s);
    *samples_size = s.samples_size;
    *work_size = s.work_size;
}

// ---- Headers ---------------------------------------------------------------------

// One or three components; with three, the second and third at one block per
// MCU and the first at 1 x 1, 2 x 1 or 2 x 2, the chroma more than two
// samples wide when it is filtered (narrower chroma is repeated).
static bool shape_taken(const JpegDecoder* d) {
    if (d->components == 1) return true;
    if (d->components != 3) return false;
    for (u32 c = 1; c < 3; c++) {
        if (d->comp[c].h != 1 || d->comp[c].v != 1) return false;
    }
    u32 h = d->comp[0].h;
    u32 v = d->comp[0].v;
    if (!((h == 1 && v == 1) || (h == 2 && v == 1) || (h == 2 && v == 2))) return false;
    return h == 1 || ceil_div(d->width, 2) > 2;
}

// The scan just read into `d` and its data, checked for the shape taken.
static bool scan_taken(const u8* data, u64 length, JpegDecoder* d, const JpegScan* scan, JpegSequentialScan* out) {
    if (d->coding == JPEG_PROGRESSIVE || d->precision != 8 || scan->scan_components != d->components) return false;
    if (!shape_taken(d)) return false;
    for (u32 i = 0; i < scan->scan_components; i++) {
        if (!(d->dc_defined & (1u << scan->dc_table[i])) || !(d->ac_defined & (1u << scan->ac_table[i]))) return false;
    }
    for (u32 c = 0; c < d->components; c++) {
        if (!(d->quant_defined & (1u << d->comp[c].quant_table))) return false;
    }
    // One restart interval: the data ends at the first marker, which must
    // end the image, so no later table can change what the scan used.
    u64 units = d->components == 1 ? (u64)d->comp[0].preview_width * d->comp[0].preview_height
                                   : (u64)d->mcus_across * d->mcus_down;
    if (d->restart_interval != 0 && d->restart_interval < units) return false;
    u64 at = scan->data_offset;
    for (;;) {
        u64 f = jpeg_kernels()->find_ff(data, at, length);
        if (f + 1 >= length) return false;
        u8 c = data[f + 1];
        if (c == 0x00) {
            at = f + 2;
        } else if (c == 0xFF) {
            at = f + 1;
        } else {
            if (c != 0xD9) return false;
            out->scan = *scan;
            out->end = f;
            return true;
        }
    }
}

bool jpeg_sequential_begin(const u8* data, u64 length, JpegDecoder* d, JpegSequentialScan* out) {
    JpegStatus st;
    if (length >> 32) return false;
    u64 pos = 0;
    if (!check_soi(data, length, &pos, &st)) return false;
    reset_headers(d);
    JpegScan scan;
    if (next_segment(data, length, d, &pos, &scan, &st, false) != JPEG_SEGMENT_SCAN) return false;
    return scan_taken(data, length, d, &scan, out);
}

// Segments from `pos` on, each a marker right after the last segment (no
// fill bytes), up to the first one `stop` accepts (its position in *at) or
// the end of the data: how many were passed, or ~0u for a segment `pass`
// refuses, one that runs past the data, or more than `limit`.
template <typename Pass, typename Stop>
static u32 count_segments(const u8* p, u64 length, u64 pos, u32 limit, Pass pass, Stop stop, u64* at) {
    for (u32 count = 0;; count++) {
        if (count > limit || pos + 2 > length || p[pos] != 0xFF) return ~0u;
        u8 m = p[pos + 1];
        if (stop(m)) {
            *at = pos;
            return count;
        }
        if (!pass(m) || pos + 4 > length) return ~0u;
        pos += 2 + ((u64)p[pos + 2] << 8 | p[pos + 3]);
    }
}

enum : u32 { TABLE_SEGMENT_LIMIT = 64 };

bool jpeg_sequential_tables(const u8* data, u64 length, JpegDecoder* d) {
    // Only tables and application data, ending the stream with its end
    // marker, and few enough that this walk and the image's together stay
    // far below the marker loop's segment limit, as the joined stream's do.
    if (length < 4 || data[0] != 0xFF || data[1] != 0xD8) return false;
    auto table = [](u8 m) { return m == 0xDB || m == 0xC4 || m == 0xDD || m == 0xFE || (m >= 0xE0 && m <= 0xEF); };
    auto end = [](u8 m) { return m == 0xD9; };
    u64 eoi = 0;
    if (count_segments(data, length, 2, TABLE_SEGMENT_LIMIT, table, end, &eoi) == ~0u || eoi + 2 != length) {
        return false;
    }
    d->magic = JPEG_MAGIC;
    reset_headers(d);
    u64 pos = 2;
    JpegScan scan;
    JpegStatus st;
    if (next_segment(data, length, d, &pos, &scan, &st, false) != JPEG_SEGMENT_END || pos != length) return false;
    // Every image of the file reads its AC symbols through these tables:
    // their wide tables are built once here rather than for each image.
    for (u32 t = 0; t < 4; t++) {
        if (!(d->ac_defined & (1u << t))) continue;
        build_ac_wide(&d->ac[t], d->ac_wide[t]);
        d->ac_wide_built |= 1u << t;
    }
    return true;
}

bool jpeg_sequential_begin_abbreviated(const u8* data, u64 length, JpegDecoder* d, JpegSequentialScan* out) {
    if (length >> 32) return false;
    u64 pos = length >= 2 && data[0] == 0xFF && data[1] == 0xD8 ? 2 : 0;
    // The frame header and the scan header alone: the tables stay those of
    // the table stream.
    auto frame = [](u8 m) { return m == 0xC0 || m == 0xC1 || m == 0xC2; };
    auto scan_header = [](u8 m) { return m == 0xDA; };
    u64 sos = 0;
    if (count_segments(data, length, pos, 4, frame, scan_header, &sos) == ~0u) return false;
    d->frame_seen = false;
    d->scan_count = 0;
    JpegScan scan;
    JpegStatus st;
    if (next_segment(data, length, d, &pos, &scan, &st, false) != JPEG_SEGMENT_SCAN) return false;
    return scan_taken(data, length, d, &scan, out);
}

// ---- Blocks ----------------------------------------------------------------------

// One block into a cleared block of the batch, through the AC table's wide
// table when WIDE (the same symbols and checks); false for damaged data.
template <bool WIDE>
static QB_FORCE_INLINE bool decode_block(BitReader* r, const JpegHuffman* dc, const JpegHuffman* ac, const u64* wide,
                                         i32* pred, i16* block) {
    if (WIDE) return decode_block_wide(r, dc, ac, wide, pred, block, false, jpeg_zigzag) == 0;
    return decode_block_sequential(r, dc, ac, pred, block, false, jpeg_zigzag) == 0;
}

// ---- Kernels -------------------------------------------------------------------

void jpeg_h2v2_row_scalar(const u8* near, const u8* far, u8* out, u32 count) {
    for (u32 i = 0; i < count; i++) {
        u32 l = i > 0 ? i - 1 : 0;
        u32 r = i + 1 < count ? i + 1 : count - 1;
        u32 t = 3 * near[i] + far[i];
        u32 tl = 3 * near[l] + far[l];
        u32 tr = 3 * near[r] + far[r];
        out[2 * i] = (u8)((3 * t + tl + 8) >> 4);
        out[2 * i + 1] = (u8)((3 * t + tr + 7) >> 4);
    }
}

static bool has_avx2() {
    __builtin_cpu_init();
    return cpu_has_avx2();
}

// Chosen on first use from the CPU check; SSE2 is part of x86-64.
static JpegH2V2RowFn g_h2v2_row = nullptr;

static JpegH2V2RowFn h2v2_row() {
    if (__builtin_expect(g_h2v2_row == nullptr, 0)) g_h2v2_row = has_avx2() ? jpeg_h2v2_row_avx2 : jpeg_h2v2_row_sse2;
    return g_h2v2_row;
}

bool jpeg_sequential_force_kernels(u32 variant) {
    switch (variant) {
    case JPEG_KERNELS_SCALAR: g_h2v2_row = jpeg_h2v2_row_scalar; return true;
    case JPEG_KERNELS_SSE2: g_h2v2_row = jpeg_h2v2_row_sse2; return true;
    case JPEG_KERNELS_AVX2:
        if (!has_avx2()) return false;
        g_h2v2_row = jpeg_h2v2_row_avx2;
        return true;
    default: g_h2v2_row = nullptr; return true;
    }
}

// ---- Rows --------------------------------------------------------------------------

// Output row i from the sample planes. Chroma halved across is filtered
// with its edge samples repeated; halved down as well, each row takes 3/4 of
// its own chroma row and 1/4 of the nearer neighbour, the edge row standing
// in for the missing one at the top and bottom.
static void emit_row(const JpegDecoder* d, const SequentialShape* s, u32 mode, const u8* samples, u8* work, u32 i,
                     u8* out) {
    const JpegKernels* k = jpeg_kernels();
    const u8* src[3];
    src[0] = samples + s->plane[0] + (u64)i * s->stride[0];
    if (d->components == 1) {
        src[1] = src[2] = src[0];
        jpeg_convert_row(mode, src, out, d->width);
        return;
    }
    u32 n = s->chroma_width;
    if (s->chroma == CHROMA_H2V2) {
        JpegH2V2RowFn filter = h2v2_row();
        u32 j = i / 2;
        for (u32 c = 1; c < 3; c++) {
            const u8* row = samples + s->plane[c] + (u64)j * s->stride[c];
            const u8* far;
            if ((i & 1) == 0) {
                far = j > 0 ? row - s->stride[c] : row;
            } else {
                far = j + 1 < s->chroma_height ? row + s->stride[c] : row;
            }
            filter(row, far, work + s->up[c], n);
            src[c] = work + s->up[c];
        }
        jpeg_convert_row(mode, src, out, d->width);
        return;
    }
    for (u32 c = 1; c < 3; c++) {
        const u8* plane = samples + s->plane[c];
        if (s->chroma == CHROMA_WHOLE) {
            src[c] = plane + (u64)i * s->stride[c];
            continue;
        }
        u8* up = work + s->up[c];
        const u8* row = plane + (u64)i * s->stride[c];
        u8* hrow = work + s->hrow;
        hrow[0] = row[0];
        memcpy(hrow + 1, row, n);
        hrow[n + 1] = row[n - 1];
        k->upsample_h2(hrow, up, n);
        src[c] = up;
    }
    jpeg_convert_row(mode, src, out, d->width);
}

// ---- Decode ------------------------------------------------------------------------

struct Part {
    const JpegHuffman* dc;
    const JpegHuffman* ac;
    const u64* wide;  // the AC table's wide table, or null
    i16* batch;
    u64 batch_row;
    u32 bw, bh;
    i32 pred;
};

// `units` MCUs into the batch, the scan's components in order; the first
// one's blocks per MCU fixed at YW x YH and every other one's at 1 x 1
// (YW = 0: any layout, read from the parts). The reader is kept in
// registers through the walk. False for damaged data.
template <bool WIDE, u32 YW, u32 YH>
static QB_FORCE_INLINE bool decode_units(BitReader* reader, Part* part, u32 nc, u32 units) {
    BitReader r = *reader;
    bool ok = true;
    for (u32 u = 0; u < units && ok; u++) {
        for (u32 i = 0; i < nc && ok; i++) {
            Part* p = &part[i];
            u32 bw = YW != 0 ? (i == 0 ? YW : 1) : p->bw;
            u32 bh = YW != 0 ? (i == 0 ? YH : 1) : p->bh;
            i16* block = p->batch + (u64)u * bw * 64;
            for (u32 y = 0; y < bh && ok; y++, block += p->batch_row) {
                for (u32 x = 0; x < bw; x++) {
                    if (!decode_block<WIDE>(&r, p->dc, p->ac, p->wide, &p->pred, block + x * 64)) {
                        ok = false;
                        break;
                    }
                }
            }
        }
    }
    *reader = r;
    return ok;
}

// The common 4:2:0 MCU written out, its tables, predictors and block
// pointers in locals.
template <bool WIDE>
static QB_FORCE_INLINE bool decode_units_420(BitReader* reader, Part* part, u32 units) {
    BitReader r = *reader;
    const u64* w0 = part[0].wide;
    const u64* w1 = part[1].wide;
    const u64* w2 = part[2].wide;
    const JpegHuffman* dc0 = part[0].dc;
    const JpegHuffman* ac0 = part[0].ac;
    const JpegHuffman* dc1 = part[1].dc;
    const JpegHuffman* ac1 = part[1].ac;
    const JpegHuffman* dc2 = part[2].dc;
    const JpegHuffman* ac2 = part[2].ac;
    i32 p0 = part[0].pred;
    i32 p1 = part[1].pred;
    i32 p2 = part[2].pred;
    u64 row = part[0].batch_row;
    bool ok = true;
    for (u32 u = 0; u < units && ok; u++) {
        i16* y = part[0].batch + (u64)u * 128;
        ok = decode_block<WIDE>(&r, dc0, ac0, w0, &p0, y) && decode_block<WIDE>(&r, dc0, ac0, w0, &p0, y + 64) &&
             decode_block<WIDE>(&r, dc0, ac0, w0, &p0, y + row) &&
             decode_block<WIDE>(&r, dc0, ac0, w0, &p0, y + row + 64) &&
             decode_block<WIDE>(&r, dc1, ac1, w1, &p1, part[1].batch + (u64)u * 64) &&
             decode_block<WIDE>(&r, dc2, ac2, w2, &p2, part[2].batch + (u64)u * 64);
    }
    part[0].pred = p0;
    part[1].pred = p1;
    part[2].pred = p2;
    *reader = r;
    return ok;
}

template <bool WIDE>
static __attribute__((noinline)) bool decode_batch(BitReader* r, Part* part, u32 nc, u32 units, u32 shape) {
    if (shape == 22) return decode_units_420<WIDE>(r, part, units);
    if (shape == 11) return decode_units<WIDE, 1, 1>(r, part, nc, units);
    return decode_units<WIDE, 0, 0>(r, part, nc, units);
}

bool jpeg_sequential_decode(const u8* data, const JpegDecoder* d, const JpegSequentialScan* scan, u32 mode,
                            u8* samples, u8* work, u32 rows, u8* out, u64 stride) {
    QB_ASSERT(rows <= d->height && (d->components == 1 || d->components == 3));
    const JpegKernels* k = jpeg_kernels();
    SequentialShape s;
    shape_of(d, &s);
    write_idct_constants(work);
    const u8* constants = work;
    u32 nc = d->components;
    for (u32 c = 0; c < nc; c++) memset(work + s.batch[c], 0, s.batch_row[c] * s.bh[c] * 2);
    const JpegScan* sc = &scan->scan;
    Part part[3];
    bool wide_all = true;
    for (u32 i = 0; i < nc; i++) {
        u32 c = sc->component[i];
        u32 t = sc->ac_table[i];
        const u64* wide = d->ac_wide_built & (1u << t) ? d->ac_wide[t] : nullptr;
        part[i] = Part{&d->dc[sc->dc_table[i]], &d->ac[t], wide, (i16*)(work + s.batch[c]), s.batch_row[c], s.bw[c],
                       s.bh[c], 0};
        wide_all &= wide != nullptr;
    }
    BitReader r = {data, sc->data_offset, scan->end, 0, 0, 0};
    // The walks' shapes by the scan's order of components: 22 when its
    // first is 2 x 2 (the others are 1 x 1), 11 when all are 1 x 1.
    u32 shape = 0;
    if (nc == 1 || (s.bw[0] == 1 && s.bh[0] == 1)) shape = 11;
    if (nc == 3 && part[0].bw == 2 && part[0].bh == 2) shape = 22;
    u32 done = 0;
    for (u32 uy = 0; uy < s.down; uy++) {
        for (u32 ux0 = 0; ux0 < s.across; ux0 += BATCH_UNITS) {
            u32 units = s.across - ux0 < BATCH_UNITS ? s.across - ux0 : BATCH_UNITS;
            bool ok = wide_all ? decode_batch<true>(&r, part, nc, units, shape)
                               : decode_batch<false>(&r, part, nc, units, shape);
            if (!ok) return false;
            // The batch's blocks to samples, then cleared for the next.
            for (u32 c = 0; c < nc; c++) {
                const i16* quant = d->quant[d->comp[c].quant_table];
                i16* batch = (i16*)(work + s.batch[c]);
                u64 blocks = (u64)units * s.bw[c];
                for (u32 y = 0; y < s.bh[c]; y++) {
                    i16* row = batch + y * s.batch_row[c];
                    u8* to = samples + s.plane[c] + ((u64)uy * s.bh[c] + y) * 8 * s.stride[c] + (u64)ux0 * s.bw[c] * 8;
                    k->idct_row(row, (u32)blocks, quant, constants, to, s.stride[c]);
                    memset(row, 0, blocks * 128);
                }
            }
        }
        // Rows whose samples are all there: the last one of a unit row
        // needs the next unit row's chroma when chroma is halved down.
        u32 ready = (uy + 1) * s.unit_rows;
        if (s.chroma == CHROMA_H2V2 && uy + 1 < s.down) ready--;
        if (ready > rows) ready = rows;
        for (; done < ready; done++) emit_row(d, &s, mode, samples, work, done, out + (u64)done * stride);
    }
    return r.bits >= r.padding;
}
