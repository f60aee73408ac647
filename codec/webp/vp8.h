// Internals of the lossy (VP8 key frame) decoder shared by its source files
// and the tests: the boolean entropy decoder, the decoder record at the start
// of the scratch memory and the scratch layout, the constant tables, and the
// reconstruction, loop-filter and colour-conversion kernels.
//
// The frame is decoded one macroblock row at a time: the row's modes from the
// first partition, then for each macroblock its coefficients from the row's
// token partition and its reconstruction into the frame's Y, U and V planes.
// Intra prediction reads unfiltered pixels, so the bottom row of every
// macroblock row is kept aside (the "top samples") before the loop filter
// runs over the row. The planes stay in the scratch; any rectangle of them
// is converted to RGBA on demand (a whole-frame decode converts each band of
// rows as soon as it is final).
#pragma once

#include <string.h>

#include "codec/webp/webp.h"

// ---- Boolean decoder ----------------------------------------------------------
// `value` holds the undecoded bits: its top 8 + `bits` bits are meaningful,
// the current 8-bit window sits at bit position `bits`. `range` is the
// interval size less one, 127 to 254 between calls (the split then needs no
// correction). Past the end of the data a load sets `eof` once and shifts
// in zeros; a decode that sees `eof` fails.

struct Vp8Bits {
    const u8* next;
    const u8* end;
    u64 value;
    i32 bits;
    u32 range;
    u32 eof;
    u32 pad;
};

// The last bytes one at a time, then zeros. Inline like the rest, so that
// a decoder copied into a local variable stays in registers (a call would
// take its address).
QB_FORCE_INLINE void vp8_bits_load_tail(Vp8Bits* br) {
    if (br->next < br->end) {
        br->value = (br->value << 8) | *br->next++;
        br->bits += 8;
    } else if (!br->eof) {
        br->value <<= 8;
        br->bits += 8;
        br->eof = 1;
    } else {
        br->bits = 0;
    }
}

QB_FORCE_INLINE void vp8_bits_load(Vp8Bits* br) {
    if (__builtin_expect(br->end - br->next >= 8, 1)) {
        u64 v;
        memcpy(&v, br->next, 8);
        v = __builtin_bswap64(v) >> 8;  // 7 bytes, most significant first
        br->next += 7;
        br->value = (br->value << 56) | v;
        br->bits += 56;
    } else {
        vp8_bits_load_tail(br);
    }
}

inline void vp8_bits_init(Vp8Bits* br, const u8* data, u64 size) {
    br->next = data;
    br->end = data + size;
    br->value = 0;
    br->bits = -8;
    br->range = 254;
    br->eof = 0;
    br->pad = 0;
    vp8_bits_load(br);
}

// One bool whose probability of being 0 is prob / 256.
QB_FORCE_INLINE u32 vp8_read(Vp8Bits* br, u32 prob) {
    if (__builtin_expect(br->bits < 0, 0)) vp8_bits_load(br);
    u32 product = br->range * prob;
    u32 split = product >> 8;  // the interval of a 0 is split + 1 long
    u32 window = (u32)(br->value >> br->bits);
    u32 bit;
    u32 range;
    // window > split, tested as product < 256 window (the same, split being
    // product / 256 rounded down; in 64 bits, as damaged data can make the
    // window any 32-bit number): the branch, mispredicted as often as the
    // bools are uncertain, then resolves one step sooner.
    if (product < (u64)window << 8) {
        range = br->range - split;
        br->value -= (u64)(split + 1) << br->bits;
        bit = 1;
    } else {
        range = split + 1;
        bit = 0;
    }
    // Back to 128..255: 7 less the top bit's position (written so that it
    // compiles to a bit scan and an exclusive or, no subtraction).
    u32 shift = 7 ^ (31 ^ (u32)__builtin_clz(range));
    br->range = (range << shift) - 1;
    br->bits -= (i32)shift;
    return bit;
}

