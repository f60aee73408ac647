// Internals of the lossless decoder shared by its source files and the tests:
// the decoder record at the start of the scratch memory, the scratch layout,
// the bit reader, the Huffman table format and builder, the transform
// kernels with their vector twins, and the kernel dispatch.
#pragma once

#include <string.h>

#include "codec/webp/webp.h"

// ---- Record and layout ------------------------------------------------------

enum : u32 {
    VP8L_PREDICTOR = 0,
    VP8L_COLOR = 1,
    VP8L_SUBTRACT_GREEN = 2,
    VP8L_COLOR_INDEXING = 3,
};

// "VP8LSTAT" read as a big-endian number.
static constexpr u64 VP8L_MAGIC = 0x5650384C53544154ull;

enum : u32 {
    VP8L_DONE_ENTROPY = 1,
    VP8L_DONE_TRANSFORMS = 2,
};

// Sizes in 32-bit entries. The ARGB image has 16 entries of guard before it
// and 16 after; every sub-image 16 after: back-references copy 16 pixels at
// a time and may write up to 15 past the copy.
enum : u32 {
    VP8L_GUARD = 16,
    VP8L_PALETTE_ENTRIES = 272,
    VP8L_CACHE_ENTRIES = 2048,
    VP8L_USED_WORDS = 1024,      // 65536 bits of used group indices, as u64 words
    VP8L_RANK_ENTRIES = 1024,    // used groups before each word of the bit set
    VP8L_MAX_GROUPS = 65536,
    VP8L_POOL_MIN = 8192,
    VP8L_POOL_MAX = 16777216,
    VP8L_CODES_PER_GROUP = 5,
    VP8L_ROOT_BITS = 8,
};

struct Vp8lTransform {
    u32 type;
    u32 bits;   // block-size bits (predictor, colour) or packing shift (indexing)
    u32 width;  // the image width the inverse transform produces
    u32 pad;
};

// Byte offsets of the pieces from the start of the scratch, each on a
// 64-byte boundary.
struct Vp8lLayout {
    u64 argb;       // the image itself starts VP8L_GUARD entries in
    u64 predictor;
    u64 color;
    u64 entropy;
    u64 palette;
    u64 row;
    u64 cache;
    u64 groups;
    u64 used;
    u64 rank;
    u64 pool;
    u64 pool_entries;
    u64 end;
};

// The bit reader, least significant bit first. Bits above `count` are zero
// or equal to the input bits that follow, so or-ing in a reload is harmless.
// Past the payload it reads zeros; `pos` keeps counting, so the bits
// consumed (8 pos - count) say how far a stream ran past its end.
struct Vp8lBits {
    const u8* data;  // the payload
    u64 size;        // S
    u64 bits;
    u64 pos;         // next payload byte not yet in `bits`
    u32 count;
    u32 pad;
};

struct Vp8lDecoder {
    u64 magic;
    u32 flags;            // VP8L_DONE_*
    u32 transforms_seen;  // bit per transform type
    Vp8lBits br;
    u64 file_offset;      // of the payload, for error reports
    u32 error_code;       // the first error of this decode
    u32 pad0;
    u64 error_offset;
    Vp8lLayout layout;
    u32 width;            // the image's size
    u32 height;
    u32 coded_width;      // after colour indexing packs pixels
    u32 max_groups;
    u32 transform_count;
    u32 pool_used;        // entries of the Huffman pool taken
    Vp8lTransform transforms[4];
};
static_assert(sizeof(Vp8lDecoder) <= VP8L_RECORD_BYTES, "decoder record");

void vp8l_layout(u32 w, u32 h, u64 payload_size, Vp8lLayout* layout);

// ---- Bit reader ---------------------------------------------------------------

// Tops the buffer up to at least 56 bits: 8 bytes at once while 8 remain,
// byte by byte (zeros past the end) after that.
QB_FORCE_INLINE void vp8l_refill(Vp8lBits* br) {
    if (br->pos + 8 <= br->size) {
        u64 v;
        memcpy(&v, br->data + br->pos, 8);
        br->bits |= v << br->count;
        br->pos += (63 - br->count) >> 3;
        br->count |= 56;
        return;
    }
    while (br->count <= 56) {
        u64 byte = br->pos < br->size ? br->data[br->pos] : 0;
        br->bits |= byte << br->count;
        br->pos++;
        br->count += 8;
    }
}

// n <= 32 bits; the caller has refilled.
QB_FORCE_INLINE u32 vp8l_take(Vp8lBits* br, u32 n) {
    u32 v = (u32)(br->bits & ((1ull << n) - 1));
    br->bits >>= n;
    br->count -= n;
    return v;
}

QB_FORCE_INLINE u32 vp8l_read(Vp8lBits* br, u32 n) {
    vp8l_refill(br);
    return vp8l_take(br, n);
}

QB_FORCE_INLINE u64 vp8l_bits_consumed(const Vp8lBits* br) {
    return br->pos * 8 - br->count;
}

// ---- Huffman tables -----------------------------------------------------------
// One 32-bit entry: symbol in bits 16-31 and the code length in bits 0-7 (0
// for a code with a single symbol, which takes no bits). A root entry whose
// low bits exceed 8 links to a second-level table: its bits 16-31 are that
// table's start (entries from the root), bits 8-15 the mask of its index
// and its low bits the index width plus 8. Second-level entries hold the
// length less 8.

// Table room reserved before a code of `alphabet` symbols is read: the
// largest table the builder can make with an 8-bit root (counted over all
// valid length sets, the method of zlib's "enough" tool); the code-length
// code's single-level 7-bit table for alphabets below 20.
u32 vp8l_table_reservation(u32 alphabet);

