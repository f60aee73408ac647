// Virtual memory on Windows: MEM_RESERVE for address space, MEM_COMMIT in
// steps, MEM_RELEASE of the whole reservation. Prefaulting does nothing here:
// fresh pages fault in as they are first written.
#include <windows.h>

#include "platform/memory.h"

void* os_reserve(u64 size) {
    return VirtualAlloc(nullptr, (SIZE_T)size, MEM_RESERVE, PAGE_NOACCESS);
}

bool os_commit(void* address, u64 size) {
    return VirtualAlloc(address, (SIZE_T)size, MEM_COMMIT, PAGE_READWRITE) != nullptr;
}

void* os_reserve_commit(u64 size) {
    return VirtualAlloc(nullptr, (SIZE_T)size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void os_release(void* address, u64) {
    VirtualFree(address, 0, MEM_RELEASE);
}

// A commit already guarantees backing on Windows: nothing to populate.
bool os_prefault(void*, u64) {
    return true;
}

// Not asked of the system here: callers then take the memory as fresh.
bool os_resident(const void*, u64) {
    return false;
}
