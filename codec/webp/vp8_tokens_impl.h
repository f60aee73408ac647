// The coefficient token parser, shared by the baseline build of the lossy
// decoder and its AVX2 build (vp8_avx2.cpp), which inlines its 4 x 4
// prediction kernel into the parser rather than calling it through the
// kernel table: the call would make the parser keep its state on the stack
// around every luma block.
//
// Coefficient tokens: each 4 x 4 block's coefficients are a token tree walk
// whose probabilities depend on the block type, the coefficient's band and
// what came before it (nothing yet, a zero, a one, more). A macroblock
// predicted whole codes its 16 luma DC values as a separate block, undone
// by the inverse WHT. Values are dequantised as they are read and kept as
// 16-bit numbers (an out-of-range product wraps, as it does in libwebp).
// Each block's residue is added to its prediction in the work area while
// the tokens of the blocks after it are read.
#pragma once

#include "codec/webp/vp8.h"

static const u8 k_zigzag[16] = {0, 1, 4, 8, 5, 2, 3, 6, 9, 12, 13, 10, 7, 11, 14, 15};
// The byte offset of each position's band in a block type's probabilities
// (band x 3 contexts x 11), so that finding the next position's
// probabilities is one load and an add; the 17th entry serves the step
// past the end.
static const u8 k_band_at[17] = {0 * 33, 1 * 33, 2 * 33, 3 * 33, 6 * 33, 4 * 33, 5 * 33, 6 * 33, 6 * 33,
                                 6 * 33, 6 * 33, 6 * 33, 6 * 33, 6 * 33, 6 * 33, 7 * 33, 0};

static const u8 k_cat3[] = {173, 148, 140, 0};
static const u8 k_cat4[] = {176, 155, 140, 135, 0};
static const u8 k_cat5[] = {180, 157, 141, 134, 130, 0};
static const u8 k_cat6[] = {254, 254, 243, 230, 196, 177, 153, 140, 133, 130, 129, 0};
static const u8* const k_cat_probs[4] = {k_cat3, k_cat4, k_cat5, k_cat6};

// A magnitude of 2 or more: the token (two to four, or a category) and its
// extra bits.
static QB_FORCE_INLINE i32 read_large(Vp8Bits* br, const u8* p) {
    if (!vp8_read(br, p[3])) {
        if (!vp8_read(br, p[4])) return 2;
        return 3 + (i32)vp8_read(br, p[5]);
    }
    if (!vp8_read(br, p[6])) {
        if (!vp8_read(br, p[7])) return 5 + (i32)vp8_read(br, 159);
        i32 v = 7 + 2 * (i32)vp8_read(br, 165);
        return v + (i32)vp8_read(br, 145);
    }
    u32 high = vp8_read(br, p[8]);
    u32 low = vp8_read(br, p[9 + high]);
    u32 cat = 2 * high + low;
    i32 v = 0;
    for (const u8* t = k_cat_probs[cat]; *t; t++) v = 2 * v + (i32)vp8_read(br, *t);
    return v + 3 + (8 << cat);
}

// Keeps a value computed where it stands: a probability is loaded before
// the bool that decides whether it is needed, so that after a mispredicted
// branch the next bool does not wait for the load.
#define QB_MATERIALISE(v) __asm__("" : "+r"(v))

// Reads the block's tokens from position `n`; returns the position after
// the last token read (the end-of-block position, or 16).

