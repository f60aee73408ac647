// Reserve, commit in 1 MiB steps, release whole; files read whole into one.
#include "base/region.h"

#include "platform/files.h"
#include "platform/memory.h"

// ---- Fault injection ----------------------------------------------------------

static u32 g_fail_step = REGION_STEP_NONE;
static u32 g_fail_skip = 0;

void region_fail_next(u32 step, u32 skip) {
    g_fail_step = step;
    g_fail_skip = skip;
}

static bool injected_failure(u32 step) {
    if (g_fail_step != step) return false;
    if (g_fail_skip > 0) {
        g_fail_skip--;
        return false;
    }
    g_fail_step = REGION_STEP_NONE;
    return true;
}

// ---- Regions ------------------------------------------------------------------

bool reserve(ReservedRegion* region, u64 size) {
    region->base = nullptr;
    region->committed = 0;
    region->reserved = 0;
    region->mapped = false;
    if (size == 0 || injected_failure(REGION_STEP_RESERVE)) return false;
    void* memory = os_reserve(size);
    if (memory == nullptr) return false;
    region->base = (u8*)memory;
    region->reserved = size;
    return true;
}

bool commit_to(ReservedRegion* region, u64 size) {
    if (size <= region->committed) return true;
    if (region->mapped) return false;
    if (size > region->reserved) return false;
    // size <= reserved, so the rounding below cannot wrap for any real
    // reservation; the cap keeps the commit inside the range.
    u64 target = (size + (REGION_COMMIT_STEP - 1)) & ~(REGION_COMMIT_STEP - 1);
    if (target > region->reserved || target < size) target = region->reserved;
    if (injected_failure(REGION_STEP_COMMIT)) return false;
    if (!os_commit(region->base + region->committed, target - region->committed)) return false;
    region->committed = target;
    return true;
}

bool read_into_region(FileHandle file, u64 size, ReservedRegion* region) {
    u64 room = size == 0 ? 1 : size;
    if (!reserve(region, room) || !commit_to(region, room)) {
        release(region);
        return false;
    }
    if (!prefault(region->base, size) || read_file(file, region->base, size) < size) {
        release(region);
        return false;
    }
    return true;
}

bool map_into_region(FileHandle file, u64 size, ReservedRegion* region) {
    release(region);
    u8* base = injected_failure(REGION_STEP_RESERVE) ? nullptr : map_file(file, size);
    if (base == nullptr) return false;
    region->base = base;
    region->reserved = size;
    region->mapped = true;
    return true;
}

bool prefault(void* address, u64 size) {
    if (injected_failure(REGION_STEP_POPULATE)) return false;
    return os_prefault(address, size);
}

bool resident(const void* address, u64 size) {
    return os_resident(address, size);
}

void release(ReservedRegion* region) {
    if (region->base != nullptr && region->mapped) {
        unmap_file(region->base, region->reserved);
    } else if (region->base != nullptr) {
        os_release(region->base, region->reserved);
    }
    region->base = nullptr;
    region->committed = 0;
    region->reserved = 0;
    region->mapped = false;
}
