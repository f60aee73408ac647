// libFuzzer target for the PNM and PAM decoder: probe, then decode into a
// pixel buffer and a scratch of exactly the probe's sizes, each ending flush
// against a PROT_NONE guard page, as does the file. A hash of the input
// picks the row kernels (scalar or SSE2). A failure must carry an error code
// and an offset within the file.
#include <stdint.h>
#include <string.h>

#include "codec/pnm/expand.h"
#include "codec/pnm/pnm.h"
#include "fuzz/guarded.h"

namespace {

Guarded g_file, g_scratch, g_pixels;

// Decoded memory above this is skipped: a valid header may claim 2^26 pixels.
const u64 kMemoryCap = 96ull << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    u64 h = fuzz_hash(data, size);
    expand_kernels_force((u32)((h >> 8) & 1));
    u8* file = g_file.tail(size);
    if (size != 0) memcpy(file, data, size);
    ImageInfo info;
    CodecError err;
    if (!pnm_probe(file, size, &info, &err)) {
        fuzz_check(err.code != ERR_OK && err.offset <= size);
        return 0;
    }
    fuzz_check(info.decoder == DECODER_PNM && info.width && info.height && info.frame_count == 1);
    fuzz_check(info.pixel_bytes == row_stride(info.width) * info.height + 32);
    if (info.pixel_bytes + info.scratch_bytes > kMemoryCap) return 0;
    PixelBuffer out = {g_pixels.tail(info.pixel_bytes, 32), row_stride(info.width), info.width, info.height};
    u8* scratch = g_scratch.tail(info.scratch_bytes, 64);
    if (!pnm_decode(file, size, scratch, info.scratch_bytes, &out, &err))
        fuzz_check(err.code != ERR_OK && err.offset <= size);
    else
        fuzz_check(err.code == ERR_OK);
    return 0;
}