// `v` with a sign read at even odds, without a branch (the sign of a
// coefficient is as good as random). With an even split the interval is
// renormalised by exactly one bit: this is vp8_read(br, 128) for every
// range but 254, which only a partition's first read sees.
QB_FORCE_INLINE i32 vp8_read_sign(Vp8Bits* br, i32 v) {
    if (__builtin_expect(br->bits < 0, 0)) vp8_bits_load(br);
    u32 split = br->range >> 1;
    u32 window = (u32)(br->value >> br->bits);
    u32 mask = (u32)((i32)(split - window) >> 31);  // all ones for a 1
    br->value -= (u64)((split + 1) & mask) << br->bits;
    br->range = (br->range + mask) | 1;
    br->bits -= 1;
    return (v ^ (i32)mask) - (i32)mask;
}

// n bits, most significant first, each at even odds.
inline u32 vp8_read_literal(Vp8Bits* br, u32 n) {
    u32 v = 0;
    while (n-- > 0) v = (v << 1) | vp8_read(br, 128);
    return v;
}

// A magnitude of n bits followed by its sign.
inline i32 vp8_read_signed(Vp8Bits* br, u32 n) {
    i32 v = (i32)vp8_read_literal(br, n);
    return vp8_read(br, 128) ? -v : v;
}

// ---- Modes --------------------------------------------------------------------

enum : u8 {  // 16 x 16 luma and 8 x 8 chroma modes
    VP8_DC_PRED = 0,
    VP8_V_PRED = 1,
    VP8_H_PRED = 2,
    VP8_TM_PRED = 3,
};

enum : u8 {  // 4 x 4 luma modes, in the order of the probability tables
    VP8_B_DC = 0,
    VP8_B_TM = 1,
    VP8_B_VE = 2,
    VP8_B_HE = 3,
    VP8_B_LD = 4,
    VP8_B_RD = 5,
    VP8_B_VR = 6,
    VP8_B_VL = 7,
    VP8_B_HD = 8,
    VP8_B_HU = 9,
};

// What the first partition says of one macroblock.
struct Vp8MbModes {
    u8 segment;
    u8 skip;      // coefficients skipped
    u8 is_i4x4;
    u8 uv_mode;
    u8 y_mode;    // the 16 x 16 mode when !is_i4x4
    u8 modes[16]; // 4 x 4 modes in raster order when is_i4x4
    u8 pad[3];
};

struct Vp8Quant {
    i32 y1[2];  // dc, ac
    i32 y2[2];
    i32 uv[2];
};

// Loop-filter parameters of a macroblock; limit 0: not filtered.
struct Vp8FilterInfo {
    u8 limit;
    u8 ilevel;
    u8 hev;
    u8 inner;
};

// ---- Record and layout ----------------------------------------------------------

// "VP8 DECO" read as a big-endian number.
static constexpr u64 VP8_MAGIC = 0x5650382044454F43ull;

enum : u32 {
    VP8_MAX_PARTITIONS = 8,
    VP8_WORK_STRIDE = 32,
    VP8_WORK_BYTES = 26 * 32,
    VP8_WORK_Y = 1 * 32 + 4,    // luma: row -1 at work row 0, column -1 at 3
    VP8_WORK_U = 18 * 32 + 4,   // row -1 at work row 17
    VP8_WORK_V = 18 * 32 + 20,
    VP8_FILTER_NONE = 0,
    VP8_FILTER_SIMPLE = 1,
    VP8_FILTER_NORMAL = 2,
    // Spare bytes after the planes: the AVX2 loop filter reads (never
    // writes) up to 4 bytes past the last chroma row.
    VP8_SCRATCH_SPARE = 64,
};

// Byte offsets from the start of the scratch, each on a 64-byte boundary.
struct Vp8Layout {
    u64 modes;      // mb_w Vp8MbModes: the current row
    u64 intra_top;  // 4 mb_w: 4 x 4 modes of the row above (contexts)
    u64 nz_top;     // mb_w: non-zero bits of the blocks above (4 Y, 2 U, 2 V)
    u64 nz_dc_top;  // mb_w
    u64 top_y;      // 16 mb_w unfiltered samples of the row above
    u64 top_u;      // 8 mb_w
    u64 top_v;      // 8 mb_w
    u64 filter;     // mb_w Vp8FilterInfo: the current row
    u64 y;          // planes, macroblock-aligned
    u64 u;
    u64 v;
    u64 y_stride;
    u64 uv_stride;
    u64 end;
};

