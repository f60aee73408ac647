// The lossy decoder's driver: the scratch layout sized from the frame's
// dimensions alone, the macroblock-row loop (modes, coefficients,
// reconstruction, loop filter) into the Y, U and V planes, which stay in
// the scratch (vp8_yuv.cpp converts any rectangle of them to RGBA).
// A partition that runs out before the last macroblock that reads it fails
// the frame ("truncated" at that partition's end); nothing is ever shown
// of an incomplete frame.
#include "codec/webp/vp8.h"

static constexpr i64 S = VP8_WORK_STRIDE;
static constexpr u32 Y_AT = VP8_WORK_Y;
static constexpr u32 U_AT = VP8_WORK_U;
static constexpr u32 V_AT = VP8_WORK_V;

// ---- Layout -----------------------------------------------------------------

void vp8_layout(u32 w, u32 h, Vp8Layout* l) {
    u64 mb_w = ((u64)w + 15) >> 4;
    u64 mb_h = ((u64)h + 15) >> 4;
    u64 at = align64(sizeof(Vp8Decoder));
    auto piece = [&at](u64 bytes) {
        u64 start = at;
        at = align64(at + bytes);
        return start;
    };
    l->modes = piece(mb_w * sizeof(Vp8MbModes));
    l->intra_top = piece(4 * mb_w);
    l->nz_top = piece(mb_w);
    l->nz_dc_top = piece(mb_w);
    l->top_y = piece(16 * mb_w);
    l->top_u = piece(8 * mb_w);
    l->top_v = piece(8 * mb_w);
    l->filter = piece(mb_w * sizeof(Vp8FilterInfo));
    l->y_stride = 16 * mb_w;
    l->uv_stride = 8 * mb_w;
    l->y = piece(l->y_stride * 16 * mb_h);
    l->u = piece(l->uv_stride * 8 * mb_h);
    l->v = piece(l->uv_stride * 8 * mb_h);
    l->end = at;
}

u64 vp8_scratch_bytes(u32 w, u32 h) {
    Vp8Layout l;
    vp8_layout(w, h, &l);
    return l.end + VP8_SCRATCH_SPARE;
}

// ---- Reconstruction ---------------------------------------------------------------

// The edges of the work area: the unfiltered row above (kept aside), the
// column to the left (the previous macroblock's, still in the work area),
// and the constants outside the frame.
static void load_edges(Vp8Decoder* d, u8* scratch, u32 x, u32 y) {
    const Vp8Layout& l = d->layout;
    u8* yw = d->work + Y_AT;
    u8* uw = d->work + U_AT;
    u8* vw = d->work + V_AT;
    const u8* top_y = scratch + l.top_y + 16 * (u64)x;
    const u8* top_u = scratch + l.top_u + 8 * (u64)x;
    const u8* top_v = scratch + l.top_v + 8 * (u64)x;
    if (y == 0) {
        memset(yw - S - 1, 127, 21);
        memset(uw - S - 1, 127, 9);
        memset(vw - S - 1, 127, 9);
    } else {
        memcpy(yw - S, top_y, 16);
        memcpy(uw - S, top_u, 8);
        memcpy(vw - S, top_v, 8);
        if (x + 1 < d->mb_w) {
            memcpy(yw - S + 16, top_y + 16, 4);
        } else {
            memset(yw - S + 16, top_y[15], 4);
        }
        yw[-S - 1] = x == 0 ? 129 : top_y[-1];
        uw[-S - 1] = x == 0 ? 129 : top_u[-1];
        vw[-S - 1] = x == 0 ? 129 : top_v[-1];
    }
    for (u32 k = 3; k < 12; k += 4) memcpy(yw + k * S + 16, yw - S + 16, 4);
    if (x == 0) {
        for (u32 r = 0; r < 16; r++) yw[r * S - 1] = 129;
        for (u32 r = 0; r < 8; r++) uw[r * S - 1] = vw[r * S - 1] = 129;
    } else {
        // The macroblock to the left is still in the work area, unfiltered:
        // its right column becomes the left one.
#pragma GCC unroll 16
        for (u32 r = 0; r < 16; r++) yw[r * S - 1] = yw[r * S + 15];
#pragma GCC unroll 8
        for (u32 r = 0; r < 8; r++) {
            uw[r * S - 1] = uw[r * S + 7];
            vw[r * S - 1] = vw[r * S + 7];
        }
    }
}

