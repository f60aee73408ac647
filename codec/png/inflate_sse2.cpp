// The inflate fast loop with SSE2 match copies (inflate_copy_sse2.h), for
// every x86-64 CPU.
#include "codec/png/inflate_copy_sse2.h"

void inflate_fast_sse2(InflateState* s, const u8* in, u64 in_size, u8* out, u64 out_size) {
    inflate_fast_loop<InflateCopySse2>(s, in, in_size, out, out_size);
}
