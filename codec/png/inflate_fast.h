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
#ifdef __BMI2__
#include <immintrin.h>
#endif

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

static QB_FORCE_INLINE void inflate_store16(u8* p, u32 v) {
    const u16 w = (u16)v;
    memcpy(p, &w, 2);
}

// The low n bits (n below 64): one instruction in the BMI2 build, which the
// compiler does not find by itself.
static QB_FORCE_INLINE u64 inflate_low_bits(u64 v, u32 n) {
#ifdef __BMI2__
    return _bzhi_u64(v, n);
#else
    return v & (((u64)1 << n) - 1);
#endif
}

// The bits of `v` below an entry's drop count: for a length or distance
// entry, its code with its extra bits above. The low byte of an entry is
// that count and nothing else, which is all bzhi reads.
static QB_FORCE_INLINE u64 inflate_entry_bits(u64 v, HuffEntry e) {
#ifdef __BMI2__
    return _bzhi_u64(v, (u32)e);
#else
    return v & (((u64)1 << (e & 31)) - 1);
#endif
}

// The index of the lookup after entry `e` of the bits `v` that start at it:
// the bits past its drop count, as many as its width field says (`mask`
// spells that width out for the build without BMI). With BMI the entry's low
// 16 bits are the control of one bit-field extract, which takes a cycle off
// the chain from one lookup to the next.
static QB_FORCE_INLINE u64 inflate_next_index(u64 v, HuffEntry e, u32 mask) {
#if defined(__BMI__) && !defined(QB_NO_BEXTR)
    (void)mask;
    return __bextr_u64(v, e);
#else
    return (v >> (e & 63)) & mask;
#endif
}

// The index into a link's second-level table (before its start is added).
static QB_FORCE_INLINE u64 inflate_link_index(u64 v, HuffEntry e) {
#if defined(__BMI__) && !defined(QB_NO_BEXTR)
    return __bextr_u64(v, e);
#else
    return (v >> (e & 63)) & (((u64)1 << huff_link_bits(e)) - 1);
#endif
}

// Branch-free refill to 56..63 bits; `count` is read modulo 64. The bytes
// only partly taken stay unconsumed and are or-ed in again, bit-identical,
// next time. Callers guarantee 8 readable bytes at in_next. Afterwards all
// 64 bits are input in order, not only the `count` held: a lookup may read
// past `count` as long as at most 64 - 11 bits were dropped since.
static QB_FORCE_INLINE void inflate_fast_refill(u64& bits, u32& count, const u8*& in_next) {
    bits |= inflate_load64(in_next) << (count & 63);
    in_next += 7 - ((count >> 3) & 7);
    count |= 56;
}

