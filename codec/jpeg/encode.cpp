// The encoder's driver: validation, the workspace layout, quantisation
// tables, the pixel pipeline that fills the coefficient store one MCU row at
// a time (colour conversion with edge replication, 2 x 2 downsampling, the
// forward transform of 8 blocks at a time), the DC fill of padding blocks,
// and the file layout with its scan script. Headers are written before the
// pixel work so an output too small for them fails at once.
#include "codec/jpeg/encode.h"

#include <string.h>

// ---- Geometry and workspace ----------------------------------------------------

namespace {

struct EncodeComponent {
    u32 h, v;
    u32 blocks_across;  // MCU-padded
    u32 blocks_down;
    u32 real_across;  // blocks holding image data
    u32 real_down;
    u32 groups;        // groups of 8 blocks across
    u32 store_across;  // groups * 8
    u64 plane_stride;  // full-resolution plane
    u64 down_stride;   // downsampled plane
    u64 plane_offset, down_offset, coef_offset, mask_offset;
};

struct EncodeGeometry {
    u32 h_max, v_max;
    u32 mcus_across, mcus_down;
    u32 padded_width;
    u64 row_offset;
    EncodeComponent c[3];
    u64 total;
    u64 blocks;  // MCU-padded blocks of all components
};

bool side_ok(u32 n) {
    return n >= 1 && n <= JPEG_ENCODE_MAX_SIDE;
}

// Each piece rounded up to 64 bytes: the pixel row buffer, per component a
// full-resolution plane of 8 * v_max rows and a downsampled plane of 8 * v
// rows, then the coefficient stores and the non-zero masks.
void encode_geometry(const JpegEncodeParams* p, EncodeGeometry* g) {
    bool sub = p->sampling_mode == JPEG_SAMPLING_420;
    g->h_max = g->v_max = sub ? 2 : 1;
    g->mcus_across = (u32)ceil_div(p->width, 8 * g->h_max);
    g->mcus_down = (u32)ceil_div(p->height, 8 * g->v_max);
    g->padded_width = g->mcus_across * 8 * g->h_max;
    u64 at = 0;
    g->row_offset = at;
    at += align64((u64)g->padded_width * 4 + 64);
    g->blocks = 0;
    for (u32 i = 0; i < 3; i++) {
        EncodeComponent* c = &g->c[i];
        c->h = c->v = (i == 0 && sub) ? 2 : 1;
        c->blocks_across = g->mcus_across * c->h;
        c->blocks_down = g->mcus_down * c->v;
        c->real_across = (u32)ceil_div(ceil_div((u64)p->width * c->h, g->h_max), 8);
        c->real_down = (u32)ceil_div(ceil_div((u64)p->height * c->v, g->v_max), 8);
        c->groups = (c->blocks_across + 7) / 8;
        c->store_across = c->groups * 8;
        c->plane_stride = (u64)g->padded_width + 64;
        c->down_stride = (u64)c->groups * 64 + 64;
        g->blocks += (u64)c->blocks_across * c->blocks_down;
    }
    for (u32 i = 0; i < 3; i++) {
        EncodeComponent* c = &g->c[i];
        c->plane_offset = at;
        at += align64(8 * g->v_max * c->plane_stride);
    }
    for (u32 i = 0; i < 3; i++) {
        EncodeComponent* c = &g->c[i];
        c->down_offset = at;
        at += align64(8 * c->v * c->down_stride);
    }
    for (u32 i = 0; i < 3; i++) {
        EncodeComponent* c = &g->c[i];
        c->coef_offset = at;
        at += align64((u64)c->store_across * c->blocks_down * 128);
    }
    for (u32 i = 0; i < 3; i++) {
        EncodeComponent* c = &g->c[i];
        c->mask_offset = at;
        at += align64((u64)c->store_across * c->blocks_down * 8);
    }
    g->total = at;
}

}  // namespace

JpegEncodeParams jpeg_encode_params(const JpegEncodeSettings* settings, u32 width, u32 height) {
    JpegEncodeParams p;
    p.width = width;
    p.height = height;
    p.bytes_per_pixel = 4;
    p.quality = settings->quality;
    p.sampling_mode = settings->subsampling == 1 ? JPEG_SAMPLING_444 : JPEG_SAMPLING_420;
    p.progressive = settings->progressive ? 1 : 0;
    return p;
}

