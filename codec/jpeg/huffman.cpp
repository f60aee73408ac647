// Huffman tables from DHT counts and symbols. Codes are assigned canonically;
// every code of up to 9 bits fills all lookup entries that begin with it, and
// when its magnitude bits fit in the same 9 bits the entry already holds the
// extended coefficient value, so most coefficients cost one lookup. Longer
// codes are found by comparing the next 16 bits with left-justified limits.
#include "codec/jpeg/jpeg.h"

#include <string.h>

u32 build_huffman(const u8 counts[16], const u8* symbols, bool is_dc, JpegHuffman* table) {
    memset(table, 0, sizeof *table);
    u32 code = 0;
    u32 k = 0;
    for (u32 len = 1; len <= 16; len++) {
        u32 n = counts[len - 1];
        if (k + n > 256 || code + n > (1u << len)) return JPEG_HUFFMAN_BAD_COUNTS;
        table->offset[len] = (i32)k - (i32)code;
        for (u32 i = 0; i < n; i++, k++, code++) {
            u32 sym = symbols[k];
            if (is_dc && sym > 15) return JPEG_HUFFMAN_BAD_DC_SYMBOL;
            table->symbols[k] = (u8)sym;
            if (len > 9) continue;
            u32 run = is_dc ? 0 : sym >> 4;
            u32 size = is_dc ? sym : sym & 15;
            u32 spare = 9 - len;
            for (u32 rest = 0; rest < (1u << spare); rest++) {
                u32 entry;
                if (size == 0) {
                    entry = len | (run << 5);
                } else if (size <= spare) {
                    i32 v = (i32)((rest >> (spare - size)) & ((1u << size) - 1));
                    if (v < (1 << (size - 1))) v += 1 - (1 << size);
                    entry = (len + size) | (run << 5) | (1u << 13) | ((u32)(u16)(i16)v << 16);
                } else {
                    entry = (len + size) | (run << 5) | (size << 9) | (1u << 13);
                }
                table->lookup[(code << spare) | rest] = entry;
            }
        }
        table->limit[len] = code << (16 - len);
        code <<= 1;
    }
    table->count = k;
    return JPEG_HUFFMAN_OK;
}

// ---- Skip tables ------------------------------------------------------------------

// The symbol whose code starts the left-justified 16 bits `top`, by the
// limits; false for bits that begin no code.
static bool code_at(const JpegHuffman* t, u32 top, u32* len_out, u32* symbol_out) {
    u32 len = 1;
    while (len <= 16 && top >= t->limit[len]) len++;
    if (len > 16) return false;
    i32 index = (i32)(top >> (16 - len)) + t->offset[len];
    if (index < 0 || index >= (i32)t->count) return false;
    *len_out = len;
    *symbol_out = t->symbols[index];
    return true;
}

void build_ac_skip(const JpegHuffman* t, u16* skip) {
    const u32 B = JPEG_SKIP_BITS;
    for (u32 i = 0; i < (1u << B); i++) {
        u32 used = 0;
        u32 advance = 0;
        bool eob = false;
        bool any = false;
        // Whole symbols while they fit, then possibly one whose magnitude
        // bits run past the index; the bits past the index read as zeros but
        // no accepted code reaches them.
        while (!eob && advance < 64) {
            u32 top = ((i << used) << (16 - B)) & 0xFFFF;
            u32 len, sym;
            if (!code_at(t, top, &len, &sym) || len > B - used) break;
            u32 run = sym >> 4;
            u32 size = sym & 15;
            used += len + size;
            any = true;
            if (size != 0) {
                advance += run + 1;
            } else if (run == 15) {
                advance += 16;
            } else {
                advance += 1;
                eob = true;
            }
            if (used > B) break;
        }
        skip[i] = any ? (u16)(used | (advance << 5) | (eob ? (u32)JPEG_SKIP_EOB : 0u)) : (u16)JPEG_SKIP_NONE;
    }
}

// ---- Wide tables ------------------------------------------------------------------

// The symbol at bit `used` of the B-bit index i, when its code and
// magnitude bits lie within the index: the bits it takes, the positions it
// advances, whether it is a value and its value.
static bool whole_symbol_at(const JpegHuffman* t, u32 i, u32 used, u32* bits, u32* advance, bool* value, i32* v) {
    const u32 B = JPEG_WIDE_BITS;
    u32 len, sym;
    if (used >= B || !code_at(t, ((i << used) << (16 - B)) & 0xFFFF, &len, &sym)) return false;
    u32 run = sym >> 4;
    u32 size = sym & 15;
    if (used + len + size > B) return false;
    *bits = len + size;
    *value = size != 0;
    *v = 0;
    if (size == 0) {
        *advance = run == 15 ? 16 : 0;
        return true;
    }
    i32 x = (i32)((i >> (B - used - len - size)) & ((1u << size) - 1));
    if (x < (1 << (size - 1))) x += 1 - (1 << size);
    *advance = run + 1;
    *v = x;
    return true;
}

void build_ac_wide(const JpegHuffman* t, u64* wide) {
    for (u32 i = 0; i < (1u << JPEG_WIDE_BITS); i++) {
        u32 n1, a1;
        bool value1;
        i32 v1;
        wide[i] = 0;
        if (!whole_symbol_at(t, i, 0, &n1, &a1, &value1, &v1)) continue;
        // Without a second symbol the second value repeats the first at the
        // same position, so a walk may store both without asking.
        u64 e = n1 | (value1 ? (u64)JPEG_WIDE_VALUE : 0ull) | ((u64)a1 << 8) | ((u64)(u16)(i16)v1 << 16) |
                ((u64)n1 << 32) | ((u64)(u16)(i16)v1 << 48);
        u32 n2, a2;
        bool value2;
        i32 v2;
        if (value1 && whole_symbol_at(t, i, n1, &n2, &a2, &value2, &v2) && (value2 || a2 == 0)) {
            e = (e & ~(u64)63) | (n1 + n2) | JPEG_WIDE_PAIR;
            if (value2) {
                e = (e & 0x0000FFFFFFFFFFFFull) | ((u64)a2 << 40) | ((u64)(u16)(i16)v2 << 48);
            } else {
                e |= JPEG_WIDE_END;
            }
        }
        wide[i] = e;
    }
}