struct Vp8Decoder {
    u64 magic;
    u32 width;
    u32 height;
    u32 mb_w;
    u32 mb_h;
    u64 file_offset;  // of the payload, for error reports
    u64 payload_size;
    Vp8Layout layout;
    Vp8Bits br;  // the first partition
    Vp8Bits parts[VP8_MAX_PARTITIONS];
    u64 part_end[VP8_MAX_PARTITIONS];  // payload offsets of each partition's end
    u64 first_end;
    u32 part_count;
    u8 use_segment;
    u8 update_map;
    u8 absolute_delta;
    u8 filter_type;
    u8 level;
    u8 sharpness;
    u8 use_lf_delta;
    u8 use_skip_prob;
    u8 skip_prob;
    u8 segment_probs[3];
    i8 quantizer[4];
    i8 filter_strength[4];
    i8 ref_lf_delta[4];
    i8 mode_lf_delta[4];
    u8 nz_left;     // non-zero bits of the blocks to the left
    u8 nz_dc_left;
    u8 intra_left[4];
    u8 probs[4][8][3][11];
    Vp8Quant quant[4];
    Vp8FilterInfo filters[4][2];  // segment, is_i4x4
    alignas(16) i16 coeffs[384];  // 16 Y, 4 U, 4 V blocks of the macroblock
    // Per block: 3 more than 3 tokens, 2 two or three, 1 coefficient 0
    // only, 0 nothing to add.
    u8 block_kind[24];
    u32 next_row;  // the next macroblock row to decode
    u32 emitted;   // output rows converted so far (decoding straight to RGBA)
    u8 failed;     // a row failed: the frame decodes no further
    alignas(16) u8 work[VP8_WORK_BYTES];
};

void vp8_layout(u32 w, u32 h, Vp8Layout* layout);

// ---- Tables -----------------------------------------------------------------------

extern const u8 vp8_coeff_update_probs[4][8][3][11];
extern const u8 vp8_default_coeff_probs[4][8][3][11];
extern const u8 vp8_kf_bmode_probs[10][10][9];
extern const u16 vp8_dc_steps[128];
extern const u16 vp8_ac_steps[128];

// ---- Stages -------------------------------------------------------------------------

// The frame header in the first partition and the token partitions; fills
// the record. Faults carry their file offset.
bool vp8_parse_header(Vp8Decoder* d, const u8* payload, CodecError* err);
// The modes of one macroblock row.
void vp8_parse_modes(Vp8Decoder* d, u8* scratch);
// The coefficients of one macroblock into d->coeffs, dequantised; returns
// whether every block is empty (no inner loop filtering needed). With
// `luma` (the work area's luma, for a macroblock of 4 x 4 blocks), each
// luma block is also predicted with its residue added as soon as its
// tokens are read, its coefficients cleared. The residues of the other
// blocks are added to the prediction already in the work area once their
// tokens are read (a whole luma plane's after its 16 blocks, U's after
// U's 4), their coefficients cleared.
bool vp8_parse_residuals(Vp8Decoder* d, u8* scratch, u32 mb_x, const Vp8MbModes* m, Vp8Bits* br, u8* luma);
// The AVX2 build's twin, with the AVX2 4 x 4 kernel inlined (the same
// coefficients and pixels).
bool vp8_parse_residuals_avx2(Vp8Decoder* d, u8* scratch, u32 mb_x, const Vp8MbModes* m, Vp8Bits* br, u8* luma);
typedef bool (*Vp8ParseResidualsFn)(Vp8Decoder* d, u8* scratch, u32 mb_x, const Vp8MbModes* m, Vp8Bits* br,
                                    u8* luma);

// ---- Kernels ---------------------------------------------------------------------------

