// libFuzzer target for the lossy WebP decoder: the probe, then the whole
// image (colour and alpha plane) into a pixel buffer, or (as the decode job
// does it) into planes from which a few tiles are converted. The file, the scratch
// memory and the pixel buffer each end flush against a PROT_NONE guard page,
// so any access past them faults. A hash of the input picks how it is read:
// as it is (its RIFF and "VP8 " sizes made right half the time), or as the
// payload of a "VP8 " chunk wrapped in a fresh simple file, so mutations go
// straight at the frame header, the partitions and the tokens. A failure
// must carry an error code and an offset within the file.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "codec/webp/vp8.h"
#include "fuzz/guarded.h"

namespace {

Guarded g_file, g_scratch, g_pixels, g_tile;

const u64 kMemoryCap = 256ull << 20;

void check_failure(const CodecError& err, size_t size) {
    fuzz_check(err.code != ERR_OK && err.code <= ERR_BAD_TARGET && err.offset <= size);
}

void put32(u8* p, u32 v) {
    memcpy(p, &v, 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    u64 h = fuzz_hash(data, size);
    std::vector<u8> bytes;
    if ((h & 3) == 0 && size < (1u << 20)) {
        // The input as a "VP8 " payload; a valid frame tag and start code
        // half the time.
        bytes.assign(20 + size + (size & 1), 0);
        memcpy(bytes.data(), "RIFF\0\0\0\0WEBPVP8 ", 16);
        put32(bytes.data() + 4, (u32)(bytes.size() - 8));
        put32(bytes.data() + 16, (u32)size);
        if (size) memcpy(bytes.data() + 20, data, size);
        if ((h & 4) && size >= 10) {
            bytes[20] &= 0xE0;
            bytes[20] |= 0x10;
            bytes[23] = 0x9D;
            bytes[24] = 0x01;
            bytes[25] = 0x2A;
            u32 first = (bytes[20] | bytes[21] << 8 | bytes[22] << 16) >> 5;
            if (first > size - 10) {
                u32 tag = (u32)((first % (size - 9)) << 5) | 0x10;
                bytes[20] = (u8)tag;
                bytes[21] = (u8)(tag >> 8);
                bytes[22] = (u8)(tag >> 16);
            }
        }
    } else if (size) {
        bytes.assign(data, data + size);
        if ((h & 2) && size >= 20 && memcmp(data, "RIFF", 4) == 0) {
            put32(bytes.data() + 4, (u32)(size - 8));
            if (memcmp(data + 12, "VP8 ", 4) == 0) put32(bytes.data() + 16, (u32)(size - 20));
        }
    }
    size_t n = bytes.size();
    u8* file = g_file.tail(n, 1);
    if (n) memcpy(file, bytes.data(), n);
    ImageInfo info;
    CodecError err;
    if (!webp_probe(file, n, &info, &err)) {
        check_failure(err, n);
        return 0;
    }
    fuzz_check(info.decoder == DECODER_WEBP && info.width && info.height);
    // Stills only: an animation of one frame is still composed on its
    // canvas, whose size its frame need not have.
    WebpImageRef ref;
    ImageHeader header;
    if (info.frame_count != 1 || !webp_locate_image(file, n, 0, &ref, &header, &err) ||
        (header.flags & WEBP_FLAG_ANIMATED) != 0) {
        return 0;
    }
    WebpPrepared prep;
    if (!webp_prepare_lossy(file, n, 0, &prep, &err)) return 0;
    fuzz_check(prep.width == info.width && prep.height == info.height);
    fuzz_check(info.scratch_bytes >= vp8_scratch_bytes(prep.width, prep.height));
    u64 stride = row_stride(info.width);
    if (info.scratch_bytes > kMemoryCap || stride * info.height > kMemoryCap) return 0;
    u8* scratch = g_scratch.tail(info.scratch_bytes, 64);
    memset(scratch, (int)(h >> 8), info.scratch_bytes);  // the decoder must not trust old contents
    if (h & 8) {
        // The decode job's way: planes (whole, or a few macroblock rows per
        // step with the rows already final converted between steps), then
        // tiles converted from them.
        PixelBuffer tile = {g_tile.tail(1024 * 256, 64), 1024, 256, 256};
        if (h & 16) {
            if (!webp_lossy_begin(file, &prep, scratch, info.scratch_bytes, &err)) {
                check_failure(err, n);
                return 0;
            }
            u32 band = 1 + (u32)(h >> 24) % 4, final_rows = 0;
            for (bool more = true; more;) {
                u32 before = final_rows;
                if (!webp_lossy_step(scratch, band, &more, &final_rows, &err)) {
                    check_failure(err, n);
                    return 0;
                }
                fuzz_check(final_rows >= before && final_rows <= info.height && (more || final_rows == info.height));
                u32 rows = final_rows - before < 256 ? final_rows - before : 256;
                if (rows != 0) webp_lossy_output(scratch, &prep, 0, before, info.width < 256 ? info.width : 256, rows, &tile);
            }
        } else if (!webp_decode_lossy_planes(file, &prep, scratch, info.scratch_bytes, &err)) {
            check_failure(err, n);
            return 0;
        }
        u32 columns = (info.width + 255) / 256, rows = (info.height + 255) / 256;
        u32 picks[3][2] = {{0, 0}, {columns - 1, rows - 1}, {(u32)(h >> 16) % columns, (u32)(h >> 40) % rows}};
        for (auto& p : picks) {
            u32 x = p[0] * 256, y = p[1] * 256;
            u32 cw = info.width - x < 256 ? info.width - x : 256;
            u32 ch = info.height - y < 256 ? info.height - y : 256;
            webp_lossy_output(scratch, &prep, x, y, cw, ch, &tile);
        }
        return 0;
    }
    PixelBuffer out = {g_pixels.tail(stride * info.height, 64), stride, info.width, info.height};
    if (!webp_decode_lossy(file, &prep, scratch, info.scratch_bytes, &out, &err)) check_failure(err, n);
    return 0;
}
