// libFuzzer target for the JPEG decoder: the probe, the preview decode, the
// second stage and a few full-resolution tiles (the first, the last and one
// picked by a hash of the input). The file, the scratch memory, the preview
// buffer, the tile workspace and the tile each end flush against a PROT_NONE
// guard page, so any access past them faults. The hash also picks the
// kernel variant and the coefficient store's form. A failure must carry
// an error code and an offset within the file.
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "codec/jpeg/jpeg.h"
#include "codec/jpeg/kernels.h"
#include "fuzz/guarded.h"

namespace {

Guarded g_file, g_scratch, g_pixels, g_extra, g_tile;

// A valid header may claim a 1 GiB coefficient store; skip what is above this.
const u64 kMemoryCap = 128ull << 20;

void check_failure(const CodecError& err, size_t size) {
    fuzz_check(err.code != ERR_OK && err.offset <= size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    u64 h = fuzz_hash(data, size);
    // Every variant the machine has, the one the viewer picks included.
    jpeg_force_kernels((u32)((h >> 8) % 3)) || jpeg_force_kernels(JPEG_KERNELS_SSE2);
    // The coefficient store as memory decides (AUTO), plain, or packed.
    jpeg_force_store((u32)((h >> 4) % 3));
    u8* file = g_file.tail(size, 1);
    if (size != 0) memcpy(file, data, size);
    static JpegDecoder state;
    ImageInfo info;
    CodecError err;
    if (!jpeg_probe(file, size, &info, &state, &err)) {
        check_failure(err, size);
        return 0;
    }
    fuzz_check(info.decoder == DECODER_JPEG && info.width && info.height && info.preview_level == 3);
    if (info.scratch_bytes + info.pixel_bytes + info.extra_bytes > kMemoryCap) return 0;
    u8* scratch = g_scratch.tail(info.scratch_bytes, 64);
    PixelBuffer pixels = {g_pixels.tail(info.pixel_bytes, 32), 0, 0, 0};
    if (!jpeg_decode_preview(file, size, scratch, info.scratch_bytes, &pixels, info.pixel_bytes, &err)) {
        check_failure(err, size);
        return 0;
    }
    fuzz_check(pixels.width == (info.width + 7) / 8 && pixels.height == (info.height + 7) / 8);
    u8* extra = g_extra.tail(info.extra_bytes, 64);
    if (!jpeg_finish_full_resolution(file, size, scratch, info.scratch_bytes, extra, info.extra_bytes, &err)) {
        fuzz_check(err.code != ERR_OK && (err.offset <= size));
        return 0;
    }
    u32 columns = (info.width + 255) / 256;
    u32 rows = (info.height + 255) / 256;
    u32 picks[3][2] = {{0, 0}, {columns - 1, rows - 1}, {(u32)(h >> 16) % columns, (u32)(h >> 40) % rows}};
    PixelBuffer tile = {g_tile.tail(1024 * 256, 64), 1024, 256, 256};
    for (auto& p : picks) fuzz_check(jpeg_render_full_tile(scratch, extra, p[0], p[1], &tile, &err));
    fuzz_check(!jpeg_render_full_tile(scratch, extra, columns, 0, &tile, &err) && err.code == ERR_BAD_TARGET);
    return 0;
}
