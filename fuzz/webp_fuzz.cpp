// libFuzzer target for the lossless WebP decoder: the probe, stages 0 and 1, and
// stage 2 over a few tile rectangles (the first, the last and one picked by
// a hash of the input), each band of each. The file, the scratch memory and
// the tile each end flush against a PROT_NONE guard page, so any access
// past them faults. Half the inputs get their RIFF size and the image
// chunk's size made right, so mutations reach the lossless stream. The hash
// also picks the kernel variant. A failure must carry an error code and an
// offset within the file.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "codec/webp/vp8l.h"
#include "fuzz/guarded.h"

namespace {

Guarded g_file, g_scratch, g_tile;

// A large valid header may ask for up to 1 GiB of scratch; skip above this.
const u64 kMemoryCap = 256ull << 20;

void check_failure(const CodecError& err, size_t size) {
    fuzz_check(err.code != ERR_OK && err.code <= ERR_BAD_TARGET && err.offset <= size);
}

// The RIFF size and, for a simple lossless layout, the chunk size set to
// what the data holds.
void fix_sizes(u8* f, size_t size) {
    if (size < 20 || memcmp(f, "RIFF", 4) != 0) return;
    u32 riff = (u32)(size - 8);
    memcpy(f + 4, &riff, 4);
    if (memcmp(f + 12, "VP8L", 4) == 0) {
        u32 chunk = (u32)(size - 20);
        memcpy(f + 16, &chunk, 4);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    u64 h = fuzz_hash(data, size);
    // Every variant the machine has, the one the viewer picks included.
    vp8l_force_kernels((u32)((h >> 8) % 3)) || vp8l_force_kernels(VP8L_KERNELS_SSE2);
    u8* file = g_file.tail(size, 1);
    memcpy(file, data, size);
    if (h & 1) fix_sizes(file, size);
    ImageInfo info;
    CodecError err;
    if (!webp_probe(file, size, &info, &err)) {
        check_failure(err, size);
        return 0;
    }
    fuzz_check(info.decoder == DECODER_WEBP && info.width && info.height);
    // Lossy stills and animations have targets of their own.
    if (info.pixel_bytes != 64) return 0;
    if (info.scratch_bytes > kMemoryCap) return 0;
    u8* scratch = g_scratch.tail(info.scratch_bytes, 64);
    PixelBuffer tile = {g_tile.tail(1024 * 256, 64), 1024, 256, 256};
    WebpRequest one = {0, 0, 0, 1, 1};
    vp8l_reset(scratch, info.scratch_bytes);
    for (u32 stage = 0; stage < 2; stage++) {
        if (!vp8l_decode_stage(file, size, &one, &tile, scratch, info.scratch_bytes, stage, 0, &err)) {
            check_failure(err, size);
            fuzz_check(stage == 0);
            return 0;
        }
    }
    u32 columns = (info.width + 255) / 256;
    u32 rows = (info.height + 255) / 256;
    u32 picks[3][2] = {{0, 0}, {columns - 1, rows - 1}, {(u32)(h >> 16) % columns, (u32)(h >> 40) % rows}};
    for (auto& p : picks) {
        u32 x = p[0] * 256, y = p[1] * 256;
        u32 cw = info.width - x < 256 ? info.width - x : 256;
        u32 ch = info.height - y < 256 ? info.height - y : 256;
        WebpRequest rect = {0, x, y, cw, ch};
        for (u32 band = 0; band < vp8l_band_count(ch); band++) {
            fuzz_check(vp8l_decode_stage(file, size, &rect, &tile, scratch, info.scratch_bytes, 2, band, &err));
        }
        fuzz_check(!vp8l_decode_stage(file, size, &rect, &tile, scratch, info.scratch_bytes, 2, vp8l_band_count(ch), &err));
        fuzz_check(err.code == ERR_BAD_TARGET);
    }
    return 0;
}
