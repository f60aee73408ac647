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
    // Fast loop: while any run fits whole (129 bytes of input, 128 of
    // output, with 16 to spare), runs are copied or filled 16 bytes at a
    // time, past their end; the next run overwrites the excess.
    while (i + 130 + 16 <= n && o + 128 + 16 <= size) {
        i32 c = (i8)src[i++];
        if (c >= 0) {
            u32 k = (u32)c + 1;
            for (u32 j = 0; j < k; j += 16) memcpy(out + o + j, src + i + j, 16);
            i += k;
            o += k;
        } else if (c != -128) {
            u32 k = (u32)(1 - c);
            u8 fill[16];
            memset(fill, src[i++], 16);
            for (u32 j = 0; j < k; j += 16) memcpy(out + o + j, fill, 16);
            o += k;
        }
    }
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

// A string of the table is kept as where it already lies in the output: the
// string of a new code is the previous code's string and the byte after it,
// which is exactly where the previous code was written. Emitting a code is
// then a copy within the output, 16 bytes at a time while a margin of 16
// remains, rather than a walk down a chain of prefixes.
struct LzwEntry {
    u32 offset;
    u16 length;
    u8 first;
    u8 pad;
};
static_assert(sizeof(LzwEntry) * 4096 == TIFF_LZW_WORK_BYTES, "LZW table size");

enum : u32 { LZW_CLEAR = 256, LZW_END = 257, LZW_FIRST = 258, LZW_LIMIT = 4096 };

// out[to, to + len) = out[from, from + len), with from + len <= to, dropping
// what lies at or beyond `size`. The fast copy may write up to 15 bytes past
// the string, which later strings overwrite.
static inline void lzw_copy(u8* out, u64 from, u64 to, u32 len, u64 size) {
    if (to + len + 16 <= size) {
        for (u32 k = 0; k < len; k += 16) {
            u8 chunk[16];
            memcpy(chunk, out + from + k, 16);
            memcpy(out + to + k, chunk, 16);
        }
        return;
    }
    for (u32 k = 0; k < len && to + k < size; k++) out[to + k] = out[from + k];
}

struct LzwState {
    u64 bit;  // next code's first bit
    u64 o;    // next output byte
    u64 prev_pos;
    u32 prev_len;
    u32 prev_first;
    u32 width;
    u32 next;
    bool have_prev;
};

enum : u32 { LZW_STEP_OK = 0, LZW_STEP_END = 1, LZW_STEP_BAD = 2 };

// Every byte value in order, with 16 to spare for the fast copy's reach.
struct LzwBytes {
    u8 v[256 + 16];
    constexpr LzwBytes() : v() {
        for (u32 i = 0; i < 256; i++) v[i] = (u8)i;
    }
};
static constexpr LzwBytes k_lzw_byte_table;
static const u8* const k_lzw_bytes = k_lzw_byte_table.v;

// One code. FAST: the caller proved that 8 bytes can be read at the code
// and that any string fits with 16 bytes to spare.
template <bool FAST>
static QB_FORCE_INLINE u32 lzw_step(const u8* src, u64 n, LzwEntry* t, u8* out, u64 size, LzwState* s) {
    u64 at = s->bit >> 3;
    u64 window;
    if (FAST || at + 8 <= n) {
        memcpy(&window, src + at, 8);
        window = __builtin_bswap64(window);
    } else {
        window = 0;
        for (u64 i = 0; i < 8; i++) window = window << 8 | (at + i < n ? src[at + i] : 0);
    }
    u32 code = (u32)((window << (s->bit & 7)) >> (64 - s->width));
    s->bit += s->width;
    u64 o = s->o;
    u32 len;
    u32 first;
    if (code < 256) {
        out[o] = (u8)code;
        len = 1;
        first = code;
    } else if (code >= LZW_FIRST && code < s->next) {
        LzwEntry e = t[code];
        len = e.length;
        first = e.first;
        if (FAST) {
            for (u32 k = 0; k < len; k += 16) {
                u8 chunk[16];
                memcpy(chunk, out + e.offset + k, 16);
                memcpy(out + o + k, chunk, 16);
            }
        } else {
            lzw_copy(out, e.offset, o, len, size);
        }
    } else if (code == LZW_END) {
        return LZW_STEP_END;
    } else if (code == LZW_CLEAR) {
        s->width = 9;
        s->next = LZW_FIRST;
        s->have_prev = false;
        return LZW_STEP_OK;
    } else if (code == s->next && s->have_prev) {
        // The string being defined: the previous one and its own first byte.
        len = s->prev_len + 1;
        first = s->prev_first;
        lzw_copy(out, s->prev_pos, o, s->prev_len, size);
        if (o + s->prev_len < size) out[o + s->prev_len] = (u8)first;
    } else {
        return LZW_STEP_BAD;
    }
    if (s->have_prev && s->next < LZW_LIMIT) {
        t[s->next] = LzwEntry{(u32)s->prev_pos, (u16)(s->prev_len + 1), (u8)s->prev_first, 0};
        s->next++;
        if (s->next >= (1u << s->width) - 1 && s->width < 12) s->width++;
    }
    s->have_prev = true;
    s->prev_pos = o;
    s->prev_len = len;
    s->prev_first = first;
    s->o = o + len;
    return LZW_STEP_OK;
}

