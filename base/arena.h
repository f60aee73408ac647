// Arena: one range reserved and committed at start-up; `arena_alloc` hands
// out aligned pieces and nothing is ever returned. The range lives until the
// process ends, so every fixed buffer of the program is carved from it once.
#pragma once

#include "base/span.h"

struct Arena {
    u64 base;      // address of the committed range
    u64 used;      // bytes handed out, padding included
    u64 capacity;  // bytes in the range
};

// Reserves and commits `size` bytes; on failure all fields stay 0.
bool arena_init(Arena* arena, u64 size);

// A piece of `size` bytes at the next multiple of `align` (a power of two).
// Fails (null, 0) for align 0 or not a power of two, size 0, or when padding
// plus size does not fit in what remains.
ByteSpan arena_alloc(Arena* arena, u64 size, u64 align);
