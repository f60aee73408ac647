// The command-line tokenizer, with the quoting and backslash rules of the
// Windows command line: the program name ends at the first blank outside
// quotes; later arguments treat 2n backslashes before a quote as n
// backslashes and an opening or closing quote, 2n+1 as n backslashes and a
// literal quote, and "" inside quotes as one literal quote.
#pragma once

#include "base/arena.h"

// One argument starting at `pos`. False when no argument remains. The bytes
// go to `out` (up to `capacity`; null just measures), the full length to
// `*length_out`, and the position after the argument to `*pos_out`.
bool parse_argument(ByteSpan line, u64 pos, u64* pos_out, bool program_name, u8* out, u64 capacity,
                    u64* length_out);

// Number of arguments, the program name included.
u64 argument_count(ByteSpan line);

// Argument `index` (0 is the program name) copied into a piece of the arena;
// an empty span when there is no such argument or no room.
ByteSpan argument(ByteSpan line, u64 index, Arena* arena);
