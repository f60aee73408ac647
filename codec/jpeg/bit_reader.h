// The entropy decoder's bit reader and symbol reads, shared by the scan
// walks (entropy.cpp) and the direct sequential path (sequential.cpp).
// Everything is inlined into its caller, so that the reader's fields stay
// in registers through the block loops; the rare long code is looked up
// out of line.
#pragma once

#include <string.h>

#include "codec/jpeg/jpeg.h"
#include "codec/jpeg/mask_sse2.h"

// ---- Bit reader ---------------------------------------------------------------------
// `buf` holds `bits` valid bits from its most significant end; the bits below
// them are zero. Past the interval's end, or at a marker, zero bytes are
// supplied and counted in `padding`.

struct BitReader {
    const u8* data;
    u64 pos;
    u64 end;
    u64 buf;
    u32 bits;
    u32 padding;
};

static QB_FORCE_INLINE u64 load_be64_fast(const u8* p) {
    u64 v;
    memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}

static QB_FORCE_INLINE bool has_ff_byte(u64 v) {
    u64 t = ~v;
    return ((t - 0x0101010101010101ull) & ~t & 0x8080808080808080ull) != 0;
}

// Inlined like the rest of the reader, so the reader's fields stay in
// registers through the block loops instead of living on the stack.
static QB_FORCE_INLINE void refill_careful(BitReader* r) {
    while (r->bits < 49) {
        u32 byte = 0;
        if (r->pos < r->end) {
            byte = r->data[r->pos];
            if (byte != 0xFF) {
                r->pos++;
            } else if (r->pos + 1 < r->end && r->data[r->pos + 1] == 0) {
                r->pos += 2;
            } else {
                byte = 0;
                r->padding += 8;
            }
        } else {
            r->padding += 8;
        }
        r->buf |= (u64)byte << (56 - r->bits);
        r->bits += 8;
    }
}

// Fills to at least 49 bits: 8 bytes at once while no 0xFF is among them.
static QB_FORCE_INLINE void refill(BitReader* r) {
    if (r->end - r->pos >= 8) {
        u64 v = load_be64_fast(r->data + r->pos);
        if (!has_ff_byte(v)) {
            u32 k = (63 - r->bits) >> 3;
            r->buf |= (v >> r->bits) & (~(u64)0 << (64 - r->bits - 8 * k));
            r->bits += 8 * k;
            r->pos += k;
            return;
        }
    }
    refill_careful(r);
}

static QB_FORCE_INLINE u32 get_bits(BitReader* r, u32 n) {
    if (n == 0) return 0;
    if (r->bits < n) refill(r);
    u32 v = (u32)(r->buf >> (64 - n));
    r->buf <<= n;
    r->bits -= n;
    return v;
}

// The lookup entry of the next symbol, its code dropped; 0 for a bit
// pattern that is no code of the table. Needs 16 buffered bits.
// A code longer than the lookup's 9 bits, found from the limits: its entry
// with the magnitude size still to read, or 0. Kept out of line so the hot
// loops stay small.
static inline __attribute__((noinline)) u32 long_code_entry(u64 buf, const JpegHuffman* t, bool is_dc) {
    u32 top = (u32)(buf >> 48);
    u32 len = 10;
    while (len <= 16 && top >= t->limit[len]) len++;
    if (len > 16) return 0;
    i32 index = (i32)(top >> (16 - len)) + t->offset[len];
    if (index < 0 || index >= (i32)t->count) return 0;
    u32 sym = t->symbols[index];
    u32 run = is_dc ? 0 : sym >> 4;
    u32 size = is_dc ? sym : sym & 15;
    return (len + size) | (run << 5) | (size << 9) | (size ? 1u << 13 : 0);
}

static QB_FORCE_INLINE u32 decode_symbol(BitReader* r, const JpegHuffman* t, bool is_dc) {
    u32 e = t->lookup[r->buf >> 55];
    if (__builtin_expect((e & 31) == 0, 0)) {
        e = long_code_entry(r->buf, t, is_dc);
        if (e == 0) return 0;
    }
    // The code alone: the magnitude bits still to read stay.
    u32 n = (e & 31) - ((e >> 9) & 15);
    r->buf <<= n;
    r->bits -= n;
    return e;
}

// One symbol whole, code and magnitude bits, with no branch on whether the
// lookup entry folded the value in: the magnitude bits (none for a folded
// entry, whose size field is 0) are taken from the top of the buffer after
// the code, and their first bit tells the sign. Returns the entry (0 for no
// code) and the coefficient value through `value`. Needs 32 buffered bits;
// a symbol takes at most 16 + 15.
static QB_FORCE_INLINE u32 decode_whole(BitReader* r, const JpegHuffman* t, bool is_dc, i32* value) {
    u32 e = t->lookup[r->buf >> 55];
    if (__builtin_expect((e & 31) == 0, 0)) {
        e = long_code_entry(r->buf, t, is_dc);
        if (e == 0) return 0;
    }
    // The whole symbol leaves the buffer in one shift; the magnitude bits
    // are read beside it, off that dependency chain.
    u32 total = e & 31;
    u32 s = (e >> 9) & 15;
    u64 b = r->buf << (total - s);
    u64 raw = (b >> 1) >> (63 - s);
    i32 negative = (i32)~((i64)b >> 63);  // all ones when the first magnitude bit is 0
    r->buf <<= total;
    r->bits -= total;
    *value = (i32)(i16)(u16)(e >> 16) + (i32)raw + (negative & (1 - (1 << s)));
    return e;
}

