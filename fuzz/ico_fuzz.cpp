// libFuzzer target for the ICO/CUR decoder: the embedded-PNG check, the
// probe, then the decode into memory of exactly the probe's sizes. The file,
// the scratch and the pixels each end flush against a PROT_NONE guard page,
// so any access past them faults. A hash of the input picks the kernel
// variant. Results are checked for consistency: a failure carries an error
// code and an offset within the file, a PNG entry lies inside it, and
// an image the probe accepts has the probe's sizes.
#include <stdint.h>
#include <string.h>

#include "codec/ico/ico.h"
#include "fuzz/guarded.h"

namespace {

Guarded g_file, g_scratch, g_pixels;

// Decoded memory above this is skipped: a valid entry may claim 2^26 pixels.
const u64 kMemoryCap = 96ull << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    u64 h = fuzz_hash(data, size);
    bmp_kernels_force((h >> 8) & 1 ? BMP_KERNELS_SCALAR : BMP_KERNELS_SSE2);
    u8* file = g_file.tail(size, 1);
    if (size != 0) memcpy(file, data, size);
    CodecError err;
    ByteSpan inner;
    if (ico_embedded(file, size, &inner, &err)) {
        fuzz_check(inner.size == 0 || (inner.data >= file && inner.data + inner.size <= file + size));
    } else {
        fuzz_check(err.code != ERR_OK && err.offset <= size);
    }
    ImageInfo info;
    if (!ico_probe(file, size, &info, &err)) {
        fuzz_check(err.code != ERR_OK && err.offset <= size);
        return 0;
    }
    fuzz_check(info.decoder == DECODER_ICO && info.width > 0 && info.height > 0);
    fuzz_check(info.pixel_bytes == row_stride(info.width) * info.height + 32);
    if (info.pixel_bytes + info.scratch_bytes > kMemoryCap) return 0;
    u8* scratch = g_scratch.tail(info.scratch_bytes, 64);
    PixelBuffer out = {g_pixels.tail(info.pixel_bytes, 32), row_stride(info.width), info.width, info.height};
    if (!ico_decode(file, size, scratch, info.scratch_bytes, &out, &err))
        fuzz_check(err.code != ERR_OK && err.code != ERR_BAD_TARGET && err.offset <= size);
    return 0;
}
