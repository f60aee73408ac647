// CRC-32 with the reflected polynomial 0xEDB88320 (the CRC of PNG chunks),
// pre- and post-inverted, so crc32_update(t, 0, ...) is the CRC of the bytes
// and calls chain over consecutive pieces. Carry-less multiplication where
// the CPU has it, chosen once at the first call; slicing by eight (eight
// 256-entry tables fold eight bytes with eight independent lookups) as its
// twin and for short inputs.
#pragma once

#include "base/types.h"

struct Crc32Table {
    u32 entries[8][256];
};

void crc32_make_table(Crc32Table* table);

// Continues `value` (0 for new data) over `length` bytes, with the variant
// chosen for this CPU.
u32 crc32_update(const Crc32Table* table, u32 value, const u8* bytes, u64 length);
// The plain twin: one byte at a time with table 0; the same results.
u32 crc32_update_scalar(const Crc32Table* table, u32 value, const u8* bytes, u64 length);
u32 crc32_update_slicing(const Crc32Table* table, u32 value, const u8* bytes, u64 length);
// Needs PCLMULQDQ (crc32_variant_supported).
u32 crc32_update_clmul(const Crc32Table* table, u32 value, const u8* bytes, u64 length);
// Needs AVX2 and VPCLMULQDQ.
u32 crc32_update_vpclmul(const Crc32Table* table, u32 value, const u8* bytes, u64 length);

enum : u32 {
    CRC32_VARIANT_SCALAR = 0,
    CRC32_VARIANT_SLICING = 1,
    CRC32_VARIANT_CLMUL = 2,
    CRC32_VARIANT_VPCLMUL = 3,
};
bool crc32_variant_supported(u32 variant);
// Test-only: route crc32_update to `variant`; false (no change) when unknown
// or not supported here.
bool crc32_force_variant(u32 variant);
