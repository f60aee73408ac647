// Virtual memory on POSIX: a reservation is an inaccessible anonymous mapping;
// committing makes a range readable and writable.
#include <sys/mman.h>

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