// Inverse DCT of one 4 x 4 block added to the prediction at `dst`: the full
// transform, the short form for coefficients 0, 1 and 4 only, and the form
// for coefficient 0 only. Which one runs follows the block's token count, as
// in libwebp (they differ only where 16-bit intermediates overflow).
void vp8_idct_add(const i16* in, u8* dst, u64 stride);
void vp8_idct_add_sse2(const i16* in, u8* dst, u64 stride);  // the full transform's twin
// Two blocks side by side, both with the full transform (16 coefficients
// apart, 4 pixels apart).
void vp8_idct_add2(const i16* in, u8* dst, u64 stride);
void vp8_idct_add2_sse2(const i16* in, u8* dst, u64 stride);
void vp8_idct_add_ac3(const i16* in, u8* dst, u64 stride);
void vp8_idct_add_ac3_sse2(const i16* in, u8* dst, u64 stride);
void vp8_idct_add_dc(const i16* in, u8* dst, u64 stride);
void vp8_idct_add_dc_sse2(const i16* in, u8* dst, u64 stride);
// Inverse WHT: the 16 luma DC values into coefficient 0 of each block.
void vp8_iwht(const i16* in, i16* out);
// Intra prediction into the work area; see vp8_predict.cpp for its layout.
void vp8_predict_luma16(u8* dst, u32 mode, bool has_top, bool has_left);
void vp8_predict_chroma8(u8* dst, u32 mode, bool has_top, bool has_left);
// SSE2 twins.
void vp8_predict_luma16_sse2(u8* dst, u32 mode, bool has_top, bool has_left);
void vp8_predict_chroma8_sse2(u8* dst, u32 mode, bool has_top, bool has_left);
void vp8_predict_luma4(u8* dst, u32 mode);
// SSE2 twin; reads up to 16 bytes from the corner above the block, so the
// work area keeps that much room on every row.
void vp8_predict_luma4_sse2(u8* dst, u32 mode);
// A 4 x 4 block's prediction and its residue by the transform of its kind
// (block_kind: 0 none, 1 coefficient 0 only, 2 the short form, 3 the full
// transform) in one step, the coefficients it used cleared, with an SSE2
// twin that keeps the prediction in registers.
void vp8_luma4_add(u8* dst, u32 mode, u32 kind, i16* in);
void vp8_luma4_add_sse2(u8* dst, u32 mode, u32 kind, i16* in);
// The AVX2 set's twin: the prediction by byte shuffles, without a branch on
// the mode.
void vp8_luma4_add_avx2(u8* dst, u32 mode, u32 kind, i16* in);

// Loop filters over one macroblock in the planes (every edge it owns: the
// left and top ones when `left` and `top`, the inner ones when f->inner),
// with SSE2 twins.
typedef void (*Vp8SimpleFilterFn)(u8* y, u64 stride, const Vp8FilterInfo* f, bool left, bool top);
typedef void (*Vp8NormalFilterFn)(u8* y, u8* u, u8* v, u64 y_stride, u64 uv_stride, const Vp8FilterInfo* f,
                                  bool left, bool top);
void vp8_filter_simple_mb_scalar(u8* y, u64 stride, const Vp8FilterInfo* f, bool left, bool top);
void vp8_filter_simple_mb_sse2(u8* y, u64 stride, const Vp8FilterInfo* f, bool left, bool top);
void vp8_filter_normal_mb_scalar(u8* y, u8* u, u8* v, u64 y_stride, u64 uv_stride, const Vp8FilterInfo* f,
                                 bool left, bool top);
void vp8_filter_normal_mb_sse2(u8* y, u8* u, u8* v, u64 y_stride, u64 uv_stride, const Vp8FilterInfo* f,
                               bool left, bool top);
// The chroma edges filtered in the same registers as luma ones. It reads
// (never writes) the 4 pixels before each row of the macroblock, left edge
// or not, and up to 4 pixels past each chroma row's 8: the planes sit in the
// scratch after other pieces, with VP8_SCRATCH_SPARE bytes after the last.
void vp8_filter_normal_mb_avx2(u8* y, u8* u, u8* v, u64 y_stride, u64 uv_stride, const Vp8FilterInfo* f,
                               bool left, bool top);

