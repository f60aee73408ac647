// Quoting one argument for a command line, so that the tokenizer of the
// Windows command-line rules gives it back unchanged.
#include "platform/quote.h"

u64 quote_argument(ByteSpan arg, bool program_name, u8* out, u64 capacity) {
    CountingSink sink = {out, capacity, 0};
    bool needs_quotes = arg.size == 0;
    for (u64 i = 0; i < arg.size; i++) {
        if (is_blank(arg.data[i]) || arg.data[i] == '"') needs_quotes = true;
    }
    if (program_name) {
        // No escapes exist in the program name: quotes cannot be carried.
        for (u64 i = 0; i < arg.size; i++) {
            if (arg.data[i] == '"') return 0;
        }
        if (needs_quotes) sink.put('"');
        for (u64 i = 0; i < arg.size; i++) sink.put(arg.data[i]);
        if (needs_quotes) sink.put('"');
    } else if (!needs_quotes) {
        for (u64 i = 0; i < arg.size; i++) sink.put(arg.data[i]);
    } else {
        sink.put('"');
        u64 backslashes = 0;
        for (u64 i = 0; i < arg.size; i++) {
            u8 c = arg.data[i];
            if (c == '\\') {
                backslashes++;
                continue;
            }
            // Backslashes before a quote are doubled, and the quote escaped.
            u64 copies = c == '"' ? backslashes * 2 + 1 : backslashes;
            for (u64 k = 0; k < copies; k++) sink.put('\\');
            backslashes = 0;
            sink.put(c);
        }
        // Backslashes before the closing quote are doubled too.
        for (u64 k = 0; k < backslashes * 2; k++) sink.put('\\');
        sink.put('"');
    }
    if (sink.length > capacity) return 0;
    return sink.length;
}
