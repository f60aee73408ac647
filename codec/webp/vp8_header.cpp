// The lossy frame's headers and modes: the frame tag and key-frame start
// code, the first partition's header (segmentation, loop filter, token
// partitions, quantisers, coefficient probabilities, the skip flag's
// probability), the per-segment dequantisation factors and filter
// parameters derived from it, and each macroblock row's modes.
#include "codec/webp/vp8.h"

// ---- Frame header -------------------------------------------------------------

static void parse_segments(Vp8Decoder* d, Vp8Bits* br) {
    d->use_segment = (u8)vp8_read(br, 128);
    if (!d->use_segment) return;
    d->update_map = (u8)vp8_read(br, 128);
    if (vp8_read(br, 128)) {  // new feature data
        d->absolute_delta = (u8)vp8_read(br, 128);
        for (u32 s = 0; s < 4; s++) d->quantizer[s] = (i8)(vp8_read(br, 128) ? vp8_read_signed(br, 7) : 0);
        for (u32 s = 0; s < 4; s++) d->filter_strength[s] = (i8)(vp8_read(br, 128) ? vp8_read_signed(br, 6) : 0);
    }
    if (d->update_map) {
        for (u32 s = 0; s < 3; s++) d->segment_probs[s] = (u8)(vp8_read(br, 128) ? vp8_read_literal(br, 8) : 255);
    }
}

static void parse_filter(Vp8Decoder* d, Vp8Bits* br) {
    u32 simple = vp8_read(br, 128);
    d->level = (u8)vp8_read_literal(br, 6);
    d->sharpness = (u8)vp8_read_literal(br, 3);
    d->use_lf_delta = (u8)vp8_read(br, 128);
    if (d->use_lf_delta && vp8_read(br, 128)) {
        for (u32 i = 0; i < 4; i++) {
            if (vp8_read(br, 128)) d->ref_lf_delta[i] = (i8)vp8_read_signed(br, 6);
        }
        for (u32 i = 0; i < 4; i++) {
            if (vp8_read(br, 128)) d->mode_lf_delta[i] = (i8)vp8_read_signed(br, 6);
        }
    }
    d->filter_type = d->level == 0 ? VP8_FILTER_NONE : simple ? VP8_FILTER_SIMPLE : VP8_FILTER_NORMAL;
}

// The token partitions follow the first one: 3-byte sizes of all but the
// last, then the data. A size past the data is cut to what remains; the last
// partition takes the rest and must not be empty.
static bool parse_partitions(Vp8Decoder* d, const u8* payload, u64 start, CodecError* err) {
    u64 size = d->payload_size;
    u32 count = 1u << vp8_read_literal(&d->br, 2);
    u64 sizes = start;
    u64 table = 3 * (u64)(count - 1);
    if (size - start < table) return fail(err, ERR_TRUNCATED, d->file_offset + size);
    u64 at = start + table;
    for (u32 p = 0; p + 1 < count; p++) {
        u64 part = load_le24(payload, size, sizes + 3 * p);
        if (part > size - at) part = size - at;
        vp8_bits_init(&d->parts[p], payload + at, part);
        at += part;
        d->part_end[p] = at;
    }
    if (at >= size) return fail(err, ERR_TRUNCATED, d->file_offset + size);
    vp8_bits_init(&d->parts[count - 1], payload + at, size - at);
    d->part_end[count - 1] = size;
    d->part_count = count;
    return true;
}

static i32 clip_index(i32 q, i32 high) {
    return q < 0 ? 0 : q > high ? high : q;
}