static QB_FORCE_INLINE u32 read_block(Vp8Bits* br, const u8 (*probs)[3][11], u32 ctx, const i32* dq, u32 n, i16* out) {
    const u8* base = &probs[0][0][0];
    const u8* p = base + k_band_at[n] + 11 * ctx;
    const u8* after_zero = base;        // context 0
    const u8* after_one = base + 11;    // context 1
    const u8* after_more = base + 22;   // context 2
    u32 prob0 = p[0];
    for (; n < 16; n++) {
        u32 prob1 = p[1];
        QB_MATERIALISE(prob1);
        if (!vp8_read(br, prob0)) return n;  // end of block
        for (;;) {                           // zeros
            const u8* next = after_zero + k_band_at[n + 1];
            u32 next1 = next[1];
            QB_MATERIALISE(next1);
            if (vp8_read(br, prob1)) break;
            if (++n == 16) return 16;
            p = next;
            prob1 = next1;
        }
        u32 band = k_band_at[n + 1];
        u32 one0 = after_one[band];
        u32 more0 = after_more[band];
        QB_MATERIALISE(one0);
        QB_MATERIALISE(more0);
        // The magnitude is dequantised before its sign is read (a one is
        // the step itself), so that the multiply is off the common path.
        i32 step = dq[n > 0];
        i32 v;
        if (!vp8_read(br, p[2])) {
            v = step;
            p = after_one + band;
            prob0 = one0;
        } else {
            v = read_large(br, p) * step;
            p = after_more + band;
            prob0 = more0;
        }
        out[k_zigzag[n]] = (i16)vp8_read_sign(br, v);
    }
    return 16;
}

#undef QB_MATERIALISE

// How a block read up to position `end` is transformed (block_kind):
// 3 past position 3, 2 past position 1, else whether coefficient 0 is set.
// Without a branch: which it is follows the image, not a pattern.
static QB_FORCE_INLINE u8 block_kind(u32 end, const i16* block) {
    u32 many = 0u - (u32)(end > 1);
    return (u8)((many & (2 + (u32)(end > 3))) | (~many & (u32)(block[0] != 0)));
}

// Each block's coefficients are cleared once added, so that the next
// macroblock finds them zero without clearing all of them.
static QB_FORCE_INLINE void add_residue(const Vp8Kernels* k, u32 kind, i16* c, u8* dst) {
    constexpr i64 S = VP8_WORK_STRIDE;
    if (kind == 3) {
        k->idct_add(c, dst, S);
        memset(c, 0, 32);
    } else if (kind == 2) {
        k->idct_add_ac3(c, dst, S);
        c[0] = c[1] = c[4] = 0;
    } else if (kind == 1) {
        k->idct_add_dc(c, dst, S);
        c[0] = 0;
    }
}

// Two blocks side by side: the full transform of both at once when both
// need it.
static QB_FORCE_INLINE void add_residue_pair(const Vp8Kernels* k, const u8* kinds, i16* c, u8* dst) {
    constexpr i64 S = VP8_WORK_STRIDE;
    if (kinds[0] == 3 && kinds[1] == 3) {
        k->idct_add2(c, dst, S);
        memset(c, 0, 64);
    } else {
        add_residue(k, kinds[0], c, dst);
        add_residue(k, kinds[1], c + 16, dst + 4);
    }
}

// The four blocks of a chroma plane take the full transform together when
// any of them has more than coefficient 0.
static QB_FORCE_INLINE void add_chroma_residue(const Vp8Kernels* k, const u8* kinds, i16* c, u8* dst) {
    constexpr i64 S = VP8_WORK_STRIDE;
    bool full = kinds[0] >= 2 || kinds[1] >= 2 || kinds[2] >= 2 || kinds[3] >= 2;
    if (full) {
        k->idct_add2(c, dst, S);
        k->idct_add2(c + 32, dst + 4 * S, S);
        memset(c, 0, 128);
        return;
    }
    for (u32 n = 0; n < 4; n++) add_residue(k, kinds[n], c + 16 * n, dst + (n >> 1) * 4 * S + (n & 1) * 4);
}

