// libFuzzer target for the ICO/CUR decoder: the shared still-decoder body
// (the PNG-entry check, probe, decode into guarded memory of the probe's
// sizes), with the BMP row kernels picked by a hash of the input.
#include "codec/bmp/bmp.h"
#include "codec/ico/ico.h"
#include "fuzz/still_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bmp_kernels_force((fuzz_hash(data, size) >> 8) & 1 ? BMP_KERNELS_SCALAR : BMP_KERNELS_SSE2);
    static const StillDecoder ico = {DECODER_ICO, ico_embedded, ico_probe, ico_decode};
    return fuzz_still_decoder(ico, data, size);
}
