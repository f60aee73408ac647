// libFuzzer target for the BMP decoder: the shared still-decoder body
// (embedded-stream check, probe, decode into guarded memory of the probe's
// sizes), with the row kernels picked by a hash of the input.
#include "codec/bmp/bmp.h"
#include "fuzz/still_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bmp_kernels_force((fuzz_hash(data, size) >> 8) & 1 ? BMP_KERNELS_SCALAR : BMP_KERNELS_SSE2);
    static const StillDecoder bmp = {DECODER_BMP, bmp_embedded, bmp_probe, bmp_decode};
    return fuzz_still_decoder(bmp, data, size);
}
