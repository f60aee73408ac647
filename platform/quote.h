// Command-line quoting: used where a command line must be built from
// separate arguments (POSIX start-up, harnesses that start the program).
#pragma once

#include "base/span.h"

// Spaces and tabs separate arguments.
inline bool is_blank(u8 c) {
    return c == ' ' || c == '\t';
}

// Writes what fits into `out` (null: nothing) and counts every byte, so one
// pass both measures and fills.
struct CountingSink {
    u8* out;
    u64 capacity;
    u64 length;
    void put(u8 c) {
        if (out != nullptr && length < capacity) out[length] = c;
        length++;
    }
};

// Writes `arg` so that the command-line tokenizer gives it back: blanks and
// quotes force quoting, backslashes before a quote are doubled and the quote
// escaped. The program name cannot carry a quote. Returns the length
// written, or 0 when it does not fit or cannot be expressed.
u64 quote_argument(ByteSpan arg, bool program_name, u8* out, u64 capacity);
