// TextBuffer: 1024 bytes and a length. Every append is cut so that the buffer
// never holds more than 1023 bytes; what does not fit is dropped silently.
// Used for the title, the message line, the status text and the state dump.
#pragma once

#include "base/span.h"

static constexpr u64 TEXT_CAPACITY = 1023;

struct TextBuffer {
    u8 bytes[1024];
    u64 length;
};

void text_clear(TextBuffer* text);
ByteSpan text_span(const TextBuffer* text);
void text_append(TextBuffer* text, ByteSpan bytes);
void text_append(TextBuffer* text, const char* zstring);
void text_append_u64(TextBuffer* text, u64 value);
void text_append_i64(TextBuffer* text, i64 value);
// One byte as two lower-case hexadecimal digits.
void text_append_hex8(TextBuffer* text, u8 value);
