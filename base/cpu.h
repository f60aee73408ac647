// The processor check behind every AVX2 kernel. The files that hold them
// are built for AVX2 with BMI2, and the compiler may use either in them, so
// a processor must have both before any of those kernels is chosen.
#pragma once

static inline bool cpu_has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("bmi2") != 0;
}
