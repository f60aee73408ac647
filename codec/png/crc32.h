// CRC-32 with the reflected polynomial 0xEDB88320 (the CRC of PNG chunks),
// pre- and post-inverted, so crc32_update(t, 0, ...) is the CRC of the bytes
// and calls chain over consecutive pieces. Slicing by eight: eight 256-entry
// tables let one step fold eight bytes with eight independent lookups.
#pragma once

#include "base/types.h"

struct Crc32Table {
    u32 entries[8][256];
};

void crc32_make_table(Crc32Table* table);

// Continues `value` (0 for new data) over `length` bytes.
u32 crc32_update(const Crc32Table* table, u32 value, const u8* bytes, u64 length);
// The plain twin: one byte at a time with table 0; the same results.
u32 crc32_update_scalar(const Crc32Table* table, u32 value, const u8* bytes, u64 length);
