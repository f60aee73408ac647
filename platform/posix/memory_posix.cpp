// Virtual memory on POSIX: a reservation is an inaccessible anonymous mapping;
// committing makes a range readable and writable. Prefaulting asks Linux to
// populate the range for writing; other systems, and kernels before 5.14,
// refuse the advice and the pages fault one by one as before.
#include <errno.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/memory.h"

void* os_reserve(u64 size) {
    void* p = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

bool os_commit(void* address, u64 size) {
    return mprotect(address, size, PROT_READ | PROT_WRITE) == 0;
}

void* os_reserve_commit(u64 size) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void os_release(void* address, u64 size) {
    munmap(address, size);
}

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

// Asked of the system 16 MiB of 4 KiB pages at a time (one status byte a
// page), stopping at the first chunk with a page not backed.
bool os_resident(const void* address, u64 size) {
    if (size == 0) return true;
    static const u64 page = (u64)sysconf(_SC_PAGESIZE);
    u64 start = (u64)address & ~(page - 1);
    u64 end = ((u64)address + size + page - 1) & ~(page - 1);
    unsigned char status[4096];
    for (u64 at = start; at < end;) {
        u64 pages = (end - at) / page < sizeof status ? (end - at) / page : sizeof status;
        if (mincore((void*)at, pages * page, status) != 0) return false;
        for (u64 i = 0; i < pages; i++) {
            if (!(status[i] & 1)) return false;
        }
        at += pages * page;
    }
    return true;
}

bool os_prefault(void* address, u64 size) {
    if (size == 0) return true;
    static const u64 page = (u64)sysconf(_SC_PAGESIZE);
    u64 start = (u64)address & ~(page - 1);
    u64 end = ((u64)address + size + page - 1) & ~(page - 1);
#ifdef __linux__
    // Older kernels refuse the advice itself (EINVAL): nothing was asked of
    // memory. ENOMEM (and EFAULT past a failed commit) means the pages
    // cannot be had.
    if (madvise((void*)start, end - start, MADV_POPULATE_WRITE) != 0 && errno != EINVAL) return false;
#else
    (void)start;
    (void)end;
#endif
    return true;
}
