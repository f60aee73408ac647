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
// A length-distance pair is decoded from the held bits without consuming any
// of them and consumed whole once its distance is known to be good, so a
// pair the careful step must see (a special distance code, a distance beyond
// the output) leaves the reader exactly where the pair began. The lookups
// name the state's tables directly: both sit at fixed offsets from one
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

    // At the top of each round at least 56 bits are held and `e` is the root
    // entry of the next code, looked up ahead so that its load overlaps the
    // bookkeeping of the previous round.
    inflate_fast_refill(bits, count, in_next);
    HuffEntry e = s->litlen[bits & 0x7FF];
    // A round starts at least 16 bytes before the end and refills at most
    // twice, each moving in_next by at most 7, so every 8-byte load reads
    // inside the input.
    while (in_next <= in_last && out_next <= out_last) {
        if (e & HUFF_LITERAL) {
            // Up to four root entries per refill, at most 11 bits each: 44 of
            // the 56 held. Each writes two bytes, its literal and the second
            // of a pair or a byte the next write replaces, and moves on by
            // one or two.
            bits >>= e & 63;  // bit 5 is 0: the low five bits are the code length
            count -= e & 31;
            u32 lits = e >> 16;
            u32 step = 1 + ((e >> 14) & 1);
            e = s->litlen[bits & 0x7FF];
            inflate_store16(out_next, lits);
            out_next += step;
            if (e & HUFF_LITERAL) {
                bits >>= e & 63;
                count -= e & 31;
                lits = e >> 16;
                step = 1 + ((e >> 14) & 1);
                e = s->litlen[bits & 0x7FF];
                inflate_store16(out_next, lits);
                out_next += step;
                if (e & HUFF_LITERAL) {
                    bits >>= e & 63;
                    count -= e & 31;
                    lits = e >> 16;
                    step = 1 + ((e >> 14) & 1);
                    e = s->litlen[bits & 0x7FF];
                    inflate_store16(out_next, lits);
                    out_next += step;
                    if (e & HUFF_LITERAL) {
                        bits >>= e & 63;
                        count -= e & 31;
                        inflate_store16(out_next, e >> 16);
                        out_next += 1 + ((e >> 14) & 1);
                        // 12 or more bits are left: the next entry need not
                        // wait for the refill.
                        e = s->litlen[bits & 0x7FF];
                        inflate_fast_refill(bits, count, in_next);
                        continue;
                    }
                }
            }
            // `e` came from the bits held now; the refill adds bits only
            // above `count`, so with 11 or more held it stays right.
            const u32 held = count;
            inflate_fast_refill(bits, count, in_next);
            if (held < INFLATE_LITLEN_ROOT_BITS) e = s->litlen[bits & 0x7FF];
            continue;
        }

        // `from`: the bits where the length code's entry starts; `used`: the
        // bits before them (the root of a linked code).
        u64 from = bits;
        u32 used = 0;
        if (e & HUFF_SPECIAL) [[unlikely]] {
            // End of block or an invalid code is left to the careful step.
            if (!(e & HUFF_LINK)) break;
            from = bits >> INFLATE_LITLEN_ROOT_BITS;
            const HuffEntry sub = s->litlen[(e >> 16) + inflate_low_bits(from, huff_code_bits(e))];
            if (sub & HUFF_SPECIAL) break;
            if (sub & HUFF_LITERAL) {
                bits = from >> (sub & 63);
                count -= INFLATE_LITLEN_ROOT_BITS + (sub & 31);
                *out_next++ = (u8)(sub >> 16);
                inflate_fast_refill(bits, count, in_next);
                e = s->litlen[bits & 0x7FF];
                continue;
            }
            used = INFLATE_LITLEN_ROOT_BITS;
            e = sub;
        }

        // Length code with its extra bits, then the distance code with its
        // extra bits: at most 20 + 28 bits of the 56 held. Each entry's low
        // bits drop the code and its extra bits in one shift; the extra bits
        // are the dropped ones above the code. Nothing is consumed until the
        // distance has been checked.
        u64 rest = from >> (e & 63);
        used += e & 31;
        const u32 length = (e >> 16) + (u32)(inflate_low_bits(from, e & 31) >> ((e >> 6) & 63));
        HuffEntry d = s->dist[rest & 0xFF];
        // The refill runs beside the distance lookup rather than after it:
        // at least 36 bits are left after the length, enough for any
        // distance, and with 56 held again at least 28 remain for the next
        // lookup, so the next code's entry waits only on the distance's.
        const u8* pair_in = in_next;
        u32 mid = count - used;
        u64 filled = rest | inflate_load64(in_next) << mid;
        in_next += (63 - mid) >> 3;
        mid |= 56;
        if (d & HUFF_LINK) [[unlikely]] {
            rest >>= INFLATE_DIST_ROOT_BITS;
            filled >>= INFLATE_DIST_ROOT_BITS;
            mid -= INFLATE_DIST_ROOT_BITS;
            d = s->dist[(d >> 16) + inflate_low_bits(rest, huff_code_bits(d))];
        }
        // Invalid distance entries carry a base of 0 and no extra bits, so
        // distance 0 marks them and one unsigned compare catches them along
        // with a distance beyond the output. Bit 11 is set only on them, so
        // the shift below reads the code length of every valid one.
        const u64 distance = (d >> 16) + (inflate_low_bits(rest, d & 31) >> ((d >> 6) & 63));
        if (distance - 1 >= (u64)(out_next - out)) [[unlikely]] {
            in_next = pair_in;
            break;
        }
        bits = filled >> (d & 63);
        count = mid - (d & 31);
        e = s->litlen[bits & 0x7FF];
        // As after literals: the refill adds bits above the 28 or more held.
        inflate_fast_refill(bits, count, in_next);
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
void inflate_fast_bmi2(InflateState* s, const u8* in, u64 in_size, u8* out, u64 out_size);
