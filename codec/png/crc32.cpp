// CRC-32 by slicing by eight, and the choice of variant. Table k maps a byte
// to its CRC contribution after k further zero bytes, so xor-ing the running value into the next
// eight bytes (little-endian) and looking each of them up in the table for
// its distance from the end folds all eight at once.
#include "codec/png/crc32.h"

#include <string.h>

#include "base/cpu.h"

void crc32_make_table(Crc32Table* table) {
    for (u32 i = 0; i < 256; i++) {
        u32 c = i;
        for (u32 k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table->entries[0][i] = c;
    }
    for (u32 k = 1; k < 8; k++) {
        for (u32 i = 0; i < 256; i++) {
            u32 prev = table->entries[k - 1][i];
            table->entries[k][i] = (prev >> 8) ^ table->entries[0][prev & 0xFF];
        }
    }
}

u32 crc32_update_scalar(const Crc32Table* table, u32 value, const u8* bytes, u64 length) {
    u32 c = ~value;
    for (u64 i = 0; i < length; i++) c = (c >> 8) ^ table->entries[0][(c ^ bytes[i]) & 0xFF];
    return ~c;
}

u32 crc32_update_slicing(const Crc32Table* table, u32 value, const u8* bytes, u64 length) {
    const u32(*t)[256] = table->entries;
    u32 c = ~value;
    while (length >= 8) {
        u64 v;
        memcpy(&v, bytes, 8);
        v ^= c;
        c = t[7][v & 0xFF] ^ t[6][(v >> 8) & 0xFF] ^ t[5][(v >> 16) & 0xFF] ^ t[4][(v >> 24) & 0xFF] ^
            t[3][(v >> 32) & 0xFF] ^ t[2][(v >> 40) & 0xFF] ^ t[1][(v >> 48) & 0xFF] ^ t[0][v >> 56];
        bytes += 8;
        length -= 8;
    }
    while (length > 0) {
        c = (c >> 8) ^ t[0][(c ^ *bytes) & 0xFF];
        bytes++;
        length--;
    }
    return ~c;
}

// ---- Dispatch ------------------------------------------------------------------

typedef u32 (*Crc32Fn)(const Crc32Table* table, u32 value, const u8* bytes, u64 length);
static Crc32Fn g_crc32 = nullptr;

bool crc32_variant_supported(u32 variant) {
    switch (variant) {
    case CRC32_VARIANT_SCALAR:
    case CRC32_VARIANT_SLICING: return true;
    case CRC32_VARIANT_CLMUL: return __builtin_cpu_supports("pclmul") != 0;
    case CRC32_VARIANT_VPCLMUL:
        __builtin_cpu_init();
        return cpu_has_avx2() && __builtin_cpu_supports("pclmul") != 0 &&
               __builtin_cpu_supports("vpclmulqdq") != 0;
    default: return false;
    }
}

bool crc32_force_variant(u32 variant) {
    if (!crc32_variant_supported(variant)) return false;
    static const Crc32Fn fns[4] = {crc32_update_scalar, crc32_update_slicing, crc32_update_clmul,
                                   crc32_update_vpclmul};
    g_crc32 = fns[variant];
    return true;
}

u32 crc32_update(const Crc32Table* table, u32 value, const u8* bytes, u64 length) {
    if (g_crc32 == nullptr) {
        g_crc32 = crc32_variant_supported(CRC32_VARIANT_VPCLMUL) ? crc32_update_vpclmul
                  : crc32_variant_supported(CRC32_VARIANT_CLMUL) ? crc32_update_clmul
                                                                 : crc32_update_slicing;
    }
    return g_crc32(table, value, bytes, length);
}
