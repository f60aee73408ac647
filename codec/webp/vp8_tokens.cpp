// The coefficient tokens of one macroblock, baseline build: the 4 x 4 luma
// kernel (prediction and residue) is called through the kernel table.
#include "codec/webp/vp8_tokens_impl.h"

bool vp8_parse_residuals(Vp8Decoder* d, u8* scratch, u32 mb_x, const Vp8MbModes* m, Vp8Bits* tokens, u8* luma) {
    return parse_residuals(d, scratch, mb_x, m, tokens, luma, vp8_kernels()->luma4_add);
}