// The token decoder is copied into a local variable for the macroblock, so
// that it lives in registers rather than being stored after every bool.
template <typename Luma4Add>
static QB_FORCE_INLINE bool parse_residuals(Vp8Decoder* d, u8* scratch, u32 mb_x, const Vp8MbModes* m, Vp8Bits* tokens,
                                            u8* luma, Luma4Add luma4_add) {
    Vp8Bits local = *tokens;
    Vp8Bits* br = &local;
    i16* dst = d->coeffs;  // all zero: reconstruction clears what it uses
    const Vp8Quant* q = &d->quant[m->segment];
    u8* nz_top = scratch + d->layout.nz_top + mb_x;
    u8* nz_dc_top = scratch + d->layout.nz_dc_top + mb_x;
    u32 first = 0;
    u32 luma_type = 3;
    if (!m->is_i4x4) {
        i16 dc[16] = {0};
        u32 ctx = *nz_dc_top + d->nz_dc_left;
        u32 end = read_block(br, d->probs[1], ctx, q->y2, 0, dc);
        *nz_dc_top = d->nz_dc_left = end > 0;
        vp8_iwht(dc, dst);
        first = 1;
        luma_type = 0;
    }
    // The blocks in one loop each for luma and chroma, rather than loops
    // of rows and columns, whose short runs the branch predictor misses.
    // `above` holds the non-zero bits of the row above, replaced block by
    // block; `l` the bit of the block to the left.
    u32 any = 0;
    u32 top = *nz_top;
    u32 left = d->nz_left;
    u32 above = top & 15;
    u32 new_left = 0;
    u32 l = 0;
    for (u32 n = 0; n < 16; n++) {
        u32 i = n & 3;
        u32 j = n >> 2;
        l = i == 0 ? (left >> j) & 1 : l;
        i16* block = dst + 16 * n;
        u32 end = read_block(br, d->probs[luma_type], l + ((above >> i) & 1), q->y1, first, block);
        l = end > first;
        above = (above & ~(1u << i)) | (l << i);
        new_left |= (i == 3 ? l : 0) << j;
        u8 kind = block_kind(end, block);
        d->block_kind[n] = kind;
        any |= kind;
        if (luma != nullptr) luma4_add(luma + j * 4 * VP8_WORK_STRIDE + i * 4, m->modes[n], kind, block);
    }
    // The residues of a macroblock predicted whole, then U's, are added
    // while the next blocks' tokens are read (the prediction was made
    // before the tokens), as the 4 x 4 blocks' are.
    const Vp8Kernels* k = vp8_kernels();
    if (luma == nullptr) {
        for (u32 n = 0; n < 16; n += 2) {
            add_residue_pair(k, d->block_kind + n, dst + 16 * n,
                             d->work + VP8_WORK_Y + (n >> 2) * 4 * VP8_WORK_STRIDE + (n & 3) * 4);
        }
    }
    u32 new_top = above;
    // Chroma: U's four blocks, then V's; bits 4 and 5 of the contexts are
    // U's, 6 and 7 V's.
    above = top >> 4;
    for (u32 n = 0; n < 8; n++) {
        u32 i = (n & 1) + (n >> 2) * 2;  // the column's bit: 0, 1 for U, 2, 3 for V
        u32 j = (n >> 1) & 1;
        u32 lb = 4 + (n >> 2) * 2 + j;   // the row's bit among the left contexts
        l = (n & 1) == 0 ? (left >> lb) & 1 : l;
        i16* block = dst + 256 + 16 * n;
        u32 end = read_block(br, d->probs[2], l + ((above >> i) & 1), q->uv, 0, block);
        l = end > 0;
        above = (above & ~(1u << i)) | (l << i);
        new_left |= ((n & 1) ? l : 0) << lb;
        u8 kind = block_kind(end, block);
        d->block_kind[16 + n] = kind;
        any |= kind;
        if (n == 3) add_chroma_residue(k, d->block_kind + 16, dst + 256, d->work + VP8_WORK_U);
    }
    add_chroma_residue(k, d->block_kind + 20, dst + 320, d->work + VP8_WORK_V);
    new_top |= above << 4;
    *nz_top = (u8)new_top;
    d->nz_left = (u8)new_left;
    *tokens = local;
    return !any;
}
