// ByteSpan: a pointer and a 64-bit length, passed by value. Every file image,
// path and text in the program travels as one; texts are UTF-8 and never
// NUL-terminated.
#pragma once

#include "base/types.h"

struct ByteSpan {
    u8* data;
    u64 size;
};

inline ByteSpan span_of(const void* data, u64 size) {
    return ByteSpan{(u8*)data, size};
}

// A span over a string literal, without its terminator.
template <u64 N>
inline ByteSpan lit(const char (&text)[N]) {
    return ByteSpan{(u8*)text, N - 1};
}

inline bool span_equal(ByteSpan a, ByteSpan b) {
    if (a.size != b.size) return false;
    for (u64 i = 0; i < a.size; i++) {
        if (a.data[i] != b.data[i]) return false;
    }
    return true;
}