static void parse_quant(Vp8Decoder* d) {
    Vp8Bits* br = &d->br;
    i32 base = (i32)vp8_read_literal(br, 7);
    i32 delta[5];
    for (u32 i = 0; i < 5; i++) delta[i] = vp8_read(br, 128) ? vp8_read_signed(br, 4) : 0;
    // delta: luma DC, second-order DC and AC, chroma DC and AC.
    for (u32 s = 0; s < 4; s++) {
        i32 q = base;
        if (d->use_segment) q = d->quantizer[s] + (d->absolute_delta ? 0 : base);
        Vp8Quant* m = &d->quant[s];
        m->y1[0] = vp8_dc_steps[clip_index(q + delta[0], 127)];
        m->y1[1] = vp8_ac_steps[clip_index(q, 127)];
        m->y2[0] = vp8_dc_steps[clip_index(q + delta[1], 127)] * 2;
        // x * 155 / 100, which equals (x * 101581) >> 16 for every step.
        m->y2[1] = (vp8_ac_steps[clip_index(q + delta[2], 127)] * 101581) >> 16;
        if (m->y2[1] < 8) m->y2[1] = 8;
        m->uv[0] = vp8_dc_steps[clip_index(q + delta[3], 117)];
        m->uv[1] = vp8_ac_steps[clip_index(q + delta[4], 127)];
    }
}

static void parse_probs(Vp8Decoder* d) {
    Vp8Bits* br = &d->br;
    for (u32 t = 0; t < 4; t++) {
        for (u32 b = 0; b < 8; b++) {
            for (u32 c = 0; c < 3; c++) {
                for (u32 p = 0; p < 11; p++) {
                    d->probs[t][b][c][p] = vp8_read(br, vp8_coeff_update_probs[t][b][c][p])
                                               ? (u8)vp8_read_literal(br, 8)
                                               : vp8_default_coeff_probs[t][b][c][p];
                }
            }
        }
    }
    d->use_skip_prob = (u8)vp8_read(br, 128);
    if (d->use_skip_prob) d->skip_prob = (u8)vp8_read_literal(br, 8);
}

// Filter parameters for every segment, with and without 4 x 4 prediction.
static void filter_strengths(Vp8Decoder* d) {
    for (u32 s = 0; s < 4; s++) {
        i32 base = d->level;
        if (d->use_segment) base = d->filter_strength[s] + (d->absolute_delta ? 0 : d->level);
        for (u32 i4 = 0; i4 < 2; i4++) {
            Vp8FilterInfo* f = &d->filters[s][i4];
            i32 level = base;
            if (d->use_lf_delta) level += d->ref_lf_delta[0] + (i4 ? d->mode_lf_delta[0] : 0);
            level = level < 0 ? 0 : level > 63 ? 63 : level;
            *f = Vp8FilterInfo{0, 0, 0, (u8)i4};
            if (level == 0) continue;
            i32 ilevel = level;
            if (d->sharpness > 0) {
                ilevel >>= d->sharpness > 4 ? 2 : 1;
                if (ilevel > 9 - d->sharpness) ilevel = 9 - d->sharpness;
            }
            if (ilevel < 1) ilevel = 1;
            f->ilevel = (u8)ilevel;
            f->limit = (u8)(2 * level + ilevel);
            f->hev = level >= 40 ? 2 : level >= 15 ? 1 : 0;
        }
    }
}

bool vp8_parse_header(Vp8Decoder* d, const u8* payload, CodecError* err) {
    u64 size = d->payload_size;
    u64 at = d->file_offset;
    // The container checked the frame tag, the start code and the sizes.
    if (size < 10) return fail(err, ERR_TRUNCATED, at + size);
    u32 tag = load_le24(payload, size, 0);
    u64 first = tag >> 5;
    if ((tag & 1) || ((tag >> 1) & 7) > 3 || !((tag >> 4) & 1)) return fail(err, ERR_BAD_HEADER, at);
    if (first > size - 10) return fail(err, ERR_BAD_HEADER, at);
    vp8_bits_init(&d->br, payload + 10, first);
    d->first_end = 10 + first;
    d->absolute_delta = 1;
    d->segment_probs[0] = d->segment_probs[1] = d->segment_probs[2] = 255;
    Vp8Bits* br = &d->br;
    vp8_read(br, 128);  // colour space
    vp8_read(br, 128);  // clamping type: pixels are always clamped
    parse_segments(d, br);
    parse_filter(d, br);
    if (br->eof) return fail(err, ERR_TRUNCATED, at + d->first_end);
    if (!parse_partitions(d, payload, d->first_end, err)) return false;
    parse_quant(d);
    vp8_read(br, 128);  // whether the probabilities persist: one frame only
    parse_probs(d);
    filter_strengths(d);
    return true;
}