// Reconstruction is split around the tokens. The predictions that need no
// residue (16 x 16 luma, chroma) are made before the macroblock's tokens
// are read, and a 4 x 4 luma block is predicted with its residue as soon as
// its tokens are read (in vp8_parse_residuals): that work does not wait for
// the bool decoder's long chain of dependent steps, so the processor runs
// it beside that chain rather than after it (about 4 % of the whole decode
// on the Kodak photos).
static void predict(Vp8Decoder* d, u32 x, u32 y, const Vp8MbModes* m) {
    const Vp8Kernels* k = vp8_kernels();
    if (!m->is_i4x4) k->predict_luma16(d->work + Y_AT, m->y_mode, y > 0, x > 0);
    k->predict_chroma8(d->work + U_AT, m->uv_mode, y > 0, x > 0);
    k->predict_chroma8(d->work + V_AT, m->uv_mode, y > 0, x > 0);
}

// Once the tokens are read (which added the residues): the 4 x 4 luma
// blocks of a skipped macroblock, and the macroblock into the planes.
static void reconstruct(Vp8Decoder* d, u8* scratch, u32 x, u32 y, const Vp8MbModes* m, bool residue) {
    const Vp8Layout& l = d->layout;
    const Vp8Kernels* k = vp8_kernels();
    u8* yw = d->work + Y_AT;
    u8* uw = d->work + U_AT;
    u8* vw = d->work + V_AT;
    i16* c = d->coeffs;
    if (m->is_i4x4) {
        // Predicted with their residues as their tokens were read, unless
        // the macroblock was skipped.
        for (u32 n = 0; !residue && n < 16; n++) {
            k->luma4_add(yw + (n >> 2) * 4 * S + (n & 3) * 4, m->modes[n], 0, c + 16 * n);
        }
    }
    // The residues of the rest were added as the tokens were read.
    // The strides in locals: the stores could otherwise alias the layout,
    // which would be read again for every row.
    const u64 ys = l.y_stride, cs = l.uv_stride;
    u8* py = scratch + l.y + 16 * (u64)y * ys + 16 * (u64)x;
    u8* pu = scratch + l.u + 8 * (u64)y * cs + 8 * (u64)x;
    u8* pv = scratch + l.v + 8 * (u64)y * cs + 8 * (u64)x;
#pragma GCC unroll 16
    for (u32 r = 0; r < 16; r++) memcpy(py + r * ys, yw + r * S, 16);
#pragma GCC unroll 8
    for (u32 r = 0; r < 8; r++) {
        memcpy(pu + r * cs, uw + r * S, 8);
        memcpy(pv + r * cs, vw + r * S, 8);
    }
}

// ---- Rows ----------------------------------------------------------------------

