// Process-level OS calls made by start-up: the console, the command line, the
// current folder, absolute paths and the clock.
#pragma once

#include "base/span.h"

// Detaches from a console inherited from the parent when this process is its
// only user.
void detach_console();

// The command line as UTF-8, or an empty span when it cannot be had. The
// bytes live until the process ends.
ByteSpan command_line();

// The current folder as UTF-8 with a trailing separator, into `out`
// (capacity bytes); the length, or 0 when it cannot be had or does not fit.
u64 current_folder(u8* out, u64 capacity);

// `path` made absolute against the current folder, into `out`; the length,
// or 0 when it cannot be done. An absolute path comes back unchanged.
u64 full_path(ByteSpan path, u8* out, u64 capacity);

// Milliseconds since some fixed point, wrapping at 2^32.
u32 tick_count();

// The platform's path separator ('\\' on Windows, '/' elsewhere).
u8 path_separator();

// A named shared-memory section of `size` bytes, created (or opened) and
// mapped writable whole: a paging-file mapping on Windows, a POSIX shared
// memory object elsewhere ("/" + name). Null when it cannot be had.
u8* open_shared_section(ByteSpan name, u64 size);

// This process's id.
u32 process_id();
// Removes a section's name (POSIX shared memory persists until then; on
// Windows the section goes with its last handle and this does nothing).
void remove_shared_section(ByteSpan name);
