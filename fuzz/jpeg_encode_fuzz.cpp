// libFuzzer target for the JPEG encoder: the first bytes pick the image size
// (up to 300 x 300), quality (sometimes out of range), sampling, mode, row
// padding, kernel variant and sometimes a short output buffer; the rest are
// the pixels, repeated as needed. The pixels, the workspace and the output
// each end flush against a PROT_NONE guard page. A success must decode with
// our decoder to an image of the same size; a failure must carry one of the
// encoder's codes, and a short output may only fail with code 10.
#include <stdint.h>
#include <string.h>

#include "codec/jpeg/encode.h"
#include "codec/jpeg/jpeg.h"
#include "fuzz/guarded.h"

namespace {

Guarded g_pixels, g_workspace, g_output, g_scratch, g_preview, g_extra, g_tile;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    u32 w = 1 + (((u32)data[0] << 8 | data[1]) % 300);
    u32 h = 1 + (((u32)data[2] << 8 | data[3]) % 300);
    u32 quality = data[4] < 250 ? 1 + data[4] % 100 : data[4] - 250 + 99;  // 99..104: some refused
    u32 flags = data[5];
    u32 pad = data[6] % 16 * 4;
    u32 shrink = data[7];
    const u8* body = data + 8;
    size_t body_size = size - 8;

    JpegEncodeSettings settings{quality, flags & 1, (flags >> 1) & 1};
    fuzz_check(jpeg_encode_force_kernels((flags >> 2) % 3) || (flags >> 2) % 3 == JPEG_ENCODE_AVX2);
    u64 stride = 4 * (u64)w + pad;
    u64 pixel_bytes = stride * (h - 1) + 4 * (u64)w;
    u8* pixels = g_pixels.tail(pixel_bytes);
    for (u64 i = 0; i < pixel_bytes; i++) pixels[i] = body_size ? body[i % body_size] : (u8)i;

    u64 ws = jpeg_encode_workspace_bytes(&settings, w, h);
    u64 cap = jpeg_encode_output_bound(&settings, w, h);
    fuzz_check(ws > 0 && cap > 0);
    // Sometimes an output far too small: the encoder must stop with code 10.
    bool short_output = (flags & 0x60) == 0x60;
    if (short_output) cap = shrink * 4;
    u8* workspace = g_workspace.tail(ws, 64);
    u8* output = g_output.tail(cap);
    JpegEncodeResult result;
    bool ok = jpeg_encode(ByteSpan{pixels, pixel_bytes}, stride, w, h, &settings, workspace, ws, output, cap, &result);
    jpeg_encode_force_kernels(JPEG_ENCODE_BEST);
    if (!ok) {
        bool quality_bad = quality > 100;
        fuzz_check(result.code == (quality_bad ? JPEG_ENCODE_BAD_QUALITY : JPEG_ENCODE_OUTPUT_FULL));
        fuzz_check(quality_bad || short_output);
        return 0;
    }
    fuzz_check(quality <= 100 && result.bytes <= cap && result.bytes > 0);

    // Our decoder reads it back whole.
    static JpegDecoder state;
    ImageInfo info;
    CodecError err;
    fuzz_check(jpeg_probe(output, result.bytes, &info, &state, &err));
    fuzz_check(info.width == w && info.height == h);
    u8* scratch = g_scratch.tail(info.scratch_bytes, 64);
    PixelBuffer preview = {g_preview.tail(info.pixel_bytes, 32), 0, 0, 0};
    fuzz_check(jpeg_decode_preview(output, result.bytes, scratch, info.scratch_bytes, &preview, info.pixel_bytes, &err));
    u8* extra = g_extra.tail(info.extra_bytes, 64);
    fuzz_check(jpeg_finish_full_resolution(output, result.bytes, scratch, info.scratch_bytes, extra, info.extra_bytes, &err));
    PixelBuffer tile = {g_tile.tail(1024 * 256, 64), 1024, 256, 256};
    fuzz_check(jpeg_render_full_tile(scratch, extra, (w - 1) / 256, (h - 1) / 256, &tile, &err));
    return 0;
}
