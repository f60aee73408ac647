// Bump allocation over one committed range. Sanitizer builds mark the unused
// tail as poisoned, so a write past a carving is caught at once.
#include "base/arena.h"

#include "platform/memory.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QB_ARENA_POISON 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QB_ARENA_POISON 1
#endif

#if defined(QB_ARENA_POISON)
extern "C" void __asan_poison_memory_region(void const volatile* addr, size_t size);
extern "C" void __asan_unpoison_memory_region(void const volatile* addr, size_t size);
#endif

bool arena_init(Arena* arena, u64 size) {
    arena->base = 0;
    arena->used = 0;
    arena->capacity = 0;
    if (size == 0) return false;
    void* memory = os_reserve_commit(size);
    if (memory == nullptr) return false;
    arena->base = (u64)(uintptr_t)memory;
    arena->capacity = size;
#if defined(QB_ARENA_POISON)
    __asan_poison_memory_region(memory, size);
#endif
    return true;
}

ByteSpan arena_alloc(Arena* arena, u64 size, u64 align) {
    ByteSpan none = {nullptr, 0};
    if (align == 0 || (align & (align - 1)) != 0) return none;
    if (size == 0) return none;
    u64 padding = (align - 1) & (0 - (arena->base + arena->used));
    u64 remaining = arena->capacity - arena->used;
    // Compare without forming padding + size, which could wrap.
    if (padding > remaining || size > remaining - padding) return none;
    u8* result = (u8*)(uintptr_t)(arena->base + arena->used + padding);
    arena->used += padding + size;
#if defined(QB_ARENA_POISON)
    __asan_unpoison_memory_region(result, size);
#endif
    return ByteSpan{result, size};
}