// Upsampling and conversion together, for `pairs` pairs of pixels inside a
// row (neither the row's first pixel nor an even-width row's last): pair i
// is pixels y[2 i] and y[2 i + 1], between chroma columns i and i + 1 of the
// near rows un, vn and the far rows uf, vf, into out[8 i...].
typedef void (*Vp8PairsToRgbaFn)(const u8* y, const u8* un, const u8* uf, const u8* vn, const u8* vf, u8* out,
                                 u32 pairs);
void vp8_pairs_to_rgba_scalar(const u8* y, const u8* un, const u8* uf, const u8* vn, const u8* vf, u8* out,
                              u32 pairs);
void vp8_pairs_to_rgba_sse2(const u8* y, const u8* un, const u8* uf, const u8* vn, const u8* vf, u8* out,
                            u32 pairs);
void vp8_pairs_to_rgba_avx2(const u8* y, const u8* un, const u8* uf, const u8* vn, const u8* vf, u8* out,
                            u32 pairs);
// Two output rows that share their two chroma rows a and b, the first
// nearer a and the second nearer b (rows 2 k + 1 and 2 k + 2): the same
// pixels as two calls of the one-row kernel, which the SIMD twins make with
// the chroma averages common to both rows worked out once.
typedef void (*Vp8PairsToRgba2Fn)(const u8* y0, const u8* y1, const u8* ua, const u8* ub, const u8* va,
                                  const u8* vb, u8* out0, u8* out1, u32 pairs);
void vp8_pairs_to_rgba2_scalar(const u8* y0, const u8* y1, const u8* ua, const u8* ub, const u8* va, const u8* vb,
                               u8* out0, u8* out1, u32 pairs);
void vp8_pairs_to_rgba2_sse2(const u8* y0, const u8* y1, const u8* ua, const u8* ub, const u8* va, const u8* vb,
                             u8* out0, u8* out1, u32 pairs);
void vp8_pairs_to_rgba2_avx2(const u8* y0, const u8* y1, const u8* ua, const u8* ub, const u8* va, const u8* vb,
                             u8* out0, u8* out1, u32 pairs);

// The alpha plane of a lossy image coded losslessly sits in the green
// bytes of the decoded ARGB words (byte 1 of each): into the alpha bytes
// (byte 3) of an RGBA row as they are (no filter), or added to those of the
// row above (the vertical filter), with SSE2 twins.
void alph_green_to_alpha_scalar(const u8* argb, const u8* above, u8* rgba, u32 width);
void alph_green_to_alpha_sse2(const u8* argb, const u8* above, u8* rgba, u32 width);

struct Vp8Kernels {
    Vp8SimpleFilterFn filter_simple;
    Vp8NormalFilterFn filter_normal;
    void (*idct_add)(const i16* in, u8* dst, u64 stride);
    void (*idct_add2)(const i16* in, u8* dst, u64 stride);
    void (*idct_add_ac3)(const i16* in, u8* dst, u64 stride);
    void (*idct_add_dc)(const i16* in, u8* dst, u64 stride);
    void (*predict_luma4)(u8* dst, u32 mode);
    void (*luma4_add)(u8* dst, u32 mode, u32 kind, i16* in);
    void (*predict_luma16)(u8* dst, u32 mode, bool has_top, bool has_left);
    void (*predict_chroma8)(u8* dst, u32 mode, bool has_top, bool has_left);
    Vp8PairsToRgbaFn pairs_to_rgba;
    Vp8PairsToRgba2Fn pairs_to_rgba2;
    Vp8ParseResidualsFn parse_residuals;
};

enum : u32 { VP8_KERNELS_SCALAR = 0, VP8_KERNELS_SSE2 = 1, VP8_KERNELS_AVX2 = 2, VP8_KERNELS_BEST = 3 };

const Vp8Kernels* vp8_kernels();
// The kernels are chosen at first use: the AVX2 set (the SSE2 kernels with
// the AVX2 conversion) where the CPU has AVX2, else SSE2, the x86-64
// baseline. Test hook: selects a variant (BEST: that choice); false, and
// nothing changed, for a variant the CPU lacks.
bool vp8_kernels_supported(u32 variant);
bool vp8_force_kernels(u32 variant);

