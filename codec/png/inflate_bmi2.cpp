// The inflate fast loop with SSE2 match copies, built with BMI and BMI2: the
// next lookup's index is one bit-field extract controlled by the entry itself,
// the bit fields of the table entries are taken with single-instruction masks,
// and shifts by a register need no count register. Chosen at start-up when the
// CPU has both.
#include "codec/png/inflate_copy_sse2.h"

void inflate_fast_bmi2(InflateState* s, const u8* in, u64 in_size, u8* out, u64 out_size) {
    inflate_fast_loop<InflateCopySse2>(s, in, in_size, out, out_size);
}
