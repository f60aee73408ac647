// Buffers that end flush against a PROT_NONE guard page, so a fuzz target
// catches any access past the end of the memory a decoder was handed.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/mman.h>
#include <unistd.h>

#include "base/types.h"

struct Guarded {
    u8* base = nullptr;
    size_t mapped = 0;
    size_t cap = 0;

    void reserve(size_t size) {
        if (size <= cap) return;
        release();
        size_t page = (size_t)sysconf(_SC_PAGESIZE);
        size_t body = (size + page - 1) / page * page;
        mapped = body + page;
        base = (u8*)mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) __builtin_trap();
        mprotect(base + body, page, PROT_NONE);
        cap = body;
    }
    void release() {
        if (base) munmap(base, mapped);
        base = nullptr;
        cap = 0;
    }
    // The last `size` bytes before the guard page.
    u8* tail(size_t size) {
        reserve(size);
        return base + cap - size;
    }
    // The last `size` bytes before the guard page, the start rounded down to
    // `align` (so the end may fall up to align - 1 bytes short of the guard).
    u8* tail(size_t size, size_t align) {
        reserve(size + align);
        return (u8*)(((uintptr_t)(base + cap - size)) & ~(uintptr_t)(align - 1));
    }
};

// FNV-1a of the input: each run derives its options from it.
inline u64 fuzz_hash(const u8* p, size_t n) {
    u64 h = 1469598103934665603ull;
    for (size_t i = 0; i < n; i++) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

// A broken expectation ends the run as a crash the fuzzer reports.
inline void fuzz_check(bool ok) {
    if (!ok) __builtin_trap();
}
