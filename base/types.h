// Fixed-width integer names and the one assertion macro shared by every layer.
// Assertions catch programmer mistakes; they are live whenever QB_ASSERTS is
// defined (debug and test builds) and compile to nothing otherwise.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int8_t i8;
typedef int16_t i16;
typedef int32_t i32;
typedef int64_t i64;

#if defined(QB_ASSERTS)
#define QB_ASSERT(cond) \
    do { \
        if (!(cond)) __builtin_trap(); \
    } while (0)
#else
#define QB_ASSERT(cond) \
    do { \
    } while (0)
#endif

#define QB_FORCE_INLINE inline __attribute__((always_inline))
