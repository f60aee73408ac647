// LZW decoding of one frame's de-blocked codes into one index byte a pixel.
// Every table entry is a run of the output already written: the string of
// code k is `length[k]` bytes at `offset[k]`. A new entry is the previous
// string followed by the first byte of the current one, and those stand side
// by side in the output, so an entry is just (previous offset, previous
// length + 1). Decoding a code is therefore one run copy, with no string
// stack and no per-byte chain walk. The source run always ends at or before
// the point where the copy starts, so a wide copy that reads past the run's
// end only carries stale bytes past the new string, which later strings
// overwrite; copies never write at or past the capacity.
#include "codec/gif/gif.h"

#include <emmintrin.h>
#include <string.h>

static QB_FORCE_INLINE void copy16(u8* dst, const u8* src) {
    _mm_storeu_si128((__m128i*)dst, _mm_loadu_si128((const __m128i*)src));
}

// Copies a run of `n` bytes from earlier output: 32 bytes a step for long
// runs, one 16-byte copy for short ones, each only when the output has room
// for the run plus 32 bytes; byte by byte near the capacity.
static QB_FORCE_INLINE void copy_run(u8* out, u64 dst, u64 src, u64 n, u64 capacity) {
    if (capacity - dst >= n + 32) {
        if (n <= 16) {
            copy16(out + dst, out + src);
        } else {
            // Each 32-byte step reads [src + i, src + i + 32): a chunk may
            // overlap bytes it has itself just written only beyond the run.
            for (u64 i = 0; i < n; i += 32) {
                __m128i a = _mm_loadu_si128((const __m128i*)(out + src + i));
                __m128i b = _mm_loadu_si128((const __m128i*)(out + src + i + 16));
                _mm_storeu_si128((__m128i*)(out + dst + i), a);
                _mm_storeu_si128((__m128i*)(out + dst + i + 16), b);
            }
        }
        return;
    }
    for (u64 i = 0; i < n; i++) out[dst + i] = out[src + i];
}

u32 lzw_decode(const u8* codes, u64 count, u8* out, u64 capacity, u32 min_code_size, LzwTable* table,
               u64* produced_out, u64* consumed_out) {
    QB_ASSERT(min_code_size >= 2 && min_code_size <= 8);
    const u32 clear = 1u << min_code_size;
    const u32 end = clear + 1;
    u32 next = clear + 2;
    u32 bits = min_code_size + 1;
    u32 mask = (1u << bits) - 1;
    u64 prev_offset = 0;
    u64 prev_length = 0;  // 0: no previous string
    u64 produced = 0;
    u64 bit_buffer = 0;
    u32 bit_count = 0;
    u64 pos = 0;
    u32 status = LZW_DONE;
    *consumed_out = 0;
    for (;;) {
        if (bit_count < bits) {
            if (count - pos >= 8) {
                // Whole bytes only: the buffer holds 56 to 63 bits afterwards.
                u64 word;
                memcpy(&word, codes + pos, 8);
                bit_buffer |= word << bit_count;
                pos += (63 - bit_count) >> 3;
                bit_count |= 56;
            } else {
                while (bit_count <= 56 && pos < count) {
                    bit_buffer |= (u64)codes[pos++] << bit_count;
                    bit_count += 8;
                }
                if (bit_count < bits) break;
            }
        }
        u32 code = (u32)bit_buffer & mask;
        u64 code_start = (pos * 8 - bit_count) >> 3;
        bit_buffer >>= bits;
        bit_count -= bits;
        if (code == clear) {
            next = clear + 2;
            bits = min_code_size + 1;
            mask = (1u << bits) - 1;
            prev_length = 0;
            continue;
        }
        if (code == end) break;
        u64 length;
        if (code < clear) {
            if (produced >= capacity) {
                status = LZW_OVERFLOW;
                *consumed_out = code_start;
                break;
            }
            out[produced] = (u8)code;
            length = 1;
        } else {
            if (prev_length == 0 || code > next) {
                status = LZW_BAD_CODE;
                *consumed_out = code_start;
                break;
            }
            length = code < next ? table->length[code] : prev_length + 1;
            if (capacity - produced < length) {
                status = LZW_OVERFLOW;
                *consumed_out = code_start;
                break;
            }
            if (code < next) {
                copy_run(out, produced, table->offset[code], length, capacity);
            } else {
                // The previous string, then its own first byte.
                copy_run(out, produced, prev_offset, prev_length, capacity);
                out[produced + prev_length] = out[prev_offset];
            }
        }
        if (prev_length != 0 && next < 4096) {
            table->offset[next] = (u32)prev_offset;
            table->length[next] = (u16)(prev_length + 1);
            next++;
            if (next == (1u << bits) && bits < 12) {
                bits++;
                mask = (1u << bits) - 1;
            }
        }
        prev_offset = produced;
        prev_length = length;
        produced += length;
    }
    *produced_out = produced;
    return status;
}
