// libFuzzer target for animated WebP: the probe, every frame composed in
// order on a canvas, then a jump back to a frame picked by a hash of the
// input and on to the last. The file, the scratch memory and the canvas each
// end flush against a PROT_NONE guard page. After a failure the frame the
// canvas shows is one that was composed, never a later one; a failure
// carries an error code and an offset within the file.
#include <stdint.h>
#include <string.h>

#include "codec/webp/webp.h"
#include "fuzz/guarded.h"

namespace {

Guarded g_file, g_scratch, g_canvas;

const u64 kMemoryCap = 256ull << 20;

void check_failure(const CodecError& err, size_t size) {
    fuzz_check(err.code != ERR_OK && err.code <= ERR_BAD_TARGET && err.offset <= size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    u64 h = fuzz_hash(data, size);
    u8* file = g_file.tail(size, 1);
    if (size) memcpy(file, data, size);
    if ((h & 1) && size >= 12 && memcmp(file, "RIFF", 4) == 0) {
        u32 riff = (u32)(size - 8);
        memcpy(file + 4, &riff, 4);
    }
    ImageInfo info;
    CodecError err;
    if (!webp_probe(file, size, &info, &err)) {
        check_failure(err, size);
        return 0;
    }
    ImageHeader header;
    if (!webp_read_header(file, size, &header, &err) || !(header.flags & WEBP_FLAG_ANIMATED)) return 0;
    fuzz_check(info.frame_count == header.frame_count && info.frame_count >= 1);
    if (info.scratch_bytes > kMemoryCap || info.pixel_bytes > kMemoryCap) return 0;
    u8* scratch = g_scratch.tail(info.scratch_bytes, 64);
    memset(scratch, 0, info.scratch_bytes);
    u64 stride = row_stride(info.width);
    PixelBuffer canvas = {g_canvas.tail(stride * info.height, 64), stride, info.width, info.height};
    i32 shown = -1;
    u32 frames = info.frame_count < 64 ? info.frame_count : 64;
    for (u32 k = 0; k < frames; k++) {
        WebpFrameInfo f;
        fuzz_check(webp_frame_info(file, size, k, &f, &err));
        fuzz_check(f.x + f.w <= info.width && f.y + f.h <= info.height);
        i32 before = shown;
        if (!webp_anim_decode(file, size, k, scratch, info.scratch_bytes, &canvas, &shown, &err)) {
            check_failure(err, size);
            fuzz_check(shown == before);
            break;
        }
        fuzz_check(shown == (i32)k);
    }
    if (shown < 0) return 0;
    u32 back = (u32)((h >> 16) % (u32)(shown + 1));
    if (webp_anim_decode(file, size, back, scratch, info.scratch_bytes, &canvas, &shown, &err)) {
        fuzz_check(shown == (i32)back);
    } else {
        check_failure(err, size);
        fuzz_check(shown <= (i32)frames);
    }
    return 0;
}
