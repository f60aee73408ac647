// The virtual-memory layer under the arena and the reserved regions:
// VirtualAlloc/VirtualFree on Windows, mmap/mprotect/munmap on POSIX.
#pragma once

#include "base/types.h"

// Address space only: touching it faults until committed. Null on failure.
void* os_reserve(u64 size);
// Makes [address, address + size) of a reservation readable and writable,
// zero-filled on first touch.
bool os_commit(void* address, u64 size);
// Reserves and commits at once. Null on failure.
void* os_reserve_commit(u64 size);
// Returns a whole reservation made by os_reserve or os_reserve_commit.
void os_release(void* address, u64 size);
// Backs the whole pages of [address, address + size), which must be
// committed, with memory now, in one call: for a range about to be written
// whole, where a fault per page on first touch costs far more. A system
// without such a call leaves the pages to fault as they are met (true);
// false when the system has no memory left to back them.
bool os_prefault(void* address, u64 size);
// True when every page of [address, address + size) is backed by memory
// now, so that writing it takes no page fault; false when one is not, or
// where the system cannot tell.
bool os_resident(const void* address, u64 size);
