// Adler-32 (RFC 1950, modulus 65521), the check of a zlib stream. Bytes are
// taken in rounds (128 bytes scalar, 2048 vector), short enough that both
// sums stay below 2^32 and are reduced once per round. The vector kernels sum
// 16- or 32-byte groups (plain byte sums, and sums weighted from the group
// size down to 1 across the group); all variants give the same value for the
// same bytes.
#pragma once

#include "base/types.h"

// Continues `value` (1 for a new stream) over `length` bytes.
u32 adler32_update(u32 value, const u8* bytes, u64 length);

u32 adler32_update_scalar(u32 value, const u8* bytes, u64 length);
u32 adler32_update_sse2(u32 value, const u8* bytes, u64 length);
u32 adler32_update_avx2(u32 value, const u8* bytes, u64 length);

enum : u32 { ADLER32_VARIANT_SCALAR = 0, ADLER32_VARIANT_SSE2 = 1, ADLER32_VARIANT_AVX2 = 2 };
bool adler32_variant_supported(u32 variant);
// Test-only: route adler32_update to `variant`; false when unknown or when
// this CPU cannot run it.
bool adler32_force_variant(u32 variant);
// Puts back the variant chosen at start-up (AVX2 when the CPU has it).
void adler32_select_variant();
