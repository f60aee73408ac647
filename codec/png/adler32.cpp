// Adler-32: the scalar kernel and the dispatch. The scalar kernel reduces
// every 128 bytes, the vector one every 2048; both return fully reduced sums,
// so they agree after any number of bytes. x86-64 always has SSE2; the AVX2
// kernel is taken when the CPU has it (about twice the SSE2 speed, which was
// 3 to 4 % of an inflate's time). The pointer also lets tests run each
// variant.
#include "codec/png/adler32.h"

#include "base/cpu.h"

static const u32 ADLER_MOD = 65521;
static const u64 ADLER_ROUND = 128;

u32 adler32_update_scalar(u32 value, const u8* bytes, u64 length) {
    u32 a = value & 0xFFFF;
    u32 b = value >> 16;
    while (length > 0) {
        u64 n = length < ADLER_ROUND ? length : ADLER_ROUND;
        for (u64 i = 0; i < n; i++) {
            a += bytes[i];
            b += a;
        }
        a %= ADLER_MOD;
        b %= ADLER_MOD;
        bytes += n;
        length -= n;
    }
    return (b << 16) | a;
}

typedef u32 (*Adler32Fn)(u32, const u8*, u64);

bool adler32_variant_supported(u32 variant) {
    switch (variant) {
    case ADLER32_VARIANT_SCALAR:
    case ADLER32_VARIANT_SSE2: return true;
    case ADLER32_VARIANT_AVX2: return cpu_has_avx2();
    default: return false;
    }
}

static Adler32Fn best_adler32() {
    return adler32_variant_supported(ADLER32_VARIANT_AVX2) ? adler32_update_avx2 : adler32_update_sse2;
}

// Chosen once, before main.
static Adler32Fn g_adler32 = best_adler32();

u32 adler32_update(u32 value, const u8* bytes, u64 length) {
    return g_adler32(value, bytes, length);
}

bool adler32_force_variant(u32 variant) {
    if (!adler32_variant_supported(variant)) return false;
    static const Adler32Fn fns[3] = {adler32_update_scalar, adler32_update_sse2, adler32_update_avx2};
    g_adler32 = fns[variant];
    return true;
}

void adler32_select_variant() {
    g_adler32 = best_adler32();
}