static bool decode_row(Vp8Decoder* d, u8* scratch, u32 y, CodecError* err) {
    const Vp8Layout& l = d->layout;
    vp8_parse_modes(d, scratch);
    if (d->br.eof) return fail(err, ERR_TRUNCATED, d->file_offset + d->first_end);
    u32 part = y & (d->part_count - 1);
    Vp8Bits* tokens = &d->parts[part];
    const Vp8MbModes* modes = (const Vp8MbModes*)(scratch + l.modes);
    Vp8FilterInfo* filter = (Vp8FilterInfo*)(scratch + l.filter);
    u8* nz_top = scratch + l.nz_top;
    u8* nz_dc_top = scratch + l.nz_dc_top;
    d->nz_left = 0;
    d->nz_dc_left = 0;
    Vp8ParseResidualsFn parse_residuals = vp8_kernels()->parse_residuals;
    for (u32 x = 0; x < d->mb_w; x++) {
        const Vp8MbModes* m = &modes[x];
        bool empty = true;
        load_edges(d, scratch, x, y);
        predict(d, x, y, m);
        if (!m->skip) {
            empty = parse_residuals(d, scratch, x, m, tokens, m->is_i4x4 ? d->work + Y_AT : nullptr);
        } else {
            nz_top[x] = 0;
            d->nz_left = 0;
            if (!m->is_i4x4) nz_dc_top[x] = d->nz_dc_left = 0;
        }
        if (tokens->eof) return fail(err, ERR_TRUNCATED, d->file_offset + d->part_end[part]);
        Vp8FilterInfo f = d->filters[m->segment][m->is_i4x4];
        f.inner |= (u8)!empty;
        filter[x] = f;
        reconstruct(d, scratch, x, y, m, !m->skip);
    }
    // The unfiltered bottom rows for the prediction of the next row.
    if (y + 1 < d->mb_h) {
        memcpy(scratch + l.top_y, scratch + l.y + (16 * (u64)y + 15) * l.y_stride, l.y_stride);
        memcpy(scratch + l.top_u, scratch + l.u + (8 * (u64)y + 7) * l.uv_stride, l.uv_stride);
        memcpy(scratch + l.top_v, scratch + l.v + (8 * (u64)y + 7) * l.uv_stride, l.uv_stride);
    }
    if (d->filter_type == VP8_FILTER_NONE) return true;
    const Vp8Kernels* k = vp8_kernels();
    for (u32 x = 0; x < d->mb_w; x++) {
        const Vp8FilterInfo* f = &filter[x];
        if (f->limit == 0) continue;
        u8* py = scratch + l.y + 16 * (u64)y * l.y_stride + 16 * (u64)x;
        if (d->filter_type == VP8_FILTER_SIMPLE) {
            k->filter_simple(py, l.y_stride, f, x > 0, y > 0);
        } else {
            u8* pu = scratch + l.u + 8 * (u64)y * l.uv_stride + 8 * (u64)x;
            u8* pv = scratch + l.v + 8 * (u64)y * l.uv_stride + 8 * (u64)x;
            k->filter_normal(py, pu, pv, l.y_stride, l.uv_stride, f, x > 0, y > 0);
        }
    }
    return true;
}

// ---- Entry point ------------------------------------------------------------------

// The frame header, checked against the container's size; the record is
// ready for the first macroblock row.
static bool begin_frame(const u8* data, u64 payload_pos, u64 available, u8* scratch, u64 scratch_size, u32 width,
                        u32 height, CodecError* err) {
    // From here on the payload is every byte available.
    u64 payload_size = available;
    error_clear(err);
    const u8* payload = data + payload_pos;
    if (payload_size < 10) return fail(err, ERR_TRUNCATED, payload_pos + payload_size);
    u32 w = load_le16(payload, payload_size, 6) & 0x3FFF;
    u32 h = load_le16(payload, payload_size, 8) & 0x3FFF;
    if (w == 0 || h == 0 || w != width || h != height) return fail(err, ERR_BAD_HEADER, payload_pos + 6);
    Vp8Layout layout;
    vp8_layout(w, h, &layout);
    // The whole of vp8_scratch_bytes, the spare bytes included.
    if (scratch == nullptr || scratch_size < layout.end + VP8_SCRATCH_SPARE || ((uintptr_t)scratch & 15) != 0) {
        return fail(err, ERR_BAD_TARGET, 0);
    }
    if (payload[3] != 0x9D || payload[4] != 0x01 || payload[5] != 0x2A) {
        return fail(err, ERR_BAD_HEADER, payload_pos + 3);
    }
    Vp8Decoder* d = (Vp8Decoder*)scratch;
    memset(d, 0, sizeof *d);
    d->magic = VP8_MAGIC;
    d->width = w;
    d->height = h;
    d->mb_w = (w + 15) >> 4;
    d->mb_h = (h + 15) >> 4;
    d->file_offset = payload_pos;
    d->payload_size = payload_size;
    d->layout = layout;
    memset(scratch + layout.intra_top, 0, 4 * (u64)d->mb_w);
    memset(scratch + layout.nz_top, 0, d->mb_w);
    memset(scratch + layout.nz_dc_top, 0, d->mb_w);
    return vp8_parse_header(d, payload, err);
}