// Builds the table of a code; returns its size in entries, or 0 when the
// lengths have no used symbol or do not form a complete prefix code (one
// used symbol is always accepted). `root_bits` is 8, or 7 for the
// code-length code (single level). Never writes past `capacity` entries.
u32 vp8l_build_table(const u8* lengths, u32 alphabet, u32 root_bits, u32* table, u32 capacity);

// A symbol from the buffer, its root entry looked up in `peek`: the
// buffer itself, or the buffer as it was before a refill that found at
// least 8 bits in it (a refill ors its bytes in above those, so the low 8
// bits are the same and the lookup need not wait for the refill). The
// shifts take the entry's low 6 bits, which are its length (at most 15,
// bits 8-15 are zero): the shift needs no masking of its own, which keeps
// each lookup's dependency chain to a mask, a load and a shift.
QB_FORCE_INLINE u32 vp8l_read_symbol_peek(const u32* table, Vp8lBits* br, u64 peek) {
    u32 e = table[peek & 0xFF];
    if ((e & 0xFF) > VP8L_ROOT_BITS) {
        br->bits >>= VP8L_ROOT_BITS;
        br->count -= VP8L_ROOT_BITS;
        e = table[(e >> 16) + (br->bits & ((e >> 8) & 0xFF))];
    }
    br->bits >>= (e & 63);
    br->count -= e & 63;
    return e >> 16;
}

QB_FORCE_INLINE u32 vp8l_read_symbol(const u32* table, Vp8lBits* br) {
    return vp8l_read_symbol_peek(table, br, br->bits);
}

// ---- Pixels -------------------------------------------------------------------

// Per-byte sum modulo 256 of two ARGB words.
QB_FORCE_INLINE u32 vp8l_add_pixels(u32 a, u32 b) {
    u32 ag = (a & 0xFF00FF00u) + (b & 0xFF00FF00u);
    u32 rb = (a & 0x00FF00FFu) + (b & 0x00FF00FFu);
    return (ag & 0xFF00FF00u) | (rb & 0x00FF00FFu);
}

// The colour cache's entry for a pixel.
QB_FORCE_INLINE u32 vp8l_cache_slot(u32 argb, u32 shift) {
    return (argb * 0x1E35A7BDu) >> shift;
}

// ---- Kernels ------------------------------------------------------------------
// Every kernel has a scalar twin with the same results, bit for bit.

// ARGB words to RGBA bytes: `count` pixels, rounded up to 8 (source and
// target carry the slack).
typedef void (*Vp8lOutputFn)(const u32* argb, u8* out, u32 count);
// Green added to red and blue: `count` pixels.
typedef void (*Vp8lAddGreenFn)(u32* argb, u32 count);
// The inverse predictor of one run of a row with one mode: `cur[-1]` is the
// left pixel, `up` the row above at the same column.
typedef void (*Vp8lPredictFn)(u32* cur, const u32* up, u32 count);
// The inverse colour transform of `count` pixels with one block's element.
typedef void (*Vp8lColorFn)(u32* argb, u32 count, u32 element);
// Puts `count` pixels into a colour cache of 32 - `shift` bits, in order.
typedef void (*Vp8lCacheInsertFn)(u32* cache, u32 shift, const u32* argb, u64 count);

struct Vp8lKernels {
    Vp8lOutputFn output;
    Vp8lAddGreenFn add_green;
    Vp8lPredictFn predict[16];
    Vp8lColorFn color;
    Vp8lCacheInsertFn cache_insert;
};

enum : u32 { VP8L_KERNELS_SCALAR = 0, VP8L_KERNELS_SSE2 = 1, VP8L_KERNELS_BEST = 2, VP8L_KERNELS_AVX2 = 3 };

const Vp8lKernels* vp8l_kernels();
// Test hook: selects a variant; false when the machine lacks it. The best
// is AVX2 where the CPU has it, else SSE2.
bool vp8l_force_kernels(u32 variant);

void vp8l_output_scalar(const u32* argb, u8* out, u32 count);
void vp8l_output_sse2(const u32* argb, u8* out, u32 count);
void vp8l_output_avx2(const u32* argb, u8* out, u32 count);
void vp8l_add_green_scalar(u32* argb, u32 count);
void vp8l_add_green_sse2(u32* argb, u32 count);
void vp8l_add_green_avx2(u32* argb, u32 count);
void vp8l_color_scalar(u32* argb, u32 count, u32 element);
void vp8l_color_sse2(u32* argb, u32 count, u32 element);
void vp8l_color_avx2(u32* argb, u32 count, u32 element);
void vp8l_cache_insert_scalar(u32* cache, u32 shift, const u32* argb, u64 count);
// The same for a cache of at most 64 entries, from the last pixel back: an
// entry keeps the last pixel that maps to it, so the walk ends once every
// entry has its pixel. For long stretches of pixels and a small cache.
void vp8l_cache_insert_backward(u32* cache, u32 shift, const u32* argb, u64 count);
void vp8l_cache_insert_sse2(u32* cache, u32 shift, const u32* argb, u64 count);
void vp8l_cache_insert_avx2(u32* cache, u32 shift, const u32* argb, u64 count);
extern const Vp8lPredictFn vp8l_predict_scalar[16];
extern const Vp8lPredictFn vp8l_predict_sse2[16];  // null where the scalar twin serves
extern const Vp8lPredictFn vp8l_predict_avx2[16];  // null where the SSE2 (or scalar) twin serves

// Stage 1 over the whole image, in reverse order of the transforms.
void vp8l_inverse_transforms(Vp8lDecoder* d, u8* scratch);