u64 jpeg_encode_workspace_bytes(const JpegEncodeSettings* settings, u32 width, u32 height) {
    if (!side_ok(width) || !side_ok(height)) return 0;
    JpegEncodeParams p = jpeg_encode_params(settings, width, height);
    EncodeGeometry g;
    encode_geometry(&p, &g);
    return g.total;
}

u64 jpeg_encode_output_bound(const JpegEncodeSettings* settings, u32 width, u32 height) {
    if (!side_ok(width) || !side_ok(height)) return 0;
    JpegEncodeParams p = jpeg_encode_params(settings, width, height);
    EncodeGeometry g;
    encode_geometry(&p, &g);
    return p.progressive ? g.blocks * 7680 + 49152 : g.blocks * 640 + 4096;
}

ByteSpan jpeg_encode_message(u32 code) {
    switch (code) {
        case JPEG_ENCODE_OK:
            return lit("");
        case JPEG_ENCODE_BAD_WIDTH:
        case JPEG_ENCODE_BAD_HEIGHT:
            return lit("The image is too large for JPEG (65535 pixels at most per side).");
        case JPEG_ENCODE_BAD_QUALITY:
            return lit("Quality must be 1 to 100.");
        case JPEG_ENCODE_OUTPUT_FULL:
            return lit("The encoded file did not fit its buffer.");
        default:
            return lit("The encoder rejected the image.");
    }
}

// ---- Quantisation tables --------------------------------------------------------------

void jpeg_quant_table(u32 quality, u32 table, u8 out[64]) {
    u32 scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
    for (u32 i = 0; i < 64; i++) {
        u32 v = (jpeg_base_quant[table][i] * scale + 50) / 100;
        out[i] = (u8)(v < 1 ? 1 : (v > 255 ? 255 : v));
    }
}

// A reciprocal with 16 + b fraction bits (b: the divisor's top bit) and a
// correction that makes ((m + C) * R) >> r round to nearest like m / D.
void jpeg_quant_divisors(const u8 table[64], JpegQuantDivisors* out) {
    for (u32 i = 0; i < 64; i++) {
        u32 d = 8u * table[i];
        u32 b = 31 - (u32)__builtin_clz(d);
        u32 r = 16 + b;
        u64 one = (u64)1 << r;
        u64 recip = one / d;
        u64 rem = one % d;
        u32 c = d / 2;
        if (rem == 0) {
            recip >>= 1;
            r--;
        } else if (rem <= d / 2) {
            c++;
        } else {
            recip++;
        }
        out->value[i] = table[i];
        out->reciprocal[i] = (u16)recip;
        out->correction[i] = (u16)c;
        out->shift[i] = (u8)r;
        out->scale[i] = (u16)(1u << (32 - r));
        for (u32 l = 0; l < 8; l++) {
            out->lanes[i][0][l] = out->reciprocal[i];
            out->lanes[i][1][l] = out->correction[i];
            out->lanes[i][2][l] = out->scale[i];
        }
    }
    for (u32 p = 0; p < 32; p++) {
        u32 n = 8 * (p / 4) + p % 4;
        for (u32 l = 0; l < 16; l++) {
            u32 at = l < 8 ? n : n + 4;
            out->pairs[p][0][l] = out->reciprocal[at];
            out->pairs[p][1][l] = out->correction[at];
            out->pairs[p][2][l] = out->scale[at];
        }
    }
}

// ---- Pixel pipeline -----------------------------------------------------------------------