// With `out`, rows are converted as soon as nothing can change them any
// more, while they are still in the cache (see vp8_rows_final).
static bool decode_rows(u8* scratch, u32 count, const PixelBuffer* out, CodecError* err) {
    Vp8Decoder* d = (Vp8Decoder*)scratch;
    for (u32 n = 0; n < count && d->next_row < d->mb_h; n++) {
        if (!decode_row(d, scratch, d->next_row, err)) {
            // A failed frame stays failed: no later row is decoded.
            d->failed = 1;
            return false;
        }
        d->next_row++;
        if (out == nullptr) continue;
        u32 ready = vp8_rows_final(scratch);
        if (ready > d->emitted) {
            PixelBuffer rows = {out->pixels + (u64)d->emitted * out->stride, out->stride, d->width, ready - d->emitted};
            vp8_output_rect(scratch, 0, d->emitted, d->width, ready - d->emitted, &rows);
            d->emitted = ready;
        }
    }
    return true;
}

bool vp8_decode(const u8* data, u64 payload_pos, u64 available, u8* scratch, u64 scratch_size,
                const PixelBuffer* out, CodecError* err) {
    return begin_frame(data, payload_pos, available, scratch, scratch_size, out->width, out->height, err) &&
           decode_rows(scratch, ~0u, out, err);
}

bool vp8_decode_planes(const u8* data, u64 payload_pos, u64 available, u8* scratch, u64 scratch_size, u32 width,
                       u32 height, CodecError* err) {
    return begin_frame(data, payload_pos, available, scratch, scratch_size, width, height, err) &&
           decode_rows(scratch, ~0u, nullptr, err);
}

bool vp8_begin_planes(const u8* data, u64 payload_pos, u64 available, u8* scratch, u64 scratch_size, u32 width,
                      u32 height, CodecError* err) {
    return begin_frame(data, payload_pos, available, scratch, scratch_size, width, height, err);
}

bool vp8_decode_plane_rows(u8* scratch, u32 count, CodecError* err) {
    const Vp8Decoder* d = (const Vp8Decoder*)scratch;
    error_clear(err);
    if (d->magic != VP8_MAGIC || d->failed) return fail(err, ERR_BAD_TARGET, 0);
    return decode_rows(scratch, count, nullptr, err);
}

// After macroblock row y is filtered, the next row's filter can still
// change luma rows from 16 y + 13 and chroma rows from 8 y + 5, which
// output rows from 16 y + 9 use.
u32 vp8_rows_final(const u8* scratch) {
    const Vp8Decoder* d = (const Vp8Decoder*)scratch;
    if (d->next_row == 0) return 0;
    if (d->next_row >= d->mb_h) return d->height;
    u32 y = d->next_row - 1;
    return 16 * y + 9 < d->height ? 16 * y + 9 : d->height;
}

void vp8_plane_span(u32 w, u32 h, u64* start, u64* end) {
    Vp8Layout l;
    vp8_layout(w, h, &l);
    *start = l.y;
    *end = l.end;
}

void vp8_band_ranges(const u8* scratch, u32 mb_rows, u64 offsets[3], u64 sizes[3]) {
    const Vp8Decoder* d = (const Vp8Decoder*)scratch;
    const Vp8Layout& l = d->layout;
    u32 first = d->next_row < d->mb_h ? d->next_row : d->mb_h;
    u32 rows = d->mb_h - first < mb_rows ? d->mb_h - first : mb_rows;
    offsets[0] = l.y + 16 * (u64)first * l.y_stride;
    sizes[0] = 16 * (u64)rows * l.y_stride;
    offsets[1] = l.u + 8 * (u64)first * l.uv_stride;
    offsets[2] = l.v + 8 * (u64)first * l.uv_stride;
    sizes[1] = sizes[2] = 8 * (u64)rows * l.uv_stride;
}

u32 vp8_plane_rows_left(const u8* scratch) {
    const Vp8Decoder* d = (const Vp8Decoder*)scratch;
    return d->mb_h - d->next_row;
}
