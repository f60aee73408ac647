// The SSE2 match copy of the inflate fast loop, shared by the files that
// build the loop for SSE2 alone and for SSE2 with BMI2. Distances of 16 and
// more copy 16 bytes per step; shorter distances first widen the repeating
// unit by copying 16 bytes from the match start to the end of what is already
// right, doubling the unit until it reaches 16, then go on in 16-byte steps.
// A distance of 1 is a byte broadcast. Every path equals a forward
// byte-by-byte copy and writes at most 288 bytes from the match destination.
// Internal linkage only, like inflate_fast.h: each including file keeps its
// own copy, built with its own target flags.
#pragma once

#include <emmintrin.h>

#include "codec/png/inflate_fast.h"

// An unnamed namespace keeps the copy struct out of the linker's reach.
namespace {

static QB_FORCE_INLINE void copy16(u8* dst, const u8* src) {
    _mm_storeu_si128((__m128i*)dst, _mm_loadu_si128((const __m128i*)src));
}

struct InflateCopySse2 {
    static QB_FORCE_INLINE void match(u8* dst, u64 dist, u32 len) {
        u8* end = dst + len;
        const u8* src = dst - dist;
        if (dist >= 16) [[likely]] {
            // Each 16-byte step reads only bytes already final. Most matches
            // in photographs are short and far (the row above), so the first
            // two steps go without a test between them.
            copy16(dst, src);
            copy16(dst + 16, src + 16);
            if (len > 32) [[unlikely]] {
                dst += 32;
                src += 32;
                do {
                    copy16(dst, src);
                    src += 16;
                    dst += 16;
                } while (dst < end);
            }
            return;
        }
        if (dist == 1) {
            __m128i v = _mm_set1_epi8((char)src[0]);
            do {
                _mm_storeu_si128((__m128i*)dst, v);
                dst += 16;
            } while (dst < end);
            return;
        }
        // [src, src + unit) holds the pattern repeated; each step doubles it.
        u8* start = dst - dist;
        u64 unit = dist;
        while (unit < 16) {
            copy16(start + unit, start);
            unit *= 2;
            if (start + unit >= end) return;
        }
        dst = start + unit;
        do {
            copy16(dst, dst - unit);
            dst += 16;
        } while (dst < end);
    }
};

}  // namespace
