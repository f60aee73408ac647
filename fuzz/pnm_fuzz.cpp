// libFuzzer target for the PNM and PAM decoder: the shared still-decoder
// body (probe, decode into guarded memory of the probe's sizes), with the
// row kernels (scalar or SSE2) picked by a hash of the input.
#include "codec/pnm/expand.h"
#include "codec/pnm/pnm.h"
#include "fuzz/still_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    expand_kernels_force((u32)((fuzz_hash(data, size) >> 8) & 1));
    static const StillDecoder pnm = {DECODER_PNM, nullptr, pnm_probe, pnm_decode};
    return fuzz_still_decoder(pnm, data, size);
}
