// TextBuffer appends: each copies what fits below the 1023-byte cap.
#include "base/text.h"

void text_clear(TextBuffer* text) {
    text->length = 0;
}

ByteSpan text_span(const TextBuffer* text) {
    return ByteSpan{(u8*)text->bytes, text->length};
}

void text_append(TextBuffer* text, ByteSpan bytes) {
    QB_ASSERT(text->length <= TEXT_CAPACITY);
    u64 room = TEXT_CAPACITY - text->length;
    u64 n = bytes.size < room ? bytes.size : room;
    for (u64 i = 0; i < n; i++) text->bytes[text->length + i] = bytes.data[i];
    text->length += n;
}

void text_append(TextBuffer* text, const char* zstring) {
    u64 n = 0;
    while (zstring[n] != 0) n++;
    text_append(text, ByteSpan{(u8*)zstring, n});
}

void text_append_u64(TextBuffer* text, u64 value) {
    u8 digits[20];
    u64 n = 0;
    do {
        digits[19 - n] = (u8)('0' + value % 10);
        value /= 10;
        n++;
    } while (value != 0);
    text_append(text, ByteSpan{digits + 20 - n, n});
}

void text_append_i64(TextBuffer* text, i64 value) {
    if (value < 0) {
        text_append(text, lit("-"));
        // Negate in unsigned arithmetic so that INT64_MIN stays exact.
        text_append_u64(text, 0 - (u64)value);
    } else {
        text_append_u64(text, (u64)value);
    }
}

void text_append_hex8(TextBuffer* text, u8 value) {
    static const char hex[] = "0123456789abcdef";
    u8 pair[2] = {(u8)hex[value >> 4], (u8)hex[value & 15]};
    text_append(text, ByteSpan{pair, 2});
}