// ---- Modes ------------------------------------------------------------------------

// The 4 x 4 mode tree: each node's probability index is its position / 2.
static QB_FORCE_INLINE u32 read_bmode(Vp8Bits* br, const u8* p) {
    if (!vp8_read(br, p[0])) return VP8_B_DC;
    if (!vp8_read(br, p[1])) return VP8_B_TM;
    if (!vp8_read(br, p[2])) return VP8_B_VE;
    if (!vp8_read(br, p[3])) {
        if (!vp8_read(br, p[4])) return VP8_B_HE;
        return vp8_read(br, p[5]) ? VP8_B_VR : VP8_B_RD;
    }
    if (!vp8_read(br, p[6])) return VP8_B_LD;
    if (!vp8_read(br, p[7])) return VP8_B_VL;
    return vp8_read(br, p[8]) ? VP8_B_HU : VP8_B_HD;
}

// The 4 x 4 mode a 16 x 16 mode stands for as a neighbour's context.
static const u8 k_context_of_mode[4] = {VP8_B_DC, VP8_B_VE, VP8_B_HE, VP8_B_TM};

// The decoder works on a local copy, kept in registers (the modes' byte
// stores could otherwise alias it), and is stored back at the end.
void vp8_parse_modes(Vp8Decoder* d, u8* scratch) {
    Vp8Bits local = d->br;
    Vp8Bits* br = &local;
    Vp8MbModes* row = (Vp8MbModes*)(scratch + d->layout.modes);
    u8* top_all = scratch + d->layout.intra_top;
    u8* left = d->intra_left;
    memset(left, VP8_B_DC, 4);
    for (u32 x = 0; x < d->mb_w; x++) {
        Vp8MbModes* m = &row[x];
        u8* top = top_all + 4 * x;
        m->segment = 0;
        if (d->update_map) {
            m->segment = (u8)(!vp8_read(br, d->segment_probs[0]) ? vp8_read(br, d->segment_probs[1])
                                                                  : 2 + vp8_read(br, d->segment_probs[2]));
        }
        m->skip = d->use_skip_prob ? (u8)vp8_read(br, d->skip_prob) : 0;
        m->is_i4x4 = (u8)!vp8_read(br, 145);
        if (!m->is_i4x4) {
            u32 mode = vp8_read(br, 156) ? (vp8_read(br, 128) ? VP8_TM_PRED : VP8_H_PRED)
                                         : (vp8_read(br, 163) ? VP8_V_PRED : VP8_DC_PRED);
            m->y_mode = (u8)mode;
            memset(top, k_context_of_mode[mode], 4);
            memset(left, k_context_of_mode[mode], 4);
        } else {
            for (u32 j = 0; j < 4; j++) {
                u32 l = left[j];
                for (u32 i = 0; i < 4; i++) {
                    u32 mode = read_bmode(br, vp8_kf_bmode_probs[top[i]][l]);
                    m->modes[4 * j + i] = (u8)mode;
                    top[i] = (u8)mode;
                    l = mode;
                }
                left[j] = (u8)l;
            }
        }
        m->uv_mode = (u8)(!vp8_read(br, 142)   ? VP8_DC_PRED
                          : !vp8_read(br, 114) ? VP8_V_PRED
                          : vp8_read(br, 183)  ? VP8_TM_PRED
                                               : VP8_H_PRED);
    }
    d->br = local;
}
