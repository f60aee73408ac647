// ReservedRegion: address space reserved once, committed on demand in 1 MiB
// steps and released whole. Each document's file bytes and decode memory, the
// tile pool and the memory of a save live in one.
#pragma once

#include "base/types.h"

static constexpr u64 REGION_COMMIT_STEP = 0x100000;

struct ReservedRegion {
    u8* base;
    u64 committed;
    u64 reserved;
    bool mapped;  // a file's read-only mapping (map_into_region): nothing committed
};

// Reserves `size` bytes of address space and commits nothing. On failure the
// region stays empty.
bool reserve(ReservedRegion* region, u64 size);

// Makes at least `size` bytes usable: commits from the current end to `size`
// rounded up to 1 MiB, capped at the reservation. False when `size` exceeds
// the reservation or the system refuses.
bool commit_to(ReservedRegion* region, u64 size);

// Frees the whole range, if any, and zeroes the record.
void release(ReservedRegion* region);

// Reads `size` bytes of an open file into `region`, reserved and committed
// for them (one byte at least) and populated first. False, with the region
// released, when memory is refused or the file gives fewer bytes.
struct FileHandle;
bool read_into_region(FileHandle file, u64 size, ReservedRegion* region);
// The file's `size` bytes mapped read-only into `region` instead: nothing
// is committed (the pages belong to the system's file cache), and the
// region must never be written or committed to. False, with the region
// empty, where the file cannot be mapped.
bool map_into_region(FileHandle file, u64 size, ReservedRegion* region);

// Backs [address, address + size), which lies in committed memory (any
// region's, or the heap's), with pages in one system call, for memory that is
// about to be written whole: a fresh commit otherwise takes a page fault per
// page on first touch. Contents are unchanged. False when the system cannot
// back the pages: the memory must then not be written, as if a commit had
// failed.
bool prefault(void* address, u64 size);
// True when every page of [address, address + size) is backed now, so that
// writing it takes no page fault (false where the system cannot tell).
bool resident(const void* address, u64 size);

// Test hook: the next call of one step (reserve, commit or populate) after
// `skip` successful ones fails as if the system had refused; one failure,
// then the hook is spent. REGION_STEP_NONE disarms it.
enum : u32 { REGION_STEP_NONE = 0, REGION_STEP_RESERVE = 1, REGION_STEP_COMMIT = 2, REGION_STEP_POPULATE = 3 };
void region_fail_next(u32 step, u32 skip);
