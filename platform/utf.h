// UTF-8 <-> UTF-16 conversion. The application keeps every text as UTF-8;
// UTF-16 exists only at the Windows boundary (paths, titles, drawn texts,
// dropped files). Portable code, so it is tested natively.
#pragma once

#include "base/span.h"

// Surrogate pairs are combined; a lone low surrogate, or a high surrogate not
// followed by a low one, fails the whole conversion, as does running out of
// room. On success *length_out is the number of bytes written.
bool utf8_from_utf16(const u16* units, u64 count, u8* out, u64 capacity, u64* length_out);

// Well-formed sequences per the Unicode table of valid byte sequences; any
// malformed byte becomes U+FFFD and consumes one byte. Code points above
// U+FFFF become surrogate pairs. Running out of room fails. On success
// *count_out is the number of units written.
bool utf16_from_utf8(ByteSpan text, u16* out, u64 capacity, u64* count_out);
