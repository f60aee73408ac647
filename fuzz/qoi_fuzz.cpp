// libFuzzer target for the QOI decoder: the shared still-decoder body
// (probe, decode into guarded memory of the probe's sizes).
#include "codec/qoi/qoi.h"
#include "fuzz/still_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const StillDecoder qoi = {DECODER_QOI, nullptr, qoi_probe, qoi_decode};
    return fuzz_still_decoder(qoi, data, size);
}
