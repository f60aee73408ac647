// The TIFF compressions that are not another codec's stream: PackBits, LZW
// (the TIFF flavour: codes most significant bit first, widths changing one
// code early), Deflate handed to our inflate, and the horizontal predictor
// and bit reversal applied around them. Each decompressor fills exactly the
// output it is given, drops anything the stream holds beyond it, and
// reports a stream that ends early as "truncated" at the chunk's end.
#include <string.h>

#include "codec/png/inflate.h"
#include "codec/tiff/tiff.h"

// ---- PackBits ---------------------------------------------------------------

bool tiff_unpack_bits(const u8* src, u64 n, u64 pos, u8* out, u64 size, CodecError* err) {
    u64 i = 0;
    u64 o = 0;
    while (o < size) {
        if (i >= n) return fail(err, ERR_TRUNCATED, pos + n);
        i32 c = (i8)src[i++];
        if (c >= 0) {
            u64 k = (u64)c + 1;
            if (n - i < k) return fail(err, ERR_TRUNCATED, pos + n);
            u64 m = size - o < k ? size - o : k;
            memcpy(out + o, src + i, m);
            i += k;
            o += m;
        } else if (c != -128) {
            u64 k = (u64)(1 - c);
            if (i >= n) return fail(err, ERR_TRUNCATED, pos + n);
            u64 m = size - o < k ? size - o : k;
            memset(out + o, src[i++], m);
            o += m;
        }
    }
    return true;
}

// ---- LZW ----------------------------------------------------------------------

// One string of the table: the code it extends, its length, and its first
// and last bytes. Strings are written from their end back to their start.
struct LzwEntry {
    u16 prefix;
    u16 length;
    u8 first;
    u8 last;
    u16 pad;
};
static_assert(sizeof(LzwEntry) * 4096 == TIFF_LZW_WORK_BYTES, "LZW table size");

enum : u32 { LZW_CLEAR = 256, LZW_END = 257, LZW_FIRST = 258, LZW_LIMIT = 4096 };

// Writes the string of `code` at out[o, o + length), dropping what lies at or
// beyond `size`.
static inline void lzw_emit(const LzwEntry* t, u32 code, u8* out, u64 o, u64 size) {
    u64 end = o + t[code].length;
    u32 c = code;
    if (end <= size) {
        u8* w = out + end;
        while (c >= LZW_FIRST) {
            *--w = t[c].last;
            c = t[c].prefix;
        }
        *--w = (u8)c;
        return;
    }
    u64 at = end;
    while (c >= LZW_FIRST) {
        at--;
        if (at < size) out[at] = t[c].last;
        c = t[c].prefix;
    }
    at--;
    if (at < size) out[at] = (u8)c;
}

bool tiff_lzw(const u8* src, u64 n, u64 pos, u8* work, u8* out, u64 size, CodecError* err) {
    // Streams of the old, least-significant-bit-first flavour start 0x00 0x01.
    if (n >= 2 && src[0] == 0 && (src[1] & 1) != 0) return fail(err, ERR_UNSUPPORTED, pos);
    LzwEntry* t = (LzwEntry*)work;
    for (u32 i = 0; i < 256; i++) t[i] = LzwEntry{0, 1, (u8)i, (u8)i, 0};
    u64 in = 0;
    u64 bits = 0;
    u32 count = 0;
    u32 width = 9;
    u32 next = LZW_FIRST;
    i32 prev = -1;
    u64 o = 0;
    while (o < size) {
        while (count < width) {
            if (in == n) return fail(err, ERR_TRUNCATED, pos + n);
            bits = (bits << 8) | src[in++];
            count += 8;
        }
        count -= width;
        u32 code = (u32)(bits >> count) & ((1u << width) - 1);
        if (code == LZW_END) break;
        if (code == LZW_CLEAR) {
            width = 9;
            next = LZW_FIRST;
            prev = -1;
            continue;
        }
        u32 first;
        if (code < next && code != LZW_END) {
            lzw_emit(t, code, out, o, size);
            first = t[code].first;
            o += t[code].length;
        } else if (code == next && prev >= 0) {
            // The string being defined: the previous one and its own first byte.
            lzw_emit(t, (u32)prev, out, o, size);
            first = t[prev].first;
            o += t[prev].length;
            if (o < size) out[o] = (u8)first;
            o++;
        } else {
            return fail(err, ERR_BAD_HEADER, pos + in - 1);
        }
        if (prev >= 0 && next < LZW_LIMIT) {
            t[next] = LzwEntry{(u16)prev, (u16)(t[prev].length + 1), t[prev].first, (u8)first, 0};
            next++;
            if (next >= (1u << width) - 1 && width < 12) width++;
        }
        prev = (i32)code;
    }
    if (o < size) return fail(err, ERR_TRUNCATED, pos + n);
    return true;
}

// ---- Deflate --------------------------------------------------------------------

bool tiff_inflate(const u8* src, u64 n, u64 pos, void* state, u8* out, u64 size, CodecError* err) {
    InflateState* s = (InflateState*)state;
    inflate_init(s);
    InflateResult r = inflate_run(s, src, n, out, size, true);
    if (r == INFLATE_ERROR) {
        u32 code = inflate_error(s) == INFLATE_ERR_TRUNCATED ? ERR_TRUNCATED : ERR_BAD_HEADER;
        u64 at = inflate_error_offset(s);
        return fail(err, code, pos + (at < n ? at : n));
    }
    if (inflate_out_pos(s) < size) return fail(err, ERR_TRUNCATED, pos + n);
    return true;
}

// ---- Predictor and fill order -------------------------------------------------------

void tiff_undo_predictor(u8* data, u64 row_bytes, u32 rows, u32 bits, u32 stride, bool big_endian) {
    for (u32 r = 0; r < rows; r++) {
        u8* p = data + (u64)r * row_bytes;
        if (bits == 8) {
            for (u64 i = stride; i < row_bytes; i++) p[i] = (u8)(p[i] + p[i - stride]);
            continue;
        }
        u64 count = row_bytes / 2;
        for (u64 i = stride; i < count; i++) {
            u8* a = p + 2 * i;
            const u8* b = p + 2 * (i - stride);
            u32 hi = big_endian ? 0 : 1;
            u32 v = ((u32)a[hi] << 8 | a[1 - hi]) + ((u32)b[hi] << 8 | b[1 - hi]);
            a[hi] = (u8)(v >> 8);
            a[1 - hi] = (u8)v;
        }
    }
}

void tiff_reverse_bits(const u8* src, u64 n, u8* out) {
    for (u64 i = 0; i < n; i++) {
        u32 b = src[i];
        b = (b & 0xF0) >> 4 | (b & 0x0F) << 4;
        b = (b & 0xCC) >> 2 | (b & 0x33) << 2;
        b = (b & 0xAA) >> 1 | (b & 0x55) << 1;
        out[i] = (u8)b;
    }
}
