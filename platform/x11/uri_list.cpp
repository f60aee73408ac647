// The URI-list reader of file drops. Paths are bytes to the file system, so
// the decoded bytes are kept as they are (UTF-8 by convention).
#include "platform/x11/uri_list.h"

static u8 lower(u8 c) {
    return c >= 'A' && c <= 'Z' ? (u8)(c + 32) : c;
}

static bool equal_ignoring_case(ByteSpan a, const char* b, u64 n) {
    if (a.size != n) return false;
    for (u64 i = 0; i < n; i++) {
        if (lower(a.data[i]) != lower((u8)b[i])) return false;
    }
    return true;
}

static i32 hex_digit(u8 c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool file_uri_path(ByteSpan uri, ByteSpan host, u8* out, u64* length_out) {
    *length_out = 0;
    if (uri.size < 6 || !equal_ignoring_case(ByteSpan{uri.data, 5}, "file:", 5)) return false;
    u64 pos = 5;
    if (uri.size - pos >= 2 && uri.data[pos] == '/' && uri.data[pos + 1] == '/') {
        // An authority: empty, "localhost" or this machine.
        u64 start = pos + 2;
        u64 end = start;
        while (end < uri.size && uri.data[end] != '/') end++;
        ByteSpan authority = {uri.data + start, end - start};
        bool local = authority.size == 0 || equal_ignoring_case(authority, "localhost", 9) ||
                     (host.size != 0 && equal_ignoring_case(authority, (const char*)host.data, host.size));
        if (!local) return false;
        pos = end;
    }
    // What is left must be an absolute path.
    if (pos >= uri.size || uri.data[pos] != '/') return false;
    u64 n = 0;
    while (pos < uri.size) {
        u8 c = uri.data[pos];
        if (c < 0x20 || c == 0x7F) return false;
        if (c == '%') {
            if (uri.size - pos < 3) return false;
            i32 high = hex_digit(uri.data[pos + 1]);
            i32 low = hex_digit(uri.data[pos + 2]);
            if (high < 0 || low < 0) return false;
            c = (u8)(high * 16 + low);
            if (c == 0) return false;
            pos += 3;
        } else {
            pos++;
        }
        out[n++] = c;
    }
    *length_out = n;
    return true;
}

u32 read_uri_list(u8* text, u64 size, ByteSpan host, u64* offsets, u64* lengths, u32 capacity) {
    u32 count = 0;
    u64 pos = 0;
    u64 put = 0;  // decoded paths are written from the start, behind the reader
    while (pos < size && count < capacity) {
        u64 end = pos;
        while (end < size && text[end] != '\n') end++;
        u64 next = end < size ? end + 1 : end;
        if (end > pos && text[end - 1] == '\r') end--;
        ByteSpan line = {text + pos, end - pos};
        pos = next;
        if (line.size == 0 || line.data[0] == '#') continue;
        u64 length = 0;
        if (!file_uri_path(line, host, text + put, &length)) continue;
        offsets[count] = put;
        lengths[count] = length;
        count++;
        put += length;
    }
    return count;
}

static bool kept_in_uri(u8 c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~' || c == '/';
}

u64 write_uri_list(const ByteSpan* paths, u32 count, u8* out, u64 capacity) {
    static const char hex[] = "0123456789ABCDEF";
    u64 n = 0;
    for (u32 i = 0; i < count; i++) {
        ByteSpan p = paths[i];
        if (p.size == 0 || p.data[0] != '/') return 0;
        // Each byte takes at most 3; the scheme 7 and the line end 2.
        if (p.size > (capacity - n) / 3 || capacity - n - p.size * 3 < 9) {
            u64 need = 9;
            for (u64 k = 0; k < p.size; k++) need += kept_in_uri(p.data[k]) ? 1 : 3;
            if (need > capacity - n) return 0;
        }
        for (const char* s = "file://"; *s != 0; s++) out[n++] = (u8)*s;
        for (u64 k = 0; k < p.size; k++) {
            u8 c = p.data[k];
            if (kept_in_uri(c)) {
                out[n++] = c;
            } else {
                out[n++] = '%';
                out[n++] = (u8)hex[c >> 4];
                out[n++] = (u8)hex[c & 15];
            }
        }
        out[n++] = '\r';
        out[n++] = '\n';
    }
    return n;
}
