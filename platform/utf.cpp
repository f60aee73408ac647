// Text conversion between UTF-8 and UTF-16. The decoder validates each
// sequence against the exact ranges of well-formed UTF-8 (no overlongs, no
// surrogates, nothing above U+10FFFF) and replaces a bad lead or a broken
// sequence one byte at a time, so every input has one defined result.
#include "platform/utf.h"

bool utf8_from_utf16(const u16* units, u64 count, u8* out, u64 capacity, u64* length_out) {
    u64 n = 0;
    u64 i = 0;
    while (i < count) {
        u32 c = units[i++];
        if (c >= 0xDC00 && c <= 0xDFFF) return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i == count) return false;
            u32 low = units[i];
            if (low < 0xDC00 || low > 0xDFFF) return false;
            i++;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        }
        u64 need = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        if (capacity - n < need) return false;
        switch (need) {
        case 1:
            out[n] = (u8)c;
            break;
        case 2:
            out[n] = (u8)(0xC0 | (c >> 6));
            out[n + 1] = (u8)(0x80 | (c & 0x3F));
            break;
        case 3:
            out[n] = (u8)(0xE0 | (c >> 12));
            out[n + 1] = (u8)(0x80 | ((c >> 6) & 0x3F));
            out[n + 2] = (u8)(0x80 | (c & 0x3F));
            break;
        default:
            out[n] = (u8)(0xF0 | (c >> 18));
            out[n + 1] = (u8)(0x80 | ((c >> 12) & 0x3F));
            out[n + 2] = (u8)(0x80 | ((c >> 6) & 0x3F));
            out[n + 3] = (u8)(0x80 | (c & 0x3F));
            break;
        }
        n += need;
    }
    *length_out = n;
    return true;
}

// Length of the well-formed sequence at text[i], or 0 when it is malformed.
// The second byte's range depends on the lead: E0 A0..BF, ED 80..9F,
// F0 90..BF, F4 80..8F, otherwise 80..BF.
static u32 sequence_length(const u8* text, u64 size, u64 i, u32* code_out) {
    u32 lead = text[i];
    if (lead < 0x80) {
        *code_out = lead;
        return 1;
    }
    u32 length;
    u32 low = 0x80;
    u32 high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (size - i < length) return 0;
    u32 second = text[i + 1];
    if (second < low || second > high) return 0;
    u32 code = lead & (0x7F >> length);
    code = (code << 6) | (second & 0x3F);
    for (u32 k = 2; k < length; k++) {
        u32 b = text[i + k];
        if (b < 0x80 || b > 0xBF) return 0;
        code = (code << 6) | (b & 0x3F);
    }
    *code_out = code;
    return length;
}

bool utf16_from_utf8(ByteSpan text, u16* out, u64 capacity, u64* count_out) {
    u64 n = 0;
    u64 i = 0;
    while (i < text.size) {
        u32 code = 0xFFFD;
        u32 length = sequence_length(text.data, text.size, i, &code);
        if (length == 0) {
            code = 0xFFFD;
            length = 1;
        }
        i += length;
        if (code >= 0x10000) {
            if (capacity - n < 2) return false;
            code -= 0x10000;
            out[n] = (u16)(0xD800 + (code >> 10));
            out[n + 1] = (u16)(0xDC00 + (code & 0x3FF));
            n += 2;
        } else {
            if (capacity - n < 1) return false;
            out[n++] = (u16)code;
        }
    }
    *count_out = n;
    return true;
}
