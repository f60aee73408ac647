// Command-line quoting: used where a command line must be built from
// separate arguments (POSIX start-up, harnesses that start the program).
#pragma once

#include "base/span.h"

// Writes `arg` so that the command-line tokenizer gives it back: blanks and
// quotes force quoting, backslashes before a quote are doubled and the quote
// escaped. The program name cannot carry a quote. Returns the length
// written, or 0 when it does not fit or cannot be expressed.
u64 quote_argument(ByteSpan arg, bool program_name, u8* out, u64 capacity);
