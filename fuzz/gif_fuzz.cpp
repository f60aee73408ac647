// libFuzzer target for the GIF decoder: the header read, every frame in
// order, then one jump back (frame 0 again and on to a frame picked by the
// input's hash), as the decode job steps an animation. The file, the
// workspace and the canvas each end flush against a PROT_NONE guard page. A
// hash of the input picks the kernel variant. Results are checked for
// consistency: a failure carries an error code and an offset within the
// file, and a frame that fails leaves the canvas as it was.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "codec/gif/gif.h"
#include "fuzz/guarded.h"

namespace {

Guarded g_file, g_ws, g_canvas;

// Decoded memory above this is skipped: a valid header may claim 4 G pixels.
const u64 kMemoryCap = 96ull << 20;

// Composes frames first..last; false at the first failure, which must leave
// the canvas untouched (frame 0 has cleared it first).
// With `canvas_zero` the caller has cleared the canvas, as fresh memory is,
// and frame 0 does not clear it again.
bool run(const u8* file, size_t size, const GifInfo& info, u8* ws, const PixelBuffer& canvas, u32 first, u32 last,
         bool canvas_zero) {
    static std::vector<u8> before;
    u64 bytes = canvas.stride * canvas.height;
    if (canvas_zero) memset(canvas.pixels, 0, bytes);
    for (u32 n = first; n <= last; n++) {
        before.assign(canvas.pixels, canvas.pixels + bytes);
        CodecError err;
        if (!gif_decode_frame(file, size, &info, ws, info.workspace_bytes, n, &canvas, canvas_zero && n == 0,
                              &err)) {
            fuzz_check(err.code != ERR_OK && err.code != ERR_BAD_TARGET && err.offset <= size);
            if (n > 0) fuzz_check(memcmp(before.data(), canvas.pixels, bytes) == 0);
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    u64 h = fuzz_hash(data, size);
    gif_kernels_force((u32)((h >> 8) % 3)) || gif_kernels_force(GIF_KERNELS_SSE2);
    u8* file = g_file.tail(size, 1);
    memcpy(file, data, size);
    // The probe, as the viewer opens a file: it refuses a canvas or a frame
    // beyond the memory limits before anything is committed.
    ImageInfo image;
    GifInfo info;
    CodecError err;
    if (!gif_probe(file, size, &image, &info, &err)) {
        fuzz_check(err.code != ERR_OK && err.offset <= size);
        return 0;
    }
    fuzz_check(info.frame_count >= 1 && info.frame_count <= GIF_MAX_FRAMES && info.width && info.height);
    fuzz_check((u64)info.width * info.height <= GIF_MAX_SCREEN_PIXELS && info.max_frame_pixels <= GIF_MAX_FRAME_PIXELS);
    fuzz_check(image.scratch_bytes == info.workspace_bytes && image.pixel_bytes == row_stride(info.width) * info.height + 32);
    u64 stride = row_stride(info.width);
    u64 canvas_size = stride * info.height;
    if (info.workspace_bytes + canvas_size > kMemoryCap) return 0;
    u8* ws = g_ws.tail(info.workspace_bytes, 64);
    // The canvas's last row ends at the guard page (its stride is a multiple of 32).
    PixelBuffer canvas = {g_canvas.tail(canvas_size, 32), stride, info.width, info.height};
    u32 last = info.frame_count - 1;
    if (!run(file, size, info, ws, canvas, 0, last, (h >> 4) & 1)) return 0;
    // One jump back: frame 0 again, then forward to a frame the hash picks.
    u32 target = (u32)((h >> 16) % info.frame_count);
    run(file, size, info, ws, canvas, 0, target, false);
    GifFrame frame;
    fuzz_check(gif_frame_info(file, size, &info, target, &frame, &err));
    return 0;
}