// The coefficient value of an entry: folded in, or read and extended here.
static QB_FORCE_INLINE i32 entry_value(BitReader* r, u32 e) {
    u32 s = (e >> 9) & 15;
    if (s == 0) return (i32)e >> 16;
    i32 v = (i32)(r->buf >> (64 - s));
    r->buf <<= s;
    r->bits -= s;
    if (v < (1 << (s - 1))) v += 1 - (1 << s);
    return v;
}

// ---- Blocks ------------------------------------------------------------------------

// The block's coefficients are written, after zeroing the block when
// `clear` is set.
static QB_FORCE_INLINE u32 decode_block_sequential(BitReader* r, const JpegHuffman* dc, const JpegHuffman* ac,
                                                   i32* pred, i16* block, bool clear, const u8* zz) {
    if (clear) memset(block, 0, 128);
    if (r->bits < 32) refill(r);
    i32 v;
    u32 e = decode_whole(r, dc, true, &v);
    if (e == 0) return JPEG_BAD_DATA;
    *pred = (i16)(u16)((u32)*pred + (u32)v);
    block[0] = (i16)*pred;
    u32 k = 1;
    while (k < 64) {
        if (r->bits < 32) refill(r);
        e = decode_whole(r, ac, false, &v);
        if (e == 0) return JPEG_BAD_DATA;
        u32 run = (e >> 5) & 15;
        if (e & (1u << 13)) {
            k += run;
            if (k > 63) return JPEG_BAD_DATA;
            block[zz[k]] = (i16)v;
            k++;
        } else {
            if (run != 15) break;
            k += 16;
        }
    }
    return 0;
}

// The sequential block from the wide table: the same symbols and checks
// as decode_block_sequential, with an AC symbol that fits the wide table, and
// often the one after it, taken whole from it (value and positions ready);
// any other comes from the 9-bit lookup. Two symbols at once skip the
// refill point between them, so a fault's offset can differ from the plain
// walk's: a caller that reports offsets decodes a failed interval again by
// that walk.
static QB_FORCE_INLINE u32 decode_block_wide(BitReader* r, const JpegHuffman* dc, const JpegHuffman* ac,
                                             const u64* wide, i32* pred, i16* block, bool clear, const u8* zz) {
    if (clear) jpeg_clear_block_sse2(block);
    if (r->bits < 32) refill(r);
    i32 v;
    u32 e1 = decode_whole(r, dc, true, &v);
    if (e1 == 0) return JPEG_BAD_DATA;
    *pred = (i16)(u16)((u32)*pred + (u32)v);
    block[0] = (i16)*pred;
    u32 k = 1;
    for (;;) {
        if (r->bits < 32) refill(r);
        u64 e = wide[r->buf >> (64 - JPEG_WIDE_BITS)];
        u32 n = (u32)e & 63;
        if (__builtin_expect(n == 0, 0)) {
            e1 = decode_whole(r, ac, false, &v);
            if (e1 == 0) return JPEG_BAD_DATA;
            u32 run = (e1 >> 5) & 15;
            if (e1 & (1u << 13)) {
                k += run;
                if (k > 63) return JPEG_BAD_DATA;
                block[zz[k]] = (i16)v;
                k++;
            } else {
                if (run != 15) return 0;
                k += 16;
            }
            if (k >= 64) return 0;
            continue;
        }
        u64 before = r->buf;
        r->buf <<= n;
        r->bits -= n;
        k += (u32)(e >> 8) & 255;
        if (__builtin_expect(!(e & JPEG_WIDE_VALUE), 0)) {
            if ((e & 0xFF00) == 0 || k >= 64) return 0;
            continue;
        }
        if (__builtin_expect(k >= 64, 0)) {
            if (k > 64) return JPEG_BAD_DATA;
            block[zz[63]] = (i16)(u16)(e >> 16);
            if (e & JPEG_WIDE_PAIR) {
                // The second symbol belongs to the next block.
                u32 n1 = (u32)(e >> 32) & 63;
                r->bits += n - n1;
                r->buf = before << n1;
            }
            return 0;
        }
        block[zz[k - 1]] = (i16)(u16)(e >> 16);
        // The second value, or the first again at its own position: no
        // branch on whether the entry held two symbols.
        k += (u32)(e >> 40) & 255;
        if (__builtin_expect(k >= 64, 0)) {
            if (k > 64) return JPEG_BAD_DATA;
            block[zz[63]] = (i16)(u16)(e >> 48);
            return 0;
        }
        block[zz[k - 1]] = (i16)(u16)(e >> 48);
        if (e & JPEG_WIDE_END) return 0;
    }
}
