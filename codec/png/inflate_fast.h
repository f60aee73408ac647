// The inflate fast loop, written once and compiled per instruction set: the
// scalar and SSE2 files each instantiate it with their own match copy.
// It runs only while 16 bytes of input and 288 bytes of output room remain, so
// its 8-byte refills and its wide copies (up to 30 bytes past a 258-byte match)
// never leave the buffers. It decodes only what it can finish: anything else
// (end of block, an invalid code, a distance beyond the output) is left
// unconsumed for the careful step, which alone raises errors and ends blocks.
// Everything here has internal linkage, so a file built with other target
// flags can never lend its copy to another.
#pragma once

#include <string.h>

#include "codec/png/inflate.h"

enum : u32 {
    INFLATE_FAST_IN_MARGIN = 16,
    INFLATE_FAST_OUT_MARGIN = 288,  // longest match 258 plus 30 bytes of overshoot
};

static QB_FORCE_INLINE u64 inflate_load64(const u8* p) {
    u64 v;
    memcpy(&v, p, 8);
    return v;
}

static QB_FORCE_INLINE u64 inflate_low_bits(u64 v, u32 n) {
    return v & (((u64)1 << n) - 1);
}

// Branch-free refill to 56..63 bits. The bytes only partly taken stay
// unconsumed and are or-ed in again, bit-identical, next time. Callers
// guarantee 8 readable bytes at in_next.
static QB_FORCE_INLINE void inflate_fast_refill(u64& bits, u32& count, const u8*& in_next) {
    bits |= inflate_load64(in_next) << count;
    in_next += (63 - count) >> 3;
    count |= 56;
}

// The fast loop. `Copy::match(dst, dist, len)` must equal a forward
// byte-by-byte copy from dst - dist and may write up to 288 bytes from dst.
template <typename Copy>
static QB_FORCE_INLINE void inflate_fast_loop(InflateState* s, const u8* in, u64 in_size, u8* out, u64 out_size) {
    u64 in_pos = s->reader.in_pos;
    u64 out_pos = s->out_pos;
    if (in_size - in_pos < INFLATE_FAST_IN_MARGIN || out_size - out_pos < INFLATE_FAST_OUT_MARGIN) return;

    const HuffEntry* litlen = s->litlen;
    const HuffEntry* dist_table = s->dist;
    const u8* in_next = in + in_pos;
    const u8* in_last = in + in_size - INFLATE_FAST_IN_MARGIN;
    u8* out_next = out + out_pos;
    u8* out_last = out + out_size - INFLATE_FAST_OUT_MARGIN;
    u64 bits = s->reader.bits;
    u32 count = s->reader.count;

    // At the top of each round at least 56 bits are held and `e` is the root
    // entry of the next code, looked up ahead so that its load overlaps the
    // bookkeeping of the previous round.
    inflate_fast_refill(bits, count, in_next);
    HuffEntry e = litlen[bits & 0x7FF];
    // A round starts at most 16 + 7 bytes before the end and moves in_next by
    // at most 7, so the refill at its end still reads inside the input.
    while (in_next <= in_last && out_next <= out_last) {
        const u64 round_bits = bits;
        const u32 round_count = count;
        if (e & HUFF_LINK) [[unlikely]] {
            bits >>= INFLATE_LITLEN_ROOT_BITS;
            count -= INFLATE_LITLEN_ROOT_BITS;
            e = litlen[(e >> 16) + inflate_low_bits(bits, (e >> 5) & 15)];
        }
        if (e & HUFF_LITERAL) {
            // Up to four literals per refill: the first takes at most 15 bits,
            // each further root literal at most 11, 48 of the 56 held.
            bits >>= e & 63;  // literal entries have no extra bits: bit 5 is 0
            count -= e & 31;
            u8 lit = (u8)(e >> 16);
            e = litlen[bits & 0x7FF];
            *out_next++ = lit;
            if (e & HUFF_LITERAL) {
                bits >>= e & 63;
                count -= e & 31;
                lit = (u8)(e >> 16);
                e = litlen[bits & 0x7FF];
                *out_next++ = lit;
                if (e & HUFF_LITERAL) {
                    bits >>= e & 63;
                    count -= e & 31;
                    lit = (u8)(e >> 16);
                    e = litlen[bits & 0x7FF];
                    *out_next++ = lit;
                    if (e & HUFF_LITERAL) {
                        bits >>= e & 63;
                        count -= e & 31;
                        *out_next++ = (u8)(e >> 16);
                        inflate_fast_refill(bits, count, in_next);
                        e = litlen[bits & 0x7FF];
                        continue;
                    }
                }
            }
            // `e` came from the bits held now; the refill adds bits only
            // above `count`, so with 11 or more held it stays right.
            const u32 held = count;
            inflate_fast_refill(bits, count, in_next);
            if (held < INFLATE_LITLEN_ROOT_BITS) e = litlen[bits & 0x7FF];
            continue;
        }
        if (e & HUFF_SPECIAL) {
            // End of block or an invalid code: the careful step handles it.
            bits = round_bits;
            count = round_count;
            break;
        }

        // Length code, its extra bits, then the distance code and its extra
        // bits: at most 15 + 5 + 15 + 13 = 48 bits.
        u32 n = e & 31;
        u32 length = (e >> 16) + (u32)inflate_low_bits(bits >> n, (e >> 5) & 15);
        n += (e >> 5) & 15;
        bits >>= n;
        count -= n;
        HuffEntry d = dist_table[bits & 0xFF];
        if (d & HUFF_LINK) [[unlikely]] {
            bits >>= INFLATE_DIST_ROOT_BITS;
            count -= INFLATE_DIST_ROOT_BITS;
            d = dist_table[(d >> 16) + inflate_low_bits(bits, (d >> 5) & 15)];
        }
        n = d & 31;
        u64 distance = (d >> 16) + inflate_low_bits(bits >> n, (d >> 5) & 15);
        if ((d & HUFF_SPECIAL) || distance > (u64)(out_next - out)) [[unlikely]] {
            bits = round_bits;
            count = round_count;
            break;
        }
        n += (d >> 5) & 15;
        bits >>= n;
        count -= n;
        inflate_fast_refill(bits, count, in_next);
        e = litlen[bits & 0x7FF];
        Copy::match(out_next, distance, length);
        out_next += length;
    }
    s->reader.bits = bits;
    s->reader.count = count;
    s->reader.in_pos = (u64)(in_next - in);
    s->out_pos = (u64)(out_next - out);
}

// Plain forward copy; overlapping distances repeat the pattern.
struct InflateCopyBytes {
    static QB_FORCE_INLINE void match(u8* dst, u64 dist, u32 len) {
        const u8* src = dst - dist;
        for (u32 i = 0; i < len; i++) dst[i] = src[i];
    }
};

// Fast-loop variants, one per file; the same signature and the same results.
void inflate_fast_scalar(InflateState* s, const u8* in, u64 in_size, u8* out, u64 out_size);
void inflate_fast_sse2(InflateState* s, const u8* in, u64 in_size, u8* out, u64 out_size);
