// libFuzzer target for the TIFF decoder: the probe, the job's start and a
// few rectangles picked by a hash of the input (the first, one across block
// edges, the bottom-right corner, and the first again from the cache), then
// the coarse levels of reduced-resolution images. The
// file and the scratch each end flush against a PROT_NONE guard page, so any
// access past them faults. Results are checked for consistency: a failure
// carries an error code and an offset within the file, and an image the
// probe accepts has the probe's sizes.
#include <stdint.h>
#include <string.h>

#include "codec/jpeg/jpeg.h"
#include "codec/tiff/tiff.h"
#include "fuzz/guarded.h"

namespace {

Guarded g_file, g_scratch, g_out;

// Scratch above this is skipped: a valid header may ask for large blocks.
const u64 kMemoryCap = 96ull << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static JpegDecoder jpeg_work;
    u64 h = fuzz_hash(data, size);
    u8* file = g_file.tail(size, 1);
    if (size != 0) memcpy(file, data, size);
    CodecError err;
    ImageInfo info;
    if (!tiff_probe(file, size, &info, &jpeg_work, &err)) {
        fuzz_check(err.code != ERR_OK && err.offset <= size);
        return 0;
    }
    fuzz_check(info.decoder == DECODER_TIFF && info.width > 0 && info.height > 0 && info.pixel_bytes == 64);
    if (info.scratch_bytes > kMemoryCap) return 0;
    u8* scratch = g_scratch.tail(info.scratch_bytes, 64);
    if (!tiff_begin(file, size, scratch, info.scratch_bytes, &err)) {
        fuzz_check(false);  // the probe accepted the same bytes
        return 0;
    }
    u8* out = g_out.tail(256 * 1024, 64);
    PixelBuffer tile = {out, 1024, 256, 256};
    u32 w = info.width;
    u32 hh = info.height;
    u32 rects[4][4] = {
        {0, 0, w < 256 ? w : 256, hh < 256 ? hh : 256},
        {(u32)(h % w), (u32)((h >> 20) % hh), 0, 0},
        {w > 37 ? w - 37 : 0, hh > 19 ? hh - 19 : 0, 0, 0},
        {0, 0, w < 64 ? w : 64, hh < 64 ? hh : 64},
    };
    for (auto& r : rects) {
        if (r[2] == 0) {
            r[2] = w - r[0] < 256 ? w - r[0] : 256;
            r[3] = hh - r[1] < 256 ? hh - r[1] : 256;
        }
        if (!tiff_render(file, size, scratch, 0, r[0], r[1], r[2], r[3], &tile, &err)) {
            fuzz_check(err.code != ERR_OK && err.code != ERR_BAD_TARGET && err.offset <= size);
        }
    }
    // The coarsest level a reduced image serves, and the one above it.
    for (u32 level = info.preview_level; level != 0 && level + 1 >= info.preview_level; level--) {
        u64 lw = ceil_shift(w, level), lh = ceil_shift(hh, level);
        u32 cw = lw < 256 ? (u32)lw : 256, ch = lh < 256 ? (u32)lh : 256;
        if (!tiff_render(file, size, scratch, level, 0, 0, cw, ch, &tile, &err)) {
            fuzz_check(err.code != ERR_OK && err.offset <= size);
        }
    }
    return 0;
}