namespace {

// Baseline MCUs coded at a time: 128 pixels across at either sampling,
// which is whole groups of 8 blocks in every component.
u32 chunk_mcus(const EncodeGeometry* g) {
    return 16 / g->h_max;
}

struct EncodeJob {
    const JpegEncodeParams* p;
    const EncodeGeometry* g;
    const JpegEncodeKernels* k;
    const u8* pixels;
    u64 stride;
    u8* ws;
    const JpegQuantDivisors* quant[2];
};

u8* plane_row(const EncodeJob* j, u32 ci, u32 row) {
    const EncodeComponent* c = &j->g->c[ci];
    return j->ws + c->plane_offset + row * c->plane_stride;
}

// Converts columns [x0, x1) of image row `y` into row `row` of the three
// full-resolution planes, the pixels past the right edge repeating the last
// one. Whole groups of 8 come straight from the image; the rest goes through
// the row buffer, so no read passes the end of the pixel data. x0 is a
// multiple of 8.
void convert_row(const EncodeJob* j, u32 y, u32 row, u32 x0, u32 x1) {
    const u8* src = j->pixels + (u64)y * j->stride;
    u32 w = j->p->width;
    u32 direct = w & ~7u;
    u8* py = plane_row(j, 0, row);
    u8* pcb = plane_row(j, 1, row);
    u8* pcr = plane_row(j, 2, row);
    u32 split = x1 < direct ? x1 : direct;
    if (split > x0) j->k->rgba_to_ycc(src + 4 * (u64)x0, py + x0, pcb + x0, pcr + x0, split - x0);
    u32 t0 = x0 > direct ? x0 : direct;
    if (t0 >= x1) return;
    u8* buf = j->ws + j->g->row_offset;
    u32 real_end = x1 < w ? x1 : w;
    if (real_end > t0) memcpy(buf, src + 4 * (u64)t0, 4 * (u64)(real_end - t0));
    u32 last;
    memcpy(&last, src + 4 * (u64)(w - 1), 4);
    for (u32 x = real_end > t0 ? real_end : t0; x < x1; x++) memcpy(buf + 4 * (x - t0), &last, 4);
    j->k->rgba_to_ycc(buf, py + t0, pcb + t0, pcr + t0, x1 - t0);
}

// Converts and downsamples MCUs [m0, m1) of MCU row `my` into the sample
// planes. m0 is a multiple of chunk_mcus(), so every component's blocks
// start at a group of 8.
void prepare_mcus(const EncodeJob* j, u32 my, u32 m0, u32 m1) {
    const EncodeGeometry* g = j->g;
    u32 rows = 8 * g->v_max;
    u32 h = j->p->height;
    u32 chroma_rows = g->v_max == 2 ? (h + 1) / 2 : h;
    u32 y0 = my * rows;
    u32 x0 = m0 * 8 * g->h_max, x1 = m1 * 8 * g->h_max;
    for (u32 r = 0; r < rows; r++) {
        if (y0 + r < h) {
            convert_row(j, y0 + r, r, x0, x1);
        } else {
            for (u32 ci = 0; ci < 3; ci++) memcpy(plane_row(j, ci, r) + x0, plane_row(j, ci, r - 1) + x0, x1 - x0);
        }
    }
    for (u32 ci = 0; ci < 3; ci++) {
        const EncodeComponent* c = &g->c[ci];
        if (c->v == g->v_max) continue;
        // 2 x 2: rows of the MCU row below the image repeat the last real
        // downsampled row.
        const u8* src = j->ws + c->plane_offset + x0;
        u64 stride = c->plane_stride;
        u8* down = j->ws + c->down_offset + x0 / 2;
        for (u32 r = 0; r < 8; r++) {
            u8* out = down + r * c->down_stride;
            if (my * 8 + r < chroma_rows) {
                j->k->downsample(src + 2 * r * stride, src + (2 * r + 1) * stride, out, (x1 - x0) / 2);
            } else {
                memcpy(out, out - c->down_stride, (x1 - x0) / 2);
            }
        }
    }
}

// Transforms and quantises MCUs [m0, m1) of the prepared planes into MCU
// row `slot` of the coefficient store.
void transform_mcus(const EncodeJob* j, u32 slot, u32 m0, u32 m1) {
    const EncodeGeometry* g = j->g;
    for (u32 ci = 0; ci < 3; ci++) {
        const EncodeComponent* c = &g->c[ci];
        const u8* src = j->ws + c->plane_offset;
        u64 stride = c->plane_stride;
        if (c->v != g->v_max) {
            src = j->ws + c->down_offset;
            stride = c->down_stride;
        }
        const JpegQuantDivisors* q = j->quant[ci == 0 ? 0 : 1];
        i16* coef = (i16*)(j->ws + c->coef_offset);
        u64* masks = (u64*)(j->ws + c->mask_offset);
        u32 b0 = m0 * c->h, groups = (m1 * c->h - b0 + 7) / 8;
        for (u32 br = 0; br < c->v; br++) {
            u64 block = (u64)(slot * c->v + br) * c->store_across + b0;
            for (u32 gi = 0; gi < groups; gi++) {
                j->k->fdct(src + 8 * br * stride + 8 * b0 + 64 * gi, stride, q, coef + 64 * (block + 8 * gi),
                           masks + block + 8 * gi);
            }
        }
    }
}

void set_dc_block(i16* coef, u64* masks, u64 b, i16 dc) {
    memset(coef + 64 * b, 0, 128);
    coef[64 * b] = dc;
    masks[b] = dc != 0;
}

// Blocks of MCUs [m0, m1) of MCU row `my` (stored at `slot`) wholly outside
// the image: AC zero, DC from the block to the left in block rows with image
// data, and below the image from the last block of the same MCU in the block
// row above (always in the same MCU row: only a component with v = 2 has
// block rows below the image).
void fill_padding(const EncodeJob* j, u32 my, u32 slot, u32 m0, u32 m1) {
    for (u32 ci = 0; ci < 3; ci++) {
        const EncodeComponent* c = &j->g->c[ci];
        i16* coef = (i16*)(j->ws + c->coef_offset);
        u64* masks = (u64*)(j->ws + c->mask_offset);
        u32 b0 = m0 * c->h, b1 = m1 * c->h;
        for (u32 br = 0; br < c->v; br++) {
            u32 by = my * c->v + br;
            u64 row = (u64)(slot * c->v + br) * c->store_across;
            if (by < c->real_down) {
                for (u32 bx = b0 > c->real_across ? b0 : c->real_across; bx < b1; bx++) {
                    set_dc_block(coef, masks, row + bx, coef[64 * (row + bx - 1)]);
                }
            } else {
                u64 above = row - c->store_across;
                for (u32 bx = b0; bx < b1; bx++) {
                    set_dc_block(coef, masks, row + bx, coef[64 * (above + bx / c->h * c->h + c->h - 1)]);
                }
            }
        }
    }
}

// ---- File layout ------------------------------------------------------------------------------

void put16(JpegWriter* w, u32 v) {
    jpeg_put_byte(w, v >> 8);
    jpeg_put_byte(w, v & 0xFF);
}

void write_headers(JpegWriter* w, const JpegEncodeParams* p, const EncodeGeometry* g, const u8 quant[2][64]) {
    static const u8 k_app0[18] = {0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
    jpeg_put_byte(w, 0xFF);
    jpeg_put_byte(w, 0xD8);
    for (u8 b : k_app0) jpeg_put_byte(w, b);
    for (u32 t = 0; t < 2; t++) {
        jpeg_put_byte(w, 0xFF);
        jpeg_put_byte(w, 0xDB);
        put16(w, 67);
        jpeg_put_byte(w, t);
        for (u32 k = 0; k < 64; k++) jpeg_put_byte(w, quant[t][jpeg_zigzag[k]]);
    }
    jpeg_put_byte(w, 0xFF);
    jpeg_put_byte(w, p->progressive ? 0xC2 : 0xC0);
    put16(w, 8 + 3 * 3);
    jpeg_put_byte(w, 8);
    put16(w, p->height);
    put16(w, p->width);
    jpeg_put_byte(w, 3);
    for (u32 i = 0; i < 3; i++) {
        jpeg_put_byte(w, i + 1);
        jpeg_put_byte(w, g->c[i].h * 16 + g->c[i].v);
        jpeg_put_byte(w, i == 0 ? 0 : 1);
    }
}

void write_dht(JpegWriter* w, u32 slot, const u8* dht) {
    u32 symbols = 0;
    for (u32 i = 0; i < 16; i++) symbols += dht[i];
    jpeg_put_byte(w, 0xFF);
    jpeg_put_byte(w, 0xC4);
    put16(w, 3 + 16 + symbols);
    jpeg_put_byte(w, (slot & 1) * 16 + (slot >> 1));
    for (u32 i = 0; i < 16 + symbols; i++) jpeg_put_byte(w, dht[i]);
}

void write_sos(JpegWriter* w, const JpegScanSpec* s) {
    bool dc = s->ss == 0 && s->ah == 0;
    jpeg_put_byte(w, 0xFF);
    jpeg_put_byte(w, 0xDA);
    put16(w, 6 + 2 * s->count);
    jpeg_put_byte(w, s->count);
    for (u32 i = 0; i < s->count; i++) {
        u32 ci = s->component[i];
        u32 table = ci == 0 ? 0 : 1;
        jpeg_put_byte(w, ci + 1);
        jpeg_put_byte(w, (dc ? table * 16 : 0) + (s->se != 0 ? table : 0));
    }
    jpeg_put_byte(w, s->ss);
    jpeg_put_byte(w, s->se);
    jpeg_put_byte(w, s->ah * 16 + s->al);
}

// The slots a scan codes with, in the order their tables are written.
u32 scan_slots(const JpegScanSpec* s, u32 slots[4]) {
    u32 n = 0;
    u32 seen = 0;
    for (u32 i = 0; i < s->count; i++) {
        u32 table = s->component[i] == 0 ? 0 : 1;
        u32 want[2] = {s->ss == 0 && s->ah == 0 ? 2 * table : 4u, s->se != 0 ? 2 * table + 1 : 4u};
        for (u32 slot : want) {
            if (slot < 4 && !(seen & (1u << slot))) {
                seen |= 1u << slot;
                slots[n++] = slot;
            }
        }
    }
    return n;
}

// Components Y = 0, Cb = 1, Cr = 2.
const JpegScanSpec k_baseline_script[1] = {{3, {0, 1, 2}, 0, 63, 0, 0}};
const JpegScanSpec k_progressive_script[10] = {
    {3, {0, 1, 2}, 0, 0, 0, 1}, {1, {0}, 1, 5, 0, 2},  {1, {2}, 1, 63, 0, 1}, {1, {1}, 1, 63, 0, 1},
    {1, {0}, 6, 63, 0, 2},      {1, {0}, 1, 63, 2, 1}, {3, {0, 1, 2}, 0, 0, 1, 0}, {1, {2}, 1, 63, 1, 0},
    {1, {1}, 1, 63, 1, 0},      {1, {0}, 1, 63, 1, 0},
};

bool encode_fail(JpegEncodeResult* result, u32 code) {
    result->code = code;
    result->bytes = 0;
    return false;
}

}  // namespace

// ---- Encoding -------------------------------------------------------------------------------

bool jpeg_encode(ByteSpan pixels, u64 stride, u32 width, u32 height, const JpegEncodeSettings* settings,
                 u8* workspace, u64 workspace_size, u8* output, u64 output_capacity, JpegEncodeResult* result) {
    if (!side_ok(width)) return encode_fail(result, JPEG_ENCODE_BAD_WIDTH);
    if (!side_ok(height)) return encode_fail(result, JPEG_ENCODE_BAD_HEIGHT);
    if (settings->quality < 1 || settings->quality > 100) return encode_fail(result, JPEG_ENCODE_BAD_QUALITY);
    JpegEncodeParams p = jpeg_encode_params(settings, width, height);
    EncodeGeometry g;
    encode_geometry(&p, &g);
    if (workspace == nullptr || workspace_size < g.total) return encode_fail(result, JPEG_ENCODE_SMALL_WORKSPACE);
    u64 row_bytes = (u64)width * p.bytes_per_pixel;
    if (stride < row_bytes) return encode_fail(result, JPEG_ENCODE_BAD_STRIDE);
    // stride <= 2^64 / 65536 keeps stride * (height - 1) in range.
    if (stride > ((u64)1 << 47) || pixels.data == nullptr ||
        pixels.size < stride * (height - 1) + row_bytes) {
        return encode_fail(result, JPEG_ENCODE_SHORT_PIXELS);
    }

    u8 quant[2][64];
    JpegQuantDivisors divisors[2];
    for (u32 t = 0; t < 2; t++) {
        jpeg_quant_table(p.quality, t, quant[t]);
        jpeg_quant_divisors(quant[t], &divisors[t]);
    }
    JpegWriter w = {output, output ? output_capacity : 0, 0, false};
    write_headers(&w, &p, &g, quant);
    if (w.overflow) return encode_fail(result, JPEG_ENCODE_OUTPUT_FULL);

    EncodeJob job = {&p, &g, jpeg_encode_kernels(), pixels.data, stride, workspace, {&divisors[0], &divisors[1]}};
    JpegScanFrame frame;
    frame.mcus_across = g.mcus_across;
    frame.mcus_down = g.mcus_down;
    for (u32 i = 0; i < 3; i++) {
        const EncodeComponent* c = &g.c[i];
        frame.comp[i] = JpegScanComponent{(const i16*)(workspace + c->coef_offset),
                                          (const u64*)(workspace + c->mask_offset),
                                          c->store_across,
                                          c->h,
                                          c->v,
                                          c->real_across,
                                          c->real_down,
                                          i == 0 ? 0u : 1u};
    }
    u8 dht[4][16 + 256];
    u32 codes[4][256];
    for (u32 s = 0; s < 4; s++) {
        const u8* std = jpeg_std_huffman[s];
        u32 n = 0;
        for (u32 i = 0; i < 16; i++) n += std[i];
        memcpy(dht[s], std, 16 + n);
        jpeg_huffman_codes(dht[s], codes[s]);
    }

    if (!p.progressive) {
        // One scan with the standard tables: MCUs are transformed and coded
        // 128 pixels across at a time, so the planes and coefficients of a
        // chunk are still in the first-level cache when they are read back
        // (a whole MCU row of a wide image spills the second level). The
        // store holds one MCU row; the bytes are the same as coding the
        // whole store afterwards.
        const JpegScanSpec* scan = &k_baseline_script[0];
        u32 slots[4];
        u32 used = scan_slots(scan, slots);
        for (u32 i = 0; i < used; i++) write_dht(&w, slots[i], dht[slots[i]]);
        write_sos(&w, scan);
        if (w.overflow) return encode_fail(result, JPEG_ENCODE_OUTPUT_FULL);
        JpegBaselineState state = {{0, 0, 0}, 0, 64};
        JpegBaselineCodes baseline_codes[2][2];
        for (u32 slot = 0; slot < 4; slot++) jpeg_baseline_codes(codes[slot], &baseline_codes[slot >> 1][slot & 1]);
        for (u32 my = 0; my < g.mcus_down; my++) {
            prepare_mcus(&job, my, 0, g.mcus_across);
            for (u32 m0 = 0; m0 < g.mcus_across; m0 += chunk_mcus(&g)) {
                u32 m1 = m0 + chunk_mcus(&g) < g.mcus_across ? m0 + chunk_mcus(&g) : g.mcus_across;
                transform_mcus(&job, 0, m0, m1);
                fill_padding(&job, my, 0, m0, m1);
                JpegScanFrame chunk = frame;
                chunk.mcus_across = m1 - m0;
                chunk.mcus_down = 1;
                for (u32 i = 0; i < 3; i++) {
                    chunk.comp[i].coefficients += 64 * (u64)m0 * chunk.comp[i].h;
                    chunk.comp[i].masks += (u64)m0 * chunk.comp[i].h;
                }
                job.k->baseline_rows(&chunk, baseline_codes, &state, &w);
                if (w.overflow) return encode_fail(result, JPEG_ENCODE_OUTPUT_FULL);
            }
        }
        jpeg_baseline_finish(&state, &w);
        if (w.overflow) return encode_fail(result, JPEG_ENCODE_OUTPUT_FULL);
    } else {
        for (u32 my = 0; my < g.mcus_down; my++) {
            prepare_mcus(&job, my, 0, g.mcus_across);
            transform_mcus(&job, my, 0, g.mcus_across);
            fill_padding(&job, my, my, 0, g.mcus_across);
        }
        for (u32 si = 0; si < 10; si++) {
            const JpegScanSpec* scan = &k_progressive_script[si];
            u32 slots[4];
            u32 used = scan_slots(scan, slots);
            if (used) {
                u64 freq[4][256];
                memset(freq, 0, sizeof freq);
                jpeg_scan_count(&frame, scan, freq);
                for (u32 i = 0; i < used; i++) {
                    if (!jpeg_optimal_huffman(freq[slots[i]], dht[slots[i]])) {
                        return encode_fail(result, JPEG_ENCODE_HUFFMAN);
                    }
                    jpeg_huffman_codes(dht[slots[i]], codes[slots[i]]);
                }
            }
            for (u32 i = 0; i < used; i++) write_dht(&w, slots[i], dht[slots[i]]);
            write_sos(&w, scan);
            jpeg_scan_emit(&frame, scan, codes, &w);
            if (w.overflow) return encode_fail(result, JPEG_ENCODE_OUTPUT_FULL);
        }
    }
    jpeg_put_byte(&w, 0xFF);
    jpeg_put_byte(&w, 0xD9);
    if (w.overflow) return encode_fail(result, JPEG_ENCODE_OUTPUT_FULL);
    result->code = JPEG_ENCODE_OK;
    result->bytes = w.size;
    return true;
}
