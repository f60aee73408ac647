// libFuzzer target for the PNG decoder: setup and every step of the still
// image, then every frame of the animation when the file has one. The file,
// the workspace, the canvas and the display each end flush against a
// PROT_NONE guard page, so any access past them faults. A hash of the input
// picks the kernel variant and whether the still image runs its phases strip
// by strip or all phase 0 steps first, and whether every chunk CRC is made
// right before decoding, so mutations reach past the chunk checks. Results are checked for consistency:
// a failure carries an error code and an offset within the file.
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "codec/png/crc32.h"
#include "codec/png/png.h"
#include "codec/png/png_rows.h"
#include "fuzz/guarded.h"

namespace {

Guarded g_file, g_ws, g_canvas, g_display;

// Decoded memory above this is skipped: a valid header may claim 2^28 pixels.
const u64 kMemoryCap = 96ull << 20;

void run_plan(const u8* file, size_t size, const PngPlan& plan, u64 h) {
    u64 stride = png_canvas_stride(&plan);
    u64 canvas_size = stride * plan.height;
    u64 display_size = row_stride(plan.width) * plan.height;
    if (plan.workspace_bytes + canvas_size + display_size > kMemoryCap) return;
    u8* ws = g_ws.tail(plan.workspace_bytes, 64);
    // The canvas's last row ends at the guard page (its stride is a multiple of 16).
    PixelBuffer canvas = {g_canvas.tail(canvas_size, 16), stride, plan.width, plan.height};
    PixelBuffer display = {g_display.tail(display_size, 32), row_stride(plan.width), plan.width, plan.height};
    CodecError err;
    bool ok = true;
    if (plan.animated) {
        for (u32 f = 0; ok && f < plan.frame_count; f++)
            ok = png_decode_step(file, size, &plan, ws, plan.workspace_bytes, PngStep{0, f}, &canvas, &display, &err);
    } else if (h & 1) {
        ok = png_decode_still(file, size, &plan, ws, plan.workspace_bytes, &canvas, &display, &err);
    } else {
        for (u32 k = 0; ok && k < plan.steps; k++)
            ok = png_decode_step(file, size, &plan, ws, plan.workspace_bytes, PngStep{0, k}, &canvas, &display, &err);
        for (u32 k = plan.steps; ok && k-- > 0;)
            ok = png_decode_step(file, size, &plan, ws, plan.workspace_bytes, PngStep{1, k}, &canvas, &display, &err);
    }
    if (!ok) fuzz_check(err.code != ERR_OK && err.code != ERR_BAD_TARGET && err.offset <= size);
}

void fix_crcs(u8* f, size_t size) {
    static Crc32Table table;
    static bool made = false;
    if (!made) crc32_make_table(&table);
    made = true;
    size_t pos = 8;
    while (pos + 12 <= size) {
        u64 len = load_be32(f, size, pos);
        if (len > size - pos - 12) return;
        u32 crc = crc32_update(&table, 0, f + pos + 4, len + 4);
        for (int i = 0; i < 4; i++) f[pos + 8 + len + i] = (u8)(crc >> (24 - 8 * i));
        pos += 12 + len;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    u64 h = fuzz_hash(data, size);
    png_kernels_force((u32)((h >> 8) % 3)) || png_kernels_force(PNG_KERNELS_SSE2);
    u8* file = g_file.tail(size, 1);
    if (size != 0) memcpy(file, data, size);
    if (h & 4) fix_crcs(file, size);
    PngInfo info;
    PngPlan plan;
    PngStepPlan steps;
    CodecError err;
    if (!png_setup(file, size, PNG_STILL, &info, &plan, &steps, &err)) {
        fuzz_check(err.code != ERR_OK && err.offset <= size);
        return 0;
    }
    run_plan(file, size, plan, h);
    if (info.flags & PNG_FLAG_ANIMATED) {
        fuzz_check(png_setup(file, size, 0, &info, &plan, &steps, &err));
        run_plan(file, size, plan, h >> 1);
    }
    return 0;
}