// The fast loop. `Copy::match(dst, dist, len)` must equal a forward
// byte-by-byte copy from dst - dist and may write up to 288 bytes from dst.
// `count` holds the bits held modulo 64: whole entries are subtracted from it
// (see the entry layout), and only its low six bits are ever read. A
// length-distance pair is decoded from the held bits without consuming any
// of them and consumed whole once its distance is known to be good, so a
// pair the careful step must see (a special distance code, a distance beyond
// the output) leaves the reader exactly where the pair began. The lookups
// name the state's tables directly: they sit at fixed offsets from one
// pointer, which keeps a register free in the hottest loop.
template <typename Copy>
static QB_FORCE_INLINE void inflate_fast_loop(InflateState* s, const u8* in, u64 in_size, u8* out, u64 out_size) {
    u64 in_pos = s->reader.in_pos;
    u64 out_pos = s->out_pos;
    if (in_size - in_pos < INFLATE_FAST_IN_MARGIN || out_size - out_pos < INFLATE_FAST_OUT_MARGIN) return;

    const u8* in_next = in + in_pos;
    const u8* in_last = in + in_size - INFLATE_FAST_IN_MARGIN;
    u8* out_next = out + out_pos;
    u8* out_last = out + out_size - INFLATE_FAST_OUT_MARGIN;
    u64 bits = s->reader.bits;
    u32 count = s->reader.count;

    // At the top of each round at least 56 bits are held, all 64 bits of
    // `bits` are input, and `e` is the root entry of the next code, looked up
    // ahead so that its load overlaps the bookkeeping of the previous round.
    // Every round refills once, at its end, so each 8-byte load starts at
    // least 16 - 7 bytes before the end of the input.
    inflate_fast_refill(bits, count, in_next);
    HuffEntry e = s->litlen[bits & INFLATE_LITLEN_ROOT_MASK];
    while (in_next <= in_last && out_next <= out_last) {
        if (e & HUFF_LITERAL) {
            // Up to four root entries per refill, at most 10 bits each: 40 of
            // the 56 held, and the entry after them still reads 24 input
            // bits. Each writes two bytes, its literal and the second of a
            // pair or a byte the next write replaces, and moves on by one or
            // two.
            u64 next = inflate_next_index(bits, e, INFLATE_LITLEN_ROOT_MASK);
            bits >>= e & 63;
            count -= (u32)e;
            inflate_store16(out_next, (u32)(e >> 32));
            out_next += e >> 48;
            e = s->litlen[next];
            if (e & HUFF_LITERAL) {
                next = inflate_next_index(bits, e, INFLATE_LITLEN_ROOT_MASK);
                bits >>= e & 63;
                count -= (u32)e;
                inflate_store16(out_next, (u32)(e >> 32));
                out_next += e >> 48;
                e = s->litlen[next];
                if (e & HUFF_LITERAL) {
                    next = inflate_next_index(bits, e, INFLATE_LITLEN_ROOT_MASK);
                    bits >>= e & 63;
                    count -= (u32)e;
                    inflate_store16(out_next, (u32)(e >> 32));
                    out_next += e >> 48;
                    e = s->litlen[next];
                    if (e & HUFF_LITERAL) {
                        next = inflate_next_index(bits, e, INFLATE_LITLEN_ROOT_MASK);
                        bits >>= e & 63;
                        count -= (u32)e;
                        inflate_store16(out_next, (u32)(e >> 32));
                        out_next += e >> 48;
                        e = s->litlen[next];
                    }
                }
            }
            // `e` came from input bits, held or not: the refill adds bits only
            // above `count`, equal to those already there.
            inflate_fast_refill(bits, count, in_next);
            continue;
        }

        // Length code with its extra bits, then the distance code with its
        // extra bits: at most 20 + 28 bits of the 56 held, and the next
        // code's entry still reads 16 input bits, so it is looked up before
        // the refill. Each entry's low byte drops the code and its extra bits
        // in one shift; the extra bits are the dropped ones above the code.
        // Nothing is consumed until the distance has been checked. Linked
        // codes take their own path, so that the common one keeps every
        // value in a register.
        u64 distance;
        u32 length;
        u64 next;
        if (!(e & HUFF_SPECIAL)) [[likely]] {
            const u64 rest = bits >> (e & 63);
            length = huff_value(e) + (u32)(inflate_entry_bits(bits, e) >> ((e >> 16) & 63));
            const HuffEntry d = s->dist[inflate_next_index(bits, e, INFLATE_DIST_ROOT_MASK)];
            if (!(d & HUFF_LINK)) [[likely]] {
                // Invalid distance entries carry a base of 0 and no extra
                // bits, so distance 0 marks them and one unsigned compare
                // catches them along with a distance beyond the output.
                distance = huff_value(d) + (inflate_entry_bits(rest, d) >> ((d >> 16) & 63));
                if (distance - 1 >= (u64)(out_next - out)) [[unlikely]] break;
                next = inflate_next_index(rest, d, INFLATE_LITLEN_ROOT_MASK);
                bits = rest >> (d & 63);
                count -= (u32)e + (u32)d;
            } else {
                const u64 drest = rest >> INFLATE_DIST_ROOT_BITS;
                const HuffEntry sub = s->dist[huff_value(d) + inflate_link_index(rest, d)];
                distance = huff_value(sub) + (inflate_entry_bits(drest, sub) >> ((sub >> 16) & 63));
                if (distance - 1 >= (u64)(out_next - out)) break;
                next = inflate_next_index(drest, sub, INFLATE_LITLEN_ROOT_MASK);
                bits = drest >> (sub & 63);
                count -= (u32)e + (u32)d + (u32)sub;
            }
        } else {
            // End of block or an invalid code is left to the careful step.
            if (!(e & HUFF_LINK)) break;
            const u64 from = bits >> INFLATE_LITLEN_ROOT_BITS;
            const HuffEntry sub = s->litlen[huff_value(e) + inflate_link_index(bits, e)];
            if (sub & HUFF_SPECIAL) break;
            if (sub & HUFF_LITERAL) {
                bits = from >> (sub & 63);
                count -= (u32)e + (u32)sub;
                *out_next++ = (u8)huff_value(sub);
                e = s->litlen[bits & INFLATE_LITLEN_ROOT_MASK];
                inflate_fast_refill(bits, count, in_next);
                continue;
            }
            const u64 rest = from >> (sub & 63);
            length = huff_value(sub) + (u32)(inflate_entry_bits(from, sub) >> ((sub >> 16) & 63));
            HuffEntry d = s->dist[inflate_next_index(from, sub, INFLATE_DIST_ROOT_MASK)];
            u32 taken = (u32)e + (u32)sub;
            u64 drest = rest;
            if (d & HUFF_LINK) {
                drest = rest >> INFLATE_DIST_ROOT_BITS;
                taken += (u32)d;
                d = s->dist[huff_value(d) + inflate_link_index(rest, d)];
            }
            distance = huff_value(d) + (inflate_entry_bits(drest, d) >> ((d >> 16) & 63));
            if (distance - 1 >= (u64)(out_next - out)) break;
            next = inflate_next_index(drest, d, INFLATE_LITLEN_ROOT_MASK);
            bits = drest >> (d & 63);
            count -= taken + (u32)d;
        }
        e = s->litlen[next];
        inflate_fast_refill(bits, count, in_next);
        Copy::match(out_next, distance, length);
        out_next += length;
    }
    s->reader.bits = bits;
    s->reader.count = count & 63;
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
void inflate_fast_bmi2(InflateState* s, const u8* in, u64 in_size, u8* out, u64 out_size);