bool tiff_lzw(const u8* src, u64 n, u64 pos, u8* work, u8* out, u64 size, CodecError* err) {
    // Streams of the old, least-significant-bit-first flavour start 0x00 0x01.
    if (n >= 2 && src[0] == 0 && (src[1] & 1) != 0) return fail(err, ERR_UNSUPPORTED, pos);
    if (size >> 32) return fail(err, ERR_TOO_LARGE, pos);
    LzwEntry* t = (LzwEntry*)work;
    // Single bytes have entries too, so that the common case below treats
    // them as strings of one byte copied from a table of all bytes.
    for (u32 c = 0; c < 256; c++) t[c] = LzwEntry{0, 1, (u8)c, 0};
    LzwState s = {0, 0, 0, 0, 0, 9, LZW_FIRST, false};
    u64 total_bits = n * 8;
    u32 r = LZW_STEP_OK;
    // Fast loop: 8 bytes readable at every code, room for the longest
    // string (4096 bytes) and 16 more in the output. A byte or a known
    // string after another code takes one path without a branch on which it
    // is; the rest (clear, end, the string being defined, a code after a
    // clear, a bad code) goes through the general step.
    u64 fast_bits = n >= 8 ? (n - 7) * 8 : 0;
    while (s.bit < fast_bits && s.o + LZW_LIMIT + 16 <= size) {
        u64 window;
        memcpy(&window, src + (s.bit >> 3), 8);
        window = __builtin_bswap64(window);
        u32 code = (u32)((window << (s.bit & 7)) >> (64 - s.width));
        if (code - LZW_CLEAR < 2 || code >= s.next || !s.have_prev) {
            r = lzw_step<true>(src, n, t, out, size, &s);
            if (r != LZW_STEP_OK) break;
            continue;
        }
        s.bit += s.width;
        LzwEntry e = t[code];
        const u8* from = code < 256 ? k_lzw_bytes + code : out + e.offset;
        u8* to = out + s.o;
        for (u32 k = 0; k < e.length; k += 16) {
            u8 chunk[16];
            memcpy(chunk, from + k, 16);
            memcpy(to + k, chunk, 16);
        }
        if (s.next < LZW_LIMIT) {
            t[s.next] = LzwEntry{(u32)s.prev_pos, (u16)(s.prev_len + 1), (u8)s.prev_first, 0};
            s.next++;
            if (s.next >= (1u << s.width) - 1 && s.width < 12) s.width++;
        }
        s.prev_pos = s.o;
        s.prev_len = e.length;
        s.prev_first = e.first;
        s.o += e.length;
    }
    // Careful loop for the ends.
    while (r == LZW_STEP_OK && s.o < size) {
        if (total_bits - s.bit < s.width) return fail(err, ERR_TRUNCATED, pos + n);
        r = lzw_step<false>(src, n, t, out, size, &s);
    }
    if (r == LZW_STEP_BAD) return fail(err, ERR_BAD_HEADER, pos + ((s.bit - 1) >> 3));
    if (s.o < size) return fail(err, ERR_TRUNCATED, pos + n);
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

void tiff_predict8_scalar(u8* row, u64 n, u32 stride) {
    for (u64 i = stride; i < n; i++) row[i] = (u8)(row[i] + row[i - stride]);
}

static const TiffKernels k_scalar = {tiff_predict8_scalar};
static const TiffKernels k_sse2 = {tiff_predict8_sse2};

TiffKernels tiff_kernels = k_sse2;

bool tiff_kernels_force(u32 variant) {
    if (variant == TIFF_KERNELS_SCALAR) {
        tiff_kernels = k_scalar;
        return true;
    }
    if (variant == TIFF_KERNELS_SSE2) {
        tiff_kernels = k_sse2;
        return true;
    }
    return false;
}

void tiff_undo_predictor(u8* data, u64 row_bytes, u32 rows, u32 bits, u32 stride, bool big_endian) {
    for (u32 r = 0; r < rows; r++) {
        u8* p = data + (u64)r * row_bytes;
        if (bits == 8) {
            tiff_kernels.predict8(p, row_bytes, stride);
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
