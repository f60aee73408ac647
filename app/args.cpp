// Command-line tokenizer.
#include "app/args.h"

#include "platform/quote.h"

bool parse_argument(ByteSpan line, u64 pos, u64* pos_out, bool program_name, u8* out, u64 capacity,
                    u64* length_out) {
    CountingSink sink = {out, capacity, 0};
    const u8* p = line.data;
    u64 n = line.size;
    bool quoted = false;
    if (program_name) {
        if (pos >= n) return false;
        for (; pos < n && (quoted || !is_blank(p[pos])); pos++) {
            if (p[pos] == '"') {
                quoted = !quoted;
            } else {
                sink.put(p[pos]);
            }
        }
    } else {
        while (pos < n && is_blank(p[pos])) pos++;
        if (pos >= n) return false;
        while (pos < n && (quoted || !is_blank(p[pos]))) {
            u8 c = p[pos];
            if (c == '\\') {
                u64 run = 0;
                while (pos + run < n && p[pos + run] == '\\') run++;
                if (pos + run < n && p[pos + run] == '"') {
                    for (u64 i = 0; i < run / 2; i++) sink.put('\\');
                    pos += run;
                    if (run % 2 == 1) {
                        sink.put('"');
                        pos++;
                    }
                    // With an even run the quote is handled by the next turn.
                } else {
                    for (u64 i = 0; i < run; i++) sink.put('\\');
                    pos += run;
                }
            } else if (c == '"') {
                if (quoted && pos + 1 < n && p[pos + 1] == '"') {
                    sink.put('"');
                    pos += 2;
                } else {
                    quoted = !quoted;
                    pos++;
                }
            } else {
                sink.put(c);
                pos++;
            }
        }
    }
    *pos_out = pos;
    *length_out = sink.length;
    return true;
}

u64 argument_count(ByteSpan line) {
    u64 count = 0;
    u64 pos = 0;
    u64 length = 0;
    while (parse_argument(line, pos, &pos, count == 0, nullptr, 0, &length)) count++;
    return count;
}

ByteSpan argument(ByteSpan line, u64 index, Arena* arena) {
    u64 pos = 0;
    u64 length = 0;
    for (u64 i = 0;; i++) {
        u64 start = pos;
        if (!parse_argument(line, start, &pos, i == 0, nullptr, 0, &length)) return ByteSpan{nullptr, 0};
        if (i != index) continue;
        ByteSpan copy = arena_alloc(arena, length + 1, 1);
        if (copy.data == nullptr) return ByteSpan{nullptr, 0};
        parse_argument(line, start, &pos, i == 0, copy.data, length, &length);
        copy.data[length] = 0;
        return ByteSpan{copy.data, length};
    }
}
